// hostile_craft.h: the rows of hostile_payloads.h made into finished packages,
// as another packer might make them: a tar archive by hand, an xz stream put
// together from liblzma's parts, the package built around it.
#pragma once
#include "hostile_payloads.h"

#include "cli/commands.h"
#include "image/pe.h"
#include "package/assemble.h"
#include "package/package.h"
#include "package/runner_image.h"

#include <lzma.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace hostile {

// A ustar header as a hostile archive may hold it (magic "ustar " is the old GNU form).
inline std::vector<uint8_t> TarHeader(const std::string &name, char type, uint64_t size, const char *magic = "ustar",
                                      unsigned mtime = 1700000000, const std::string &link = {})
{
    std::vector<uint8_t> h(512, 0);
    memcpy(h.data(), name.data(), std::min<size_t>(name.size(), 100));
    memcpy(&h[157], link.data(), std::min<size_t>(link.size(), 100));
    snprintf(reinterpret_cast<char *>(&h[100]), 8, "%07o", 0644);
    snprintf(reinterpret_cast<char *>(&h[124]), 12, "%011llo", static_cast<unsigned long long>(size));
    snprintf(reinterpret_cast<char *>(&h[136]), 12, "%011o", mtime);
    h[156] = uint8_t(type);
    memcpy(&h[257], magic, strlen(magic));
    memcpy(&h[263], "00", 2);
    memset(&h[148], ' ', 8);
    unsigned sum = 0;
    for (uint8_t b : h)
        sum += b;
    snprintf(reinterpret_cast<char *>(&h[148]), 8, "%06o", sum);
    return h;
}

inline void Pad(std::vector<uint8_t> &out) { out.resize((out.size() + 511) / 512 * 512, 0); }

inline std::string PaxRecord(const std::string &key, const std::string &value)
{
    std::string body = " " + key + "=" + value + "\n";
    size_t len = body.size() + 1;
    while (std::to_string(len).size() + body.size() != len)
        len++;
    return std::to_string(len) + body;
}

// One entry; a path or link target longer than the ustar field goes in a pax
// record, as pack writes it, and so does a time that ustar cannot hold. A
// link's size is in its header only.
inline void Entry(std::vector<uint8_t> &out, const std::string &path, char type, uint64_t size, const char *mtime = nullptr,
                  const char *link = nullptr)
{
    const std::string target = link != nullptr ? link : "";
    std::string body = (path.size() > 100 ? PaxRecord("path", path) : "") + (target.size() > 100 ? PaxRecord("linkpath", target) : "") +
                       (mtime != nullptr ? PaxRecord("mtime", mtime) : "");
    if (!body.empty()) {
        auto h = TarHeader("pax", 'x', body.size());
        out.insert(out.end(), h.begin(), h.end());
        out.insert(out.end(), body.begin(), body.end());
        Pad(out);
    }
    auto h = TarHeader(path, type, size, "ustar", 1700000000, target.size() > 100 ? "PaxLinkPath" : target);
    out.insert(out.end(), h.begin(), h.end());
    for (uint64_t i = 0; type == '0' && i < size; i++)
        out.push_back(uint8_t('a' + i % 26));
    Pad(out);
}

inline std::vector<uint8_t> Tar(const HostilePayload &p)
{
    std::vector<uint8_t> out;
    if (p.form == kHostileLongName) {
        Entry(out, std::string(256, 'n'), '0', 1);
    } else if (p.form == kHostileLargeBlock) {
        Entry(out, "large.bin", '0', (uint64_t(64) << 20) + 1);
    } else if (p.form == kHostileLongPath) {
        // 128 names of 250 units: the length is refused before the folders
        // are missed (no Linux file system under Wine holds the folders).
        std::string path;
        for (int i = 0; i < 128; i++)
            path += std::string(250, char('a' + i % 26)) + "/";
        Entry(out, path + "x.txt", '0', 1);
    } else {
        for (const HostileEntry &e : p.entries)
            if (e.path != nullptr)
                Entry(out, e.path, e.type, e.type == '5' ? 0 : e.size, e.mtime, e.link);
    }
    out.resize(out.size() + 1024, 0);
    return out;
}

