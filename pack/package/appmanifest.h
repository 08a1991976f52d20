// appmanifest.h: the application manifest (resource 24, number 1) that sets the execution level.
#pragma once
#include <cstdint>
#include <string>

namespace selfextr {

constexpr uint16_t kManifestId = 1;  // the manifest the loader reads for a program

// Whether level is one an application manifest may request.
bool AppManifest_Known(const std::string &level);
// The manifest written for a level: the level and the supported systems.
std::string AppManifest_Xml(const std::string &level);
// The level a manifest requests; a description of what it is when it names none.
std::string AppManifest_Level(const std::string &xml);

}  // namespace selfextr
