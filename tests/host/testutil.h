// testutil.h: temporary folders, files and packing for the host tests.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "cli/commands.h"
#include "package/assemble.h"

using selfextr::Bytes_Le16;
using selfextr::Bytes_Le32;
using selfextr::Bytes_Set32;

namespace fs = std::filesystem;

inline fs::path TempDir()
{
    fs::path base = fs::temp_directory_path() / "selfextr-tests";
    fs::create_directories(base);
    std::string tmpl = (base / "XXXXXX").string();
    return fs::path(mkdtemp(tmpl.data()));
}

inline std::vector<uint8_t> ReadAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const fs::path &p, const std::vector<uint8_t> &bytes)
{
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        v[i] = uint8_t(seed >> 16);
    }
    return v;
}

struct PackResult {
    int code;
    std::string out, err;
};

inline PackResult Pack(const selfextr::PackRequest &request, const fs::path &output,
                       const fs::path &stub = SELFEXTR_STUB_PATH, bool strip = false)
{
    selfextr::PackOptions o;
    o.stub = stub;
    o.output = output;
    o.stripSignature = strip;
    o.sourceDateEpoch = getenv("SOURCE_DATE_EPOCH");
    static const std::vector<uint8_t> runner = ReadAll(SELFEXTR_RUNNER_PATH);
    o.embeddedRunner = runner;
    std::ostringstream out, err;
    int code = selfextr::Command_Pack(o, request, out, err);
    return {code, out.str(), err.str()};
}

// Package_Assemble then Package_Layout, as pack does, without a runner.
inline bool Build(const selfextr::PackRequest &request, const char *sourceDateEpoch, selfextr::ResTree &tree,
                  std::vector<std::string> &warnings, std::string &error)
{
    selfextr::Assembly assembly;
    if (!selfextr::Package_Assemble(request, {}, sourceDateEpoch, assembly, error))
        return false;
    selfextr::Package_Layout(assembly, tree);
    warnings = assembly.warnings;
    return true;
}

// A request for files written into dir: each {name, size}.
inline selfextr::PackRequest Request(const fs::path &dir, const std::vector<std::pair<std::string, size_t>> &files)
{
    selfextr::PackRequest r;
    r.caption = "Test Setup";
    r.prompt = "Install the test package?";
    r.date = "1996-11-09";
    r.time = "4:00";
    uint32_t seed = 1;
    for (auto &[name, size] : files) {
        fs::path src = dir / ("src-" + std::to_string(seed));
        WriteAll(src, Pattern(size, seed++));
        r.files.push_back({src, name});
    }
    return r;
}

// The bytes Image_Write gives for image with tree, checksum included.
inline std::vector<uint8_t> WriteImage(const selfextr::Image &image, const selfextr::ResTree &tree)
{
    std::vector<uint8_t> out;
    selfextr::ImageSink sink;
    sink.write = [&](const uint8_t *p, size_t n) { out.insert(out.end(), p, p + n); return true; };
    sink.patch = [&](uint64_t at, const uint8_t *p, size_t n) { std::copy(p, p + n, out.begin() + long(at)); return true; };
    std::string error;
    EXPECT_TRUE(selfextr::Image_Write(image, tree, {}, sink, error)) << error;
    return out;
}
