// version.h: the version record (VS_VERSION_INFO) of a finished stub.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace selfextr {

struct VersionRecord {
    std::string product, version, company, description, copyright;
};

// One to four dot-separated numbers from 0 to 65535; missing ones are 0.
bool Version_Parse(const std::string &text, uint16_t parts[4]);
// The record's bytes, with the fields given and the numeric version parts.
std::vector<uint8_t> Version_Bytes(const VersionRecord &v, const uint16_t parts[4]);

}  // namespace selfextr
