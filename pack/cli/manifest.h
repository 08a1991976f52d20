// manifest.h: a package described in TOML.
#pragma once
#include "package/package.h"

namespace selfextr {

// Fills request from the manifest at path; file sources are relative to its folder.
bool Manifest_Read(const std::filesystem::path &path, PackRequest &request, std::string &error);

// --translation TAG=FILE: FILE is TOML with caption and prompt.
bool Manifest_ReadTranslation(const std::string &given, Translation &translation, std::string &error);

}  // namespace selfextr
