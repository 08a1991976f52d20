// decoder_fuzzer.cpp: libFuzzer entry for the .xz decoder, three ways in, liblzma as the judge.
//
// The first byte picks the way, the second sets options:
//   0: the rest is an .xz stream, decoded as it is; if we accept it, liblzma
//      must accept it too and give the same bytes.
//   1: the rest is LZMA2 data, put in a stream whose headers, index and CRCs
//      are right (so every input reaches LZMA2 and LZMA); we must accept
//      exactly what liblzma accepts and give the same bytes.
//   2: the rest is data, compressed by liblzma with the options; we must give it back.
#include <lzma.h>

#include <cstdlib>
#include <memory>

#include "decoder/xz.h"
#include "xz_build.h"

namespace {

using namespace selfextr;
using xztest::Bytes;

constexpr uint32_t kMaxDictionary = 1 << 20;   // what the fuzzer will allocate
constexpr size_t kMaxOutput = 4 << 20;         // what it will decode of one input

void Require(bool ok)
{
    if (!ok)
        std::abort();
}

struct Result {
    XzResult result;
    Bytes out;
};

// Every block into a buffer of exactly its unpacked size, step bytes a call.
Result DecodeFlat(const uint8_t *xz, size_t size, XzStreamInfo info, size_t step)
{
    std::unique_ptr<XzBlockInfo[]> blocks(new XzBlockInfo[info.blocks ? info.blocks : 1]);
    Result r{Xz_Scan(xz, size, &info, blocks.get(), info.blocks), {}};
    Require(r.result == XZ_DONE);
    for (uint32_t i = 0; i < info.blocks && r.result == XZ_DONE; i++) {
        const XzBlockInfo &b = blocks[i];
        std::unique_ptr<uint8_t[]> out(new uint8_t[b.unpackedSize]);
        auto d = std::make_unique<XzBlockDecoder>();
        r.result = XzBlock_OpenFlat(d.get(), xz, size, b, info.check, out.get(), (size_t)b.unpackedSize);
        while (r.result == XZ_MORE) {
            uint64_t before = d->finalBytes;
            r.result = XzBlock_DecodeFlat(d.get(), step);
            Require(d->finalBytes <= b.unpackedSize);
            Require(r.result != XZ_MORE || d->finalBytes - before == step);
        }
        Require(r.result != XZ_DONE || d->finalBytes == b.unpackedSize);
        r.out.insert(r.out.end(), out.get(), out.get() + d->finalBytes);
    }
    return r;
}

Result Decode(const uint8_t *xz, size_t size, size_t outChunk)
{
    XzStreamInfo info{};
    XzResult scan = Xz_Scan(xz, size, &info, nullptr, 0);
    uint32_t need = scan == XZ_DONE ? info.dictionaryNeeded : 0;
    uint32_t n = need < kMaxDictionary ? need : kMaxDictionary;
    // Exactly sized, so that AddressSanitizer catches a step past either buffer.
    std::unique_ptr<uint8_t[]> dict(new uint8_t[n]);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[outChunk]);
    auto d = std::make_unique<XzDecoder>();
    Result r{Xz_Open(d.get(), xz, size, dict.get(), n), {}};
    Require(scan == XZ_DONE ? (n < need ? r.result == XZ_ERR_LIMIT : r.result == XZ_MORE) : r.result == scan);
    while (r.result == XZ_MORE && r.out.size() <= kMaxOutput) {
        size_t used;
        r.result = Xz_Decode(d.get(), buf.get(), outChunk, &used);
        Require(used <= outChunk);
        Require(used > 0 || r.result != XZ_MORE);
        Require(Xz_InputDone(d.get()) <= size);
        r.out.insert(r.out.end(), buf.get(), buf.get() + used);
    }
    if (r.result == XZ_DONE)
        Require(r.out.size() == info.unpackedSize && Xz_InputDone(d.get()) == size);
    // The runner's way, each block straight into a buffer of its own size,
    // judges every stream the same and gives the same bytes.
    if (scan == XZ_DONE && n == need && info.unpackedSize <= kMaxOutput) {
        Result flat = DecodeFlat(xz, size, info, outChunk);
        Require(flat.result == r.result);
        Require(r.result != XZ_DONE || flat.out == r.out);
    }
    return r;
}

bool LiblzmaDecode(const uint8_t *xz, size_t size, size_t maxOut, Bytes *out)
{
    out->assign(maxOut, 0);
    uint64_t memlimit = UINT64_MAX;
    size_t inPos = 0, outPos = 0;
    lzma_ret ret = lzma_stream_buffer_decode(&memlimit, 0, nullptr, xz, &inPos, size, out->data(), &outPos, maxOut);
    out->resize(outPos);
    return ret == LZMA_OK && inPos == size;
}

void RawStream(const uint8_t *data, size_t size, size_t outChunk)
{
    Result ours = Decode(data, size, outChunk);
    if (ours.result != XZ_DONE)
        return;
    Bytes theirs;
    Require(LiblzmaDecode(data, size, ours.out.size() + 1, &theirs));
    Require(theirs == ours.out);
}

void WrappedLzma2(const uint8_t *data, size_t size, uint8_t opt, size_t outChunk)
{
    xztest::RawBlock block;
    block.lzma2.assign(data, data + size);
    block.dictByte = opt % 12;   // 4 KiB to 96 KiB: small windows wrap
    block.sizes = opt & 0x80;
    uint32_t dictSize = (2u | (block.dictByte & 1)) << (block.dictByte / 2 + 11);
    Bytes content;
    bool theyAccept = xztest::DecodeLzma2(block.lzma2, dictSize, kMaxOutput, &content);
    if (!theyAccept && content.size() > kMaxOutput)
        return;   // too big to judge
    if (theyAccept)
        block.content = content;
    Bytes xz = xztest::BuildXz({block}, (opt & 0x40) ? LZMA_CHECK_CRC64 : LZMA_CHECK_CRC32);
    Result ours = Decode(xz.data(), xz.size(), outChunk);
    Require(theyAccept == (ours.result == XZ_DONE));
    if (theyAccept)
        Require(ours.out == content);
}

void RoundTrip(const uint8_t *data, size_t size, uint8_t opt, size_t outChunk)
{
    if (size < 1)
        return;
    uint8_t opt2 = data[0];
    Bytes input(data + 1, data + size);
    xztest::EncodeOptions o;
    o.preset = opt % 4;
    o.lc = (opt >> 2) % 5;
    o.lp = (opt >> 5) % (5 - o.lc);
    o.pb = opt2 % 5;
    o.dictSize = 4096u << ((opt2 >> 3) % 5);
    o.check = (opt2 & 0x40) ? LZMA_CHECK_CRC32 : LZMA_CHECK_CRC64;
    if ((opt2 & 0x80) && (opt2 & 0x20))
        o.blockSize = 1024 + (opt2 & 7) * 300;
    Bytes xz = xztest::Encode(input, o);
    Require(!xz.empty());
    Result ours = Decode(xz.data(), xz.size(), outChunk);
    Require(ours.result == XZ_DONE);
    Require(ours.out == input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint8_t mode = data[0] % 3, opt = data[1];
    // Output room from 1 byte (every stop and restart) to a few KiB.
    size_t outChunk = (data[0] / 3) % 4 == 0 ? 1 : 1 + (size_t)opt * 23;
    data += 2;
    size -= 2;
    switch (mode) {
    case 0:
        RawStream(data, size, outChunk);
        break;
    case 1:
        WrappedLzma2(data, size, opt, outChunk);
        break;
    default:
        RoundTrip(data, size, opt, outChunk);
    }
    return 0;
}
