// xz_build.h: test-only helpers that write .xz streams with liblzma, or by hand around raw LZMA2 bytes.
#ifndef SELFEXTR_TESTS_DECODER_XZ_BUILD_H
#define SELFEXTR_TESTS_DECODER_XZ_BUILD_H

#include <lzma.h>

#include <cstdint>
#include <vector>

namespace xztest {

using Bytes = std::vector<uint8_t>;

struct EncodeOptions {
    uint32_t preset = 6;
    lzma_check check = LZMA_CHECK_CRC64;
    int lc = -1, lp = -1, pb = -1;   // -1: the preset's
    uint32_t dictSize = 0;           // 0: the preset's
    uint64_t blockSize = 0;          // nonzero: liblzma's multi-threaded encoder, blocks of this size
    lzma_vli firstFilter = LZMA_VLI_UNKNOWN;   // a filter before LZMA2 (BCJ, delta), for refusals
};

// The stream liblzma writes for data; an empty vector if liblzma refuses.
inline Bytes Encode(const Bytes &data, const EncodeOptions &o)
{
    lzma_options_lzma lz;
    if (lzma_lzma_preset(&lz, o.preset))
        return {};
    if (o.lc >= 0)
        lz.lc = o.lc;
    if (o.lp >= 0)
        lz.lp = o.lp;
    if (o.pb >= 0)
        lz.pb = o.pb;
    if (o.dictSize)
        lz.dict_size = o.dictSize;
    lzma_options_delta delta{};
    delta.type = LZMA_DELTA_TYPE_BYTE;
    delta.dist = 1;
    lzma_filter filters[3];
    int n = 0;
    if (o.firstFilter != LZMA_VLI_UNKNOWN)
        filters[n++] = {o.firstFilter, o.firstFilter == LZMA_FILTER_DELTA ? &delta : nullptr};
    filters[n++] = {LZMA_FILTER_LZMA2, &lz};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};

    lzma_stream strm = LZMA_STREAM_INIT;
    if (o.blockSize) {
        lzma_mt mt{};
        mt.threads = 2;
        mt.block_size = o.blockSize;
        mt.filters = filters;
        mt.check = o.check;
        if (lzma_stream_encoder_mt(&strm, &mt) != LZMA_OK)
            return {};
    } else if (lzma_stream_encoder(&strm, filters, o.check) != LZMA_OK) {
        return {};
    }
    Bytes out(lzma_stream_buffer_bound(data.size()) + 4096);
    strm.next_in = data.data();
    strm.avail_in = data.size();
    strm.next_out = out.data();
    strm.avail_out = out.size();
    lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
    out.resize(ret == LZMA_STREAM_END ? strm.total_out : 0);
    lzma_end(&strm);
    return out;
}

// Raw LZMA2 data (no container) as liblzma writes it.
inline Bytes EncodeLzma2(const Bytes &data, uint32_t preset, uint32_t dictSize)
{
    lzma_options_lzma lz;
    lzma_lzma_preset(&lz, preset);
    lz.dict_size = dictSize;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &lz}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes out(data.size() + data.size() / 16 + 1024);
    size_t pos = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &pos, out.size()) != LZMA_OK)
        return {};
    out.resize(pos);
    return out;
}

// What liblzma makes of raw LZMA2 data; false if it refuses it.
inline bool DecodeLzma2(const Bytes &lzma2, uint32_t dictSize, size_t maxOut, Bytes *out)
{
    lzma_options_lzma lz{};
    lz.dict_size = dictSize;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &lz}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&strm, filters) != LZMA_OK)
        return false;
    out->assign(maxOut + 1, 0);
    strm.next_in = lzma2.data();
    strm.avail_in = lzma2.size();
    strm.next_out = out->data();
    strm.avail_out = out->size();
    lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
    bool ok = ret == LZMA_STREAM_END && strm.avail_in == 0;
    out->resize(strm.total_out);
    lzma_end(&strm);
    return ok;
}

inline void PutLe32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b.push_back((uint8_t)(v >> (8 * i)));
}

inline void PutVarint(Bytes &b, uint64_t v)
{
    while (v >= 0x80) {
        b.push_back((uint8_t)(v | 0x80));
        v >>= 7;
    }
    b.push_back((uint8_t)v);
}

inline void PadTo4(Bytes &b, size_t from)
{
    while ((b.size() - from) % 4)
        b.push_back(0);
}

struct RawBlock {
    Bytes lzma2;          // the block's compressed data
    Bytes content;        // what it decodes to: the check and the index's size are of this
    uint8_t dictByte = 0; // LZMA2 dictionary size byte: 0 is 4 KiB
    bool sizes = false;   // write compressed and uncompressed sizes in the block header
};

// One stream around the given blocks, every CRC and check right (liblzma computes them).
inline Bytes BuildXz(const std::vector<RawBlock> &blocks, uint8_t check = LZMA_CHECK_CRC32)
{
    const uint8_t flags[2] = {0, check};
    Bytes s = {0xFD, '7', 'z', 'X', 'Z', 0x00, flags[0], flags[1]};
    PutLe32(s, lzma_crc32(flags, 2, 0));
    std::vector<std::pair<uint64_t, uint64_t>> records;
    for (const RawBlock &b : blocks) {
        size_t start = s.size();
        uint32_t checkSize = check == LZMA_CHECK_CRC32 ? 4 : 8;
        Bytes h = {0, (uint8_t)(b.sizes ? 0xC0 : 0x00)};
        if (b.sizes) {
            PutVarint(h, b.lzma2.size());
            PutVarint(h, b.content.size());
        }
        h.insert(h.end(), {0x21, 0x01, b.dictByte});
        while ((h.size() + 4) % 4)
            h.push_back(0);
        h[0] = (uint8_t)((h.size() + 4) / 4 - 1);
        PutLe32(h, lzma_crc32(h.data(), h.size(), 0));
        s.insert(s.end(), h.begin(), h.end());
        s.insert(s.end(), b.lzma2.begin(), b.lzma2.end());
        PadTo4(s, start);
        if (check == LZMA_CHECK_CRC32) {
            PutLe32(s, lzma_crc32(b.content.data(), b.content.size(), 0));
        } else {
            uint64_t c = lzma_crc64(b.content.data(), b.content.size(), 0);
            PutLe32(s, (uint32_t)c);
            PutLe32(s, (uint32_t)(c >> 32));
        }
        records.push_back({h.size() + b.lzma2.size() + checkSize, b.content.size()});
    }
    size_t index = s.size();
    s.push_back(0);
    PutVarint(s, records.size());
    for (auto [unpadded, unpacked] : records) {
        PutVarint(s, unpadded);
        PutVarint(s, unpacked);
    }
    PadTo4(s, index);
    PutLe32(s, lzma_crc32(s.data() + index, s.size() - index, 0));
    Bytes tail;
    PutLe32(tail, (uint32_t)((s.size() - index) / 4 - 1));
    tail.push_back(flags[0]);
    tail.push_back(flags[1]);
    PutLe32(s, lzma_crc32(tail.data(), tail.size(), 0));
    s.insert(s.end(), tail.begin(), tail.end());
    s.push_back('Y');
    s.push_back('Z');
    return s;
}

} // namespace xztest

#endif