// An xz stream of data in one block (none when blocks is 0), its header without
// sizes as a streaming encoder writes it, its index stating stated bytes.
inline std::vector<uint8_t> Xz(const std::vector<uint8_t> &data, int blocks, uint64_t stated)
{
    lzma_stream_flags flags = {};
    flags.version = 0;
    flags.check = LZMA_CHECK_CRC32;
    std::vector<uint8_t> out(LZMA_STREAM_HEADER_SIZE);
    if (lzma_stream_header_encode(&flags, out.data()) != LZMA_OK)
        return {};
    lzma_index *index = lzma_index_init(nullptr);
    if (blocks != 0) {
        lzma_options_lzma opt;
        lzma_lzma_preset(&opt, 6);
        opt.dict_size = 1 << 16;
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
        std::vector<uint8_t> packed(data.size() + data.size() / 2 + 1024);
        size_t packedSize = 0;
        if (lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), packed.data(), &packedSize, packed.size()) != LZMA_OK)
            return {};
        lzma_block block = {};
        block.version = 0;
        block.check = LZMA_CHECK_CRC32;
        block.filters = filters;
        block.compressed_size = LZMA_VLI_UNKNOWN;
        block.uncompressed_size = LZMA_VLI_UNKNOWN;
        if (lzma_block_header_size(&block) != LZMA_OK)
            return {};
        std::vector<uint8_t> header(block.header_size);
        if (lzma_block_header_encode(&block, header.data()) != LZMA_OK)
            return {};
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), packed.begin(), packed.begin() + long(packedSize));
        while (out.size() % 4 != 0)
            out.push_back(0);
        uint32_t crc = lzma_crc32(data.data(), data.size(), 0);
        for (int i = 0; i < 4; i++)
            out.push_back(uint8_t(crc >> (8 * i)));
        if (lzma_index_append(index, nullptr, block.header_size + packedSize + 4, stated) != LZMA_OK)
            return {};
    }
    std::vector<uint8_t> encoded(lzma_index_size(index));
    size_t at = 0;
    if (lzma_index_buffer_encode(index, encoded.data(), &at, encoded.size()) != LZMA_OK)
        return {};
    out.insert(out.end(), encoded.begin(), encoded.end());
    flags.backward_size = lzma_index_size(index);
    lzma_index_end(index, nullptr);
    uint8_t footer[LZMA_STREAM_HEADER_SIZE];
    if (lzma_stream_footer_encode(&flags, footer) != LZMA_OK)
        return {};
    out.insert(out.end(), footer, footer + sizeof footer);
    return out;
}

inline std::vector<uint8_t> PayloadBytes(const HostilePayload &p)
{
    if (p.form == kHostileNoBlocks)
        return Xz({}, 0, 0);
    if (p.form == kHostileEmptyBlock)
        return Xz({}, 1, 0);
    std::vector<uint8_t> tar = Tar(p);
    return Xz(tar, 1, p.form == kHostileHugeIndex ? uint64_t(1) << 50 : tar.size());
}

inline std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The package, as pack would write it around this payload: the runner as
// SETUP.EXE, starting x.exe, captioned "Runner Setup".
inline bool Package(const HostilePayload &p, const std::string &stub, const std::string &runner, const std::string &output,
                    std::string &error)
{
    using namespace selfextr;
    auto image = Image_Load(stub, error);
    if (!image)
        return false;
    auto payload = std::make_shared<Payload>();
    payload->bytes = PayloadBytes(p);
    if (payload->bytes.empty())
        return error = "liblzma failed", false;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(lzma_crc64(payload->bytes.data(), payload->bytes.size(), 0)));
    payload->name = std::string("payload-") + hex + ".tar.xz";
    PackRequest r;
    r.caption = "Runner Setup";
    r.prompt = "Run the runner?";
    r.date = "2026-12-09";
    r.time = "4:00";
    r.run = "x.exe";
    r.payload = payload;
    // The bare runner, carried as it is; its settings are the package's strings.
    r.runner = std::make_shared<const std::vector<uint8_t>>(ReadFile(runner));
    ResTree tree = image->resources;
    Assembly assembly;
    assembly.request = r;
    if (!Package_Check(assembly, error))
        return false;
    Package_Layout(assembly, tree);
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    ImageSink sink;
    sink.write = [&](const uint8_t *b, size_t n) { return bool(file.write(reinterpret_cast<const char *>(b), std::streamsize(n))); };
    sink.patch = [&](uint64_t at, const uint8_t *b, size_t n) {
        file.seekp(std::streamoff(at));
        bool ok = bool(file.write(reinterpret_cast<const char *>(b), std::streamsize(n)));
        file.seekp(0, std::ios::end);
        return ok;
    };
    if (!Image_Write(*image, tree, {}, sink, error))
        return false;
    file.close();
    return file ? true : (error = "cannot write " + output, false);
}

}  // namespace hostile
