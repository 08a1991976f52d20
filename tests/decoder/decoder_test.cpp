// decoder_test.cpp: the .xz decoder against liblzma: round trips, damaged streams, the scan's numbers.
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "decoder/xz.h"
#include "xz_build.h"

namespace {

using namespace selfextr;
using xztest::Bytes;
using xztest::EncodeOptions;

// Deterministic test data, so that a failure repeats.
struct Rng {
    uint64_t s;
    uint64_t Next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

Bytes RandomBytes(size_t n, uint64_t seed)
{
    Rng r{seed};
    Bytes b(n);
    for (auto &c : b)
        c = (uint8_t)r.Next();
    return b;
}

// Words from a small vocabulary: matches at every distance, literals in context.
Bytes Text(size_t n, uint64_t seed)
{
    static const char *const kWords[] = {"the ", "setup ", "program ", "extracts ", "files ", "into ", "a ",
                                         "folder ", "and ", "runs ", "it; ", "then ", "cleans ", "up.\n", "DLL ",
                                         "resource ", "table ", "of ", "strings "};
    Rng r{seed};
    Bytes b;
    while (b.size() < n) {
        const char *w = kWords[r.Next() % (sizeof kWords / sizeof *kWords)];
        b.insert(b.end(), w, w + std::strlen(w));
    }
    b.resize(n);
    return b;
}

// Long runs and exact repeats of earlier stretches: long matches and rep matches.
Bytes Repetitive(size_t n, uint64_t seed)
{
    Rng r{seed};
    Bytes b;
    while (b.size() < n) {
        switch (r.Next() % 3) {
        case 0:
            b.insert(b.end(), 300 + r.Next() % 5000, (uint8_t)r.Next());
            break;
        case 1:
            if (b.size() > 16) {
                size_t from = r.Next() % (b.size() - 8), len = 8 + r.Next() % 600;
                for (size_t i = 0; i < len; i++)
                    b.push_back(b[from + i]);
                break;
            }
            [[fallthrough]];
        default:
            for (int i = 0; i < 40; i++)
                b.push_back((uint8_t)("0123456789abcdef"[i % 16] + (r.Next() % 3 == 0)));
        }
    }
    b.resize(n);
    return b;
}

// 16-byte records with counters: what lp and pb are for.
Bytes Records(size_t n, uint64_t seed)
{
    Rng r{seed};
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (i % 16 < 4) ? (uint8_t)(i / 16 >> (8 * (i % 4))) : (i % 16 < 8) ? (uint8_t)(r.Next() % 4) : (uint8_t)(i % 16);
    return b;
}

// Stretches of text, of random bytes (LZMA2 stores those uncompressed), and
// copies of stretches from far back, so that with a small dictionary the
// window wraps with matches across its end.
Bytes Mixed(size_t n, uint64_t seed)
{
    Rng r{seed};
    Bytes b;
    while (b.size() < n) {
        size_t len = 1000 + r.Next() % 70000;
        switch (r.Next() % 4) {
        case 0: {
            Bytes t = RandomBytes(len, r.Next());
            b.insert(b.end(), t.begin(), t.end());
            break;
        }
        case 1:
            if (b.size() > len) {
                size_t from = r.Next() % (b.size() - len);
                for (size_t i = 0; i < len; i++)
                    b.push_back(b[from + i]);
                break;
            }
            [[fallthrough]];
        case 2: {
            Bytes t = Text(len, r.Next());
            b.insert(b.end(), t.begin(), t.end());
            break;
        }
        default: {
            Bytes t = Records(len, r.Next());
            b.insert(b.end(), t.begin(), t.end());
        }
        }
    }
    b.resize(n);
    return b;
}

struct Decoded {
    XzResult result;
    Bytes out;
};

// Decodes every block with XzBlock_OpenFlat into a buffer of exactly its
// unpacked size, step bytes a call. Each return must add exactly what it says
// and leave what was final before untouched.
Decoded DecodeFlat(const Bytes &xz, size_t step)
{
    XzStreamInfo info{};
    Decoded r{Xz_Scan(xz.data(), xz.size(), &info, nullptr, 0), {}};
    if (r.result != XZ_DONE)
        return r;
    std::vector<XzBlockInfo> blocks(info.blocks);
    EXPECT_EQ(Xz_Scan(xz.data(), xz.size(), &info, blocks.data(), info.blocks), XZ_DONE);
    for (const XzBlockInfo &b : blocks) {
        std::unique_ptr<uint8_t[]> out(new uint8_t[b.unpackedSize ? b.unpackedSize : 1]);
        auto d = std::make_unique<XzBlockDecoder>();
        EXPECT_EQ(XzBlock_OpenFlat(d.get(), xz.data(), xz.size(), b, info.check, out.get(), b.unpackedSize - 1),
                  b.unpackedSize ? XZ_ERR_LIMIT : XZ_MORE);
        r.result = XzBlock_OpenFlat(d.get(), xz.data(), xz.size(), b, info.check, out.get(), b.unpackedSize);
        Bytes seen;
        while (r.result == XZ_MORE) {
            uint64_t before = d->finalBytes;
            r.result = XzBlock_DecodeFlat(d.get(), step);
            EXPECT_LE(d->finalBytes, b.unpackedSize);
            if (r.result == XZ_MORE)
                EXPECT_EQ(d->finalBytes - before, step);
            if (d->finalBytes > b.unpackedSize)
                return r;
            // Small blocks only: the check is quadratic.
            if (b.unpackedSize <= 65536) {
                EXPECT_TRUE(std::equal(seen.begin(), seen.end(), out.get())) << "final bytes were written again";
                seen.assign(out.get(), out.get() + d->finalBytes);
            }
        }
        r.out.insert(r.out.end(), out.get(), out.get() + d->finalBytes);
        if (r.result != XZ_DONE)
            return r;
        EXPECT_EQ(d->finalBytes, b.unpackedSize);
        EXPECT_EQ(XzBlock_DecodeFlat(d.get(), step), XZ_DONE);
    }
    return r;
}

// Decodes the whole stream through Xz_Open and Xz_Decode, outChunk bytes of
// room a call, with a dictionary buffer of exactly dictBytes (or what the scan
// says is needed), so that AddressSanitizer sees any step past either buffer.
Decoded Decode(const Bytes &xz, size_t outChunk = 65536, int64_t dictBytes = -1)
{
    XzStreamInfo info{};
    XzResult scan = Xz_Scan(xz.data(), xz.size(), &info, nullptr, 0);
    size_t n = dictBytes >= 0 ? (size_t)dictBytes : scan == XZ_DONE ? info.dictionaryNeeded : 0;
    std::unique_ptr<uint8_t[]> dict(new uint8_t[n]);
    std::unique_ptr<uint8_t[]> buf(new uint8_t[outChunk]);
    auto d = std::make_unique<XzDecoder>();
    Decoded r{Xz_Open(d.get(), xz.data(), xz.size(), dict.get(), (uint32_t)n), {}};
    if (scan != XZ_DONE)
        EXPECT_EQ(r.result, scan) << "Xz_Open and Xz_Scan disagree";
    uint64_t input = 0;
    while (r.result == XZ_MORE) {
        // Whatever the data says, never more than the index promised.
        EXPECT_LE(r.out.size(), info.unpackedSize);
        size_t used = 99999999;
        r.result = Xz_Decode(d.get(), buf.get(), outChunk, &used);
        EXPECT_LE(used, outChunk);
        if (used > outChunk)
            break;
        // Output room given and none used is a decoder that would spin forever.
        if (r.result == XZ_MORE && used == 0) {
            ADD_FAILURE() << "no progress with " << outChunk << " bytes of room";
            break;
        }
        r.out.insert(r.out.end(), buf.get(), buf.get() + used);
        EXPECT_GE(Xz_InputDone(d.get()), input);
        input = Xz_InputDone(d.get());
    }
    EXPECT_LE(r.out.size(), scan == XZ_DONE ? info.unpackedSize : 0);
    if (r.result == XZ_DONE) {
        EXPECT_EQ(Xz_InputDone(d.get()), xz.size());
        size_t again = 1;
        EXPECT_EQ(Xz_Decode(d.get(), buf.get(), outChunk, &again), XZ_DONE);
        EXPECT_EQ(again, 0u);
    }
    // The runner's way, each block straight into a buffer of its own size,
    // must judge every stream the same and give the same bytes.
    if (scan == XZ_DONE && n >= info.dictionaryNeeded) {
        Decoded flat = DecodeFlat(xz, outChunk);
        EXPECT_EQ(flat.result, r.result) << "flat: " << Xz_ResultText(flat.result);
        if (r.result == XZ_DONE)
            EXPECT_TRUE(flat.out == r.out) << "flat";
    }
    return r;
}

// ---- Round trips against liblzma's encoder -------------------------------------------------

struct RoundTrip {
    const char *name;
    std::function<Bytes()> data;
    EncodeOptions options;
    std::vector<size_t> outChunks;
};

EncodeOptions Opt(std::function<void(EncodeOptions &)> f)
{
    EncodeOptions o;
    f(o);
    return o;
}

const std::vector<RoundTrip> &RoundTrips()
{
    static const std::vector<RoundTrip> cases = {
        {"Empty", [] { return Bytes(); }, {}, {1, 4096}},
        {"OneByte", [] { return Bytes{'x'}; }, {}, {1, 7}},
        {"TinyCrc32", [] { return Text(37, 1); }, Opt([](auto &o) { o.check = LZMA_CHECK_CRC32; }), {1, 7}},
        {"TextPreset0ByteAtATime", [] { return Text(50000, 2); }, Opt([](auto &o) { o.preset = 0; }), {1}},
        {"TextPreset6", [] { return Text(300000, 3); }, {}, {7, 4096, 1 << 20}},
        {"TextPreset9e", [] { return Text(300000, 4); },
         Opt([](auto &o) { o.preset = 9 | LZMA_PRESET_EXTREME; }), {4096}},
        {"RepetitivePreset9e", [] { return Repetitive(400000, 5); },
         Opt([](auto &o) { o.preset = 9 | LZMA_PRESET_EXTREME; }), {7, 65536}},
        {"RandomStoredChunks", [] { return RandomBytes(300000, 6); }, {}, {7, 4096}},
        {"RecordsLc0Lp2Pb0", [] { return Records(200000, 7); }, Opt([](auto &o) { o.lc = 0, o.lp = 2, o.pb = 0; }),
         {7, 4096}},
        {"TextLc4Lp0", [] { return Text(200000, 8); }, Opt([](auto &o) { o.lc = 4, o.lp = 0; }), {4096}},
        {"RecordsLc1Lp3Pb4", [] { return Records(200000, 9); },
         Opt([](auto &o) { o.lc = 1, o.lp = 3, o.pb = 4, o.check = LZMA_CHECK_CRC32; }), {4096}},
        {"RecordsLp4", [] { return Records(100000, 10); }, Opt([](auto &o) { o.lc = 0, o.lp = 4, o.pb = 4; }),
         {4096}},
        // Several MiB through a small dictionary: chunk after chunk, and the
        // window wraps again and again with matches across its end.
        {"MixedDict64KiB", [] { return Mixed(6 << 20, 11); },
         Opt([](auto &o) { o.preset = 1, o.dictSize = 64 << 10; }), {7, 65536}},
        {"MixedDict4KiBPb4Lp2", [] { return Mixed(3 << 20, 12); },
         Opt([](auto &o) { o.preset = 2, o.dictSize = 4 << 10, o.pb = 4, o.lp = 2, o.lc = 2; }), {4096}},
        {"MixedDict1MiBCrc32", [] { return Mixed(5 << 20, 13); },
         Opt([](auto &o) { o.preset = 3, o.dictSize = 1 << 20, o.check = LZMA_CHECK_CRC32; }), {1 << 20}},
        // liblzma's multi-threaded encoder: many blocks, sizes in the block headers.
        {"BlocksMixed", [] { return Mixed(3 << 20, 14); },
         Opt([](auto &o) { o.preset = 1, o.blockSize = 256 << 10; }), {7, 65536}},
        {"BlocksTextCrc32", [] { return Text(1 << 20, 15); },
         Opt([](auto &o) { o.preset = 6, o.blockSize = 100000, o.check = LZMA_CHECK_CRC32; }), {4096}},
        {"BlocksUneven", [] { return Repetitive(700001, 16); },
         Opt([](auto &o) { o.preset = 0, o.blockSize = 65537; }), {1000}},
        {"BlocksOneShortBlock", [] { return Text(1000, 17); },
         Opt([](auto &o) { o.preset = 6, o.blockSize = 1 << 20; }), {7}},
    };
    return cases;
}

class RoundTripTest : public testing::TestWithParam<size_t> {};

TEST_P(RoundTripTest, MatchesTheInput)
{
    const RoundTrip &c = RoundTrips()[GetParam()];
    Bytes data = c.data();
    Bytes xz = xztest::Encode(data, c.options);
    ASSERT_FALSE(xz.empty()) << "liblzma would not encode";
    for (size_t chunk : c.outChunks) {
        Decoded d = Decode(xz, chunk);
        ASSERT_EQ(d.result, XZ_DONE) << Xz_ResultText(d.result) << ", output room " << chunk;
        ASSERT_EQ(d.out.size(), data.size()) << "output room " << chunk;
        ASSERT_TRUE(d.out == data) << "output room " << chunk;
    }
}

INSTANTIATE_TEST_SUITE_P(Liblzma, RoundTripTest, testing::Range<size_t>(0, RoundTrips().size()),
                         [](const testing::TestParamInfo<size_t> &i) { return RoundTrips()[i.param].name; });

TEST(RoundTrip, DictionaryBufferLargerThanNeeded)
{
    Bytes data = Mixed(1 << 20, 20);
    Bytes xz = xztest::Encode(data, Opt([](auto &o) { o.preset = 1, o.dictSize = 128 << 10; }));
    Decoded d = Decode(xz, 4096, (128 << 10) + 12345);
    ASSERT_EQ(d.result, XZ_DONE);
    EXPECT_TRUE(d.out == data);
}

TEST(RoundTrip, BufferOfTheUnpackedSizeWhenTheDictionaryIsBigger)
{
    // xz -9 asks for 64 MiB even for a small file; the file's size is enough.
    Bytes data = Text(100000, 21);
    Bytes xz = xztest::Encode(data, Opt([](auto &o) { o.preset = 9; }));
    XzStreamInfo info;
    ASSERT_EQ(Xz_Scan(xz.data(), xz.size(), &info, nullptr, 0), XZ_DONE);
    EXPECT_EQ(info.dictionary, 64u << 20);
    EXPECT_EQ(info.dictionaryNeeded, data.size());
    Decoded d = Decode(xz, 4096, data.size());
    ASSERT_EQ(d.result, XZ_DONE);
    EXPECT_TRUE(d.out == data);
    EXPECT_EQ(Decode(xz, 4096, data.size() - 1).result, XZ_ERR_LIMIT);
}

// Blocks are independent: each decoded alone, in any order, with a buffer of its own.
TEST(BlockDecoder, BlocksInReverseOrder)
{
    Bytes data = Mixed(2 << 20, 22);
    Bytes xz = xztest::Encode(data, Opt([](auto &o) { o.preset = 1, o.blockSize = 300000; }));
    XzStreamInfo info;
    ASSERT_EQ(Xz_Scan(xz.data(), xz.size(), &info, nullptr, 0), XZ_DONE);
    ASSERT_GT(info.blocks, 5u);
    std::vector<XzBlockInfo> blocks(info.blocks);
    ASSERT_EQ(Xz_Scan(xz.data(), xz.size(), &info, blocks.data(), info.blocks), XZ_DONE);
    std::vector<Bytes> parts(info.blocks);
    for (size_t i = info.blocks; i-- > 0;) {
        const XzBlockInfo &b = blocks[i];
        uint32_t need = (uint32_t)std::min<uint64_t>(b.dictionary, b.unpackedSize);
        std::unique_ptr<uint8_t[]> dict(new uint8_t[need]);
        auto d = std::make_unique<XzBlockDecoder>();
        ASSERT_EQ(XzBlock_Open(d.get(), xz.data(), xz.size(), b, info.check, dict.get(), need - 1), XZ_ERR_LIMIT);
        ASSERT_EQ(XzBlock_Open(d.get(), xz.data(), xz.size(), b, info.check, dict.get(), need), XZ_MORE);
        uint8_t out[5000];
        XzResult r;
        do {
            size_t used;
            r = XzBlock_Decode(d.get(), out, sizeof out, &used);
            parts[i].insert(parts[i].end(), out, out + used);
        } while (r == XZ_MORE);
        ASSERT_EQ(r, XZ_DONE) << "block " << i;
        EXPECT_EQ(parts[i].size(), b.unpackedSize);
    }
    Bytes joined;
    for (auto &p : parts)
        joined.insert(joined.end(), p.begin(), p.end());
    EXPECT_TRUE(joined == data);
}

TEST(BlockDecoder, RefusesBlockNumbersThatDoNotFitTheStream)
{
    Bytes xz = xztest::Encode(Text(10000, 23), {});
    XzStreamInfo info;
    XzBlockInfo b;
    ASSERT_EQ(Xz_Scan(xz.data(), xz.size(), &info, &b, 1), XZ_DONE);
    uint8_t dict[16 << 10];
    auto d = std::make_unique<XzBlockDecoder>();
    const std::vector<std::pair<const char *, std::function<void(XzBlockInfo &)>>> lies = {
        {"past the end", [](XzBlockInfo &x) { x.offset = 1u << 30; }},
        {"longer than the stream", [&](XzBlockInfo &x) { x.packedSize = xz.size(); }},
        {"unpadded not within packed", [](XzBlockInfo &x) { x.unpaddedSize = x.packedSize + 1; }},
        {"at the index", [&](XzBlockInfo &x) { x.offset += x.packedSize; }},
        // Rounded up to a multiple of 4, the largest size wraps to an empty block.
        {"unpadded wrapping to nothing", [](XzBlockInfo &x) { x.unpaddedSize = UINT64_MAX, x.packedSize = 0; }},
    };
    for (auto &[name, lie] : lies) {
        XzBlockInfo x = b;
        lie(x);
        XzResult r = XzBlock_Open(d.get(), xz.data(), xz.size(), x, info.check, dict, sizeof dict);
        EXPECT_NE(r, XZ_MORE) << name;
        size_t used;
        EXPECT_EQ(XzBlock_Decode(d.get(), dict, sizeof dict, &used), r) << name << ": a refused decoder stays refused";
    }
    EXPECT_EQ(XzBlock_Open(d.get(), xz.data(), xz.size(), b, 10, dict, sizeof dict), XZ_ERR_UNSUPPORTED);
}

// A block's buffer is its window: a match may reach no farther back than
// the dictionary its header names, though the bytes are there in the buffer.
TEST(BlockDecoder, FlatMatchesReachNoFartherThanTheDictionary)
{
    Bytes half = RandomBytes(20000, 24);
    Bytes data = half;
    data.insert(data.end(), half.begin(), half.end());
    Bytes lzma2 = xztest::EncodeLzma2(data, 1, 64 << 10);
    for (auto [dictByte, expected] : {std::pair{uint8_t(8) /* 64 KiB */, XZ_DONE}, std::pair{uint8_t(0) /* 4 KiB */, XZ_ERR_DATA}}) {
        Bytes xz = xztest::BuildXz({{lzma2, data, dictByte}});
        Decoded flat = DecodeFlat(xz, 4096);
        EXPECT_EQ(flat.result, expected) << "dictionary byte " << int(dictByte);
        EXPECT_EQ(Decode(xz, 4096).result, expected) << "dictionary byte " << int(dictByte);
        Bytes theirs;
        EXPECT_EQ(xztest::DecodeLzma2(lzma2, dictByte ? 64 << 10 : 4 << 10, data.size() + 1, &theirs), expected == XZ_DONE);
        if (expected == XZ_DONE)
            EXPECT_TRUE(flat.out == data);
    }
}

TEST(BlockDecoder, FlatRefusesACallerThatMixesTheWays)
{
    Bytes xz = xztest::Encode(Text(10000, 25), {});
    XzStreamInfo info;
    XzBlockInfo b;
    ASSERT_EQ(Xz_Scan(xz.data(), xz.size(), &info, &b, 1), XZ_DONE);
    std::unique_ptr<uint8_t[]> out(new uint8_t[b.unpackedSize]);
    auto d = std::make_unique<XzBlockDecoder>();
    ASSERT_EQ(XzBlock_OpenFlat(d.get(), xz.data(), xz.size(), b, info.check, out.get(), b.unpackedSize), XZ_MORE);
    size_t used = 1;
    EXPECT_EQ(XzBlock_Decode(d.get(), out.get(), 100, &used), XZ_ERR_LIMIT);
    EXPECT_EQ(used, 0u);
    ASSERT_EQ(XzBlock_Open(d.get(), xz.data(), xz.size(), b, info.check, out.get(), (uint32_t)b.unpackedSize), XZ_MORE);
    EXPECT_EQ(XzBlock_DecodeFlat(d.get(), 100), XZ_ERR_LIMIT);
    ASSERT_EQ(XzBlock_OpenFlat(d.get(), xz.data(), xz.size(), b, info.check, out.get(), b.unpackedSize), XZ_MORE);
    EXPECT_EQ(XzBlock_DecodeFlat(d.get(), 0), XZ_ERR_LIMIT);
}

// ---- Hand-made LZMA2 data: chunk rules liblzma's encoder never breaks ---------------------

Bytes Chunk(uint8_t control, const Bytes &payload)
{
    Bytes c = {control, (uint8_t)((payload.size() - 1) >> 8), (uint8_t)(payload.size() - 1)};
    c.insert(c.end(), payload.begin(), payload.end());
    return c;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (auto &p : parts)
        b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes Str(const char *s)
{
    return Bytes(s, s + std::strlen(s));
}

// The first LZMA chunk of liblzma's raw LZMA2 output for text: 0xE0, sizes, props, data.
struct LzmaChunk {
    Bytes all;       // the whole LZMA2 data
    Bytes content;
    size_t chunkEnd; // where the first chunk ends
};

LzmaChunk OneLzmaChunk()
{
    LzmaChunk c;
    c.content = Text(20000, 30);
    c.all = xztest::EncodeLzma2(c.content, 6, 1 << 16);
    EXPECT_EQ(c.all[0], 0xE0);
    c.chunkEnd = 6 + ((size_t)c.all[3] << 8 | c.all[4]) + 1;
    EXPECT_EQ(c.all.size(), c.chunkEnd + 1) << "one LZMA chunk and the end byte";
    return c;
}

struct Lzma2Case {
    const char *name;
    std::function<Bytes(const LzmaChunk &)> lzma2;
    std::function<Bytes(const LzmaChunk &)> content;
    XzResult expected;
};

TEST(Lzma2, ChunkRules)
{
    LzmaChunk base = OneLzmaChunk();
    auto same = [](const LzmaChunk &c) { return c.content; };
    auto edit = [](size_t at, uint8_t value) {
        return [=](const LzmaChunk &c) {
            Bytes b = c.all;
            b[at] = value;
            return b;
        };
    };
    const std::vector<Lzma2Case> cases = {
        {"liblzma's as it is", [](const LzmaChunk &c) { return c.all; }, same, XZ_DONE},
        {"uncompressed chunks, reset then not",
         [](const LzmaChunk &) { return Cat({Chunk(0x01, Str("hello")), Chunk(0x02, Str(" world")), {0}}); },
         [](const LzmaChunk &) { return Str("hello world"); }, XZ_DONE},
        {"no end byte", [](const LzmaChunk &c) { return Bytes(c.all.begin(), c.all.end() - 1); }, same, XZ_ERR_DATA},
        {"a byte after the end byte", [](const LzmaChunk &c) { return Cat({c.all, {0}}); }, same, XZ_ERR_DATA},
        {"first chunk without a dictionary reset", edit(0, 0xC0), same, XZ_ERR_DATA},
        {"first LZMA chunk without properties", edit(0, 0xA0), same, XZ_ERR_DATA},
        {"uncompressed first chunk without a reset",
         [](const LzmaChunk &) { return Cat({Chunk(0x02, Str("hello")), {0}}); },
         [](const LzmaChunk &) { return Str("hello"); }, XZ_ERR_DATA},
        {"properties needed again after a dictionary reset",
         [](const LzmaChunk &c) { return Cat({Chunk(0x01, Str("abc")), {0xA0}, Bytes(c.all.begin() + 1, c.all.end())}); },
         [](const LzmaChunk &c) { return Cat({Str("abc"), c.content}); }, XZ_ERR_DATA},
        {"control byte 0x03", [](const LzmaChunk &c) { return Cat({Chunk(0x01, Str("abc")), {0x03}, c.all}); }, same,
         XZ_ERR_DATA},
        {"lc + lp above 4", edit(5, (0 * 5 + 1) * 9 + 4), same, XZ_ERR_DATA},
        {"properties byte out of range", edit(5, 225), same, XZ_ERR_DATA},
        {"range coder's first byte not zero", edit(6, 1), same, XZ_ERR_DATA},
        {"packed size one too big", [](const LzmaChunk &c) {
             Bytes b = c.all;
             b[4]++;
             return b;
         }, same, XZ_ERR_DATA},
        {"packed size one too small", [](const LzmaChunk &c) {
             Bytes b = c.all;
             b[4]--;
             return b;
         }, same, XZ_ERR_DATA},
        {"unpacked size one too small", [](const LzmaChunk &c) {
             Bytes b = c.all;
             b[2]--;
             return b;
         }, [](const LzmaChunk &c) { return Bytes(c.content.begin(), c.content.end() - 1); }, XZ_ERR_DATA},
        {"unpacked size one too big", [](const LzmaChunk &c) {
             Bytes b = c.all;
             b[2]++;
             return b;
         }, [](const LzmaChunk &c) { return Cat({c.content, {0}}); }, XZ_ERR_DATA},
        {"a packed size below the range coder's five bytes", [](const LzmaChunk &) {
             return Bytes{0xE0, 0x00, 0x00, 0x00, 0x03, 0x5D, 0x00, 0x00, 0x00, 0x00, 0x00};
         }, [](const LzmaChunk &) { return Bytes{0}; }, XZ_ERR_DATA},
        {"uncompressed chunk cut short", [](const LzmaChunk &) {
             Bytes b = Chunk(0x01, Str("hello"));
             b.pop_back();
             return b;
         }, [](const LzmaChunk &) { return Str("hello"); }, XZ_ERR_DATA},
    };
    for (const Lzma2Case &c : cases) {
        xztest::RawBlock block{c.lzma2(base), c.content(base), 10 /* 128 KiB */};
        for (bool sizes : {false, true}) {
            block.sizes = sizes;
            Bytes xz = xztest::BuildXz({block});
            for (size_t chunk : {size_t(1), size_t(4096)}) {
                Decoded d = Decode(xz, chunk);
                EXPECT_EQ(d.result, c.expected) << c.name << ": " << Xz_ResultText(d.result) << ", output room " << chunk;
                if (c.expected == XZ_DONE)
                    EXPECT_TRUE(d.out == block.content) << c.name;
            }
        }
    }
}

TEST(Lzma2, AnEmptyBlockDecodesToNothing)
{
    Bytes xz = xztest::BuildXz({{{0x00}, {}, 0}, {Cat({Chunk(0x01, Str("x")), {0}}), Str("x"), 0}});
    Decoded d = Decode(xz, 1);
    EXPECT_EQ(d.result, XZ_DONE);
    EXPECT_TRUE(d.out == Str("x"));
}

// ---- Hand-made LZMA symbols: distances the history does not have ---------------------------

// A range encoder for symbol sequences whose every bit uses a probability not
// used before (still one half), so the test needs no copy of the model. With
// lc=3 lp=0 pb=2, the first symbols sit at distinct positions and states.
struct HalfEncoder {
    uint64_t low = 0;
    uint32_t range = 0xFFFFFFFFu;
    uint8_t cache = 0;
    uint64_t pending = 1;
    Bytes out;

    void ShiftLow()
    {
        if ((uint32_t)low < 0xFF000000u || (low >> 32)) {
            uint8_t carry = (uint8_t)(low >> 32), b = cache;
            do {
                out.push_back((uint8_t)(b + carry));
                b = 0xFF;
            } while (--pending);
            cache = (uint8_t)(low >> 24);
        }
        pending++;
        low = (low & 0x00FFFFFF) << 8;
    }
    void Normalize()
    {
        while (range < (1u << 24)) {
            range <<= 8;
            ShiftLow();
        }
    }
    void Bits(uint32_t value, int n)   // top bit first, modelled at one half
    {
        while (n--) {
            uint32_t bound = (range >> 11) * 1024;
            if ((value >> n) & 1) {
                low += bound;
                range -= bound;
            } else {
                range = bound;
            }
            Normalize();
        }
    }
    void Direct(uint32_t value, int n)
    {
        while (n--) {
            range >>= 1;
            if ((value >> n) & 1)
                low += range;
            Normalize();
        }
    }
    Bytes Finish()
    {
        for (int i = 0; i < 5; i++)
            ShiftLow();
        return out;
    }
};

enum class Sym { Literal, Match, EndMarker, Rep, ShortRep };

// One LZMA2 chunk (dictionary reset, properties 0x5D) of the symbols, then the end byte.
Bytes SymbolChunk(std::initializer_list<std::pair<Sym, uint32_t>> symbols, uint32_t unpacked)
{
    HalfEncoder e;
    for (auto [sym, arg] : symbols) {
        switch (sym) {
        case Sym::Literal:   // arg: the byte
            e.Bits(0, 1);
            e.Bits(arg, 8);
            break;
        case Sym::Match:   // arg: distance less one (0-3); length 2 + 3
            e.Bits(0b10, 2);
            e.Bits(0, 1);
            e.Bits(3, 3);
            e.Bits(arg, 6);
            break;
        case Sym::EndMarker:   // length 2, slot 63, all direct and align bits set
            e.Bits(0b10, 2);
            e.Bits(0, 1);
            e.Bits(0, 3);
            e.Bits(63, 6);
            e.Direct(0x3FFFFFF, 26);
            e.Bits(0xF, 4);
            break;
        case Sym::Rep:   // rep0, length 2 + arg
            e.Bits(0b1101, 4);
            e.Bits(0, 1);
            e.Bits(arg, 3);
            break;
        case Sym::ShortRep:
            e.Bits(0b1100, 4);
            break;
        }
    }
    Bytes rc = e.Finish();
    Bytes c = {0xE0, (uint8_t)((unpacked - 1) >> 8), (uint8_t)(unpacked - 1), (uint8_t)((rc.size() - 1) >> 8),
               (uint8_t)(rc.size() - 1), 0x5D};
    c.insert(c.end(), rc.begin(), rc.end());
    c.push_back(0);
    return c;
}

struct SymbolCase {
    const char *name;
    Bytes lzma2;
    Bytes content;
    XzResult expected;
};

TEST(Lzma2, NewPropertiesAfterEveryDictionaryReset)
{
    // An LZMA chunk, a stored chunk that resets the dictionary, then an LZMA
    // chunk that needs no history: with new properties (0xC0) it is right;
    // without (0xA0), the old ones may not be carried over a dictionary reset.
    Bytes first = SymbolChunk({{Sym::Literal, 'x'}, {Sym::Match, 0}}, 6);
    first.pop_back();
    Bytes again = SymbolChunk({{Sym::Literal, 'y'}, {Sym::ShortRep, 0}}, 2);
    again.pop_back();
    Bytes withProps = again, withoutProps = again;
    withProps[0] = 0xC0;
    withoutProps[0] = 0xA0;
    withoutProps.erase(withoutProps.begin() + 5);
    Bytes content = Str("xxxxxxabcyy");
    for (auto &[lzma2, expected] : {std::pair{Cat({first, Chunk(0x01, Str("abc")), withProps, {0}}), XZ_DONE},
                                    std::pair{Cat({first, Chunk(0x01, Str("abc")), withoutProps, {0}}), XZ_ERR_DATA},
                                    std::pair{Cat({first, Chunk(0x02, Str("abc")), withoutProps, {0}}), XZ_DONE}}) {
        Decoded d = Decode(xztest::BuildXz({{lzma2, content, 0}}), 3);
        EXPECT_EQ(d.result, expected) << Xz_ResultText(d.result);
        Bytes theirs;
        EXPECT_EQ(xztest::DecodeLzma2(lzma2, 4096, 100, &theirs), expected == XZ_DONE);
        if (expected == XZ_DONE)
            EXPECT_TRUE(d.out == content && theirs == content);
    }
}

TEST(Lzma, DistancesWithinTheHistoryOnly)
{
    const std::vector<SymbolCase> cases = {
        {"a literal, then a match one back", SymbolChunk({{Sym::Literal, 'x'}, {Sym::Match, 0}}, 6), Str("xxxxxx"),
         XZ_DONE},
        {"a literal, then a short rep", SymbolChunk({{Sym::Literal, 'x'}, {Sym::ShortRep, 0}}, 2), Str("xx"), XZ_DONE},
        {"a match before any history", SymbolChunk({{Sym::Match, 0}}, 5), Str("xxxxx"), XZ_ERR_DATA},
        {"a literal, then a match two back", SymbolChunk({{Sym::Literal, 'x'}, {Sym::Match, 1}}, 6), Str("xxxxxx"),
         XZ_ERR_DATA},
        {"a rep match before any history", SymbolChunk({{Sym::Rep, 0}}, 2), Str("xx"), XZ_ERR_DATA},
        {"a short rep before any history", SymbolChunk({{Sym::ShortRep, 0}}, 1), Str("x"), XZ_ERR_DATA},
        {"the end marker, which LZMA2 never uses", SymbolChunk({{Sym::Literal, 'x'}, {Sym::EndMarker, 0}}, 3),
         Str("xxx"), XZ_ERR_DATA},
        {"a match back past a dictionary reset",
         Cat({Chunk(0x01, Str("abc")), SymbolChunk({{Sym::Literal, 'x'}, {Sym::Match, 1}}, 6)}), Str("abcxcxcxc"),
         XZ_ERR_DATA},
        {"a match after a dictionary reset, within the new history",
         Cat({Chunk(0x01, Str("abc")), SymbolChunk({{Sym::Literal, 'x'}, {Sym::Match, 0}}, 6)}), Str("abcxxxxxx"),
         XZ_DONE},
        {"a match running past its chunk", SymbolChunk({{Sym::Literal, 'x'}, {Sym::Match, 0}}, 3), Str("xxx"),
         XZ_ERR_DATA},
    };
    for (const SymbolCase &c : cases) {
        Bytes xz = xztest::BuildXz({{c.lzma2, c.content, 0}});
        for (size_t chunk : {size_t(1), size_t(4096)}) {
            Decoded d = Decode(xz, chunk);
            EXPECT_EQ(d.result, c.expected) << c.name << ": " << Xz_ResultText(d.result);
            if (c.expected == XZ_DONE)
                EXPECT_TRUE(d.out == c.content) << c.name;
        }
        // liblzma judges the same data the same way.
        Bytes theirs;
        EXPECT_EQ(xztest::DecodeLzma2(c.lzma2, 4096, 100, &theirs), c.expected == XZ_DONE) << c.name;
    }
}

// ---- Damaged streams --------------------------------------------------------------------

// Where each structure of a stream is, found with liblzma's index, not ours.
struct Layout {
    size_t size;
    size_t block;         // first block header
    size_t blockHeader;   // its size
    size_t data;          // its compressed data
    size_t dataSize;
    size_t padding;       // its block padding (0-3 bytes)
    size_t check;         // its check
    size_t checkSize;
    size_t index;
    size_t footer;
};

Layout Locate(const Bytes &xz)
{
    Layout l{};
    l.size = xz.size();
    l.footer = xz.size() - LZMA_STREAM_HEADER_SIZE;
    lzma_stream_flags flags;
    EXPECT_EQ(lzma_stream_footer_decode(&flags, xz.data() + l.footer), LZMA_OK);
    l.index = l.footer - flags.backward_size;
    lzma_index *index = nullptr;
    uint64_t memlimit = UINT64_MAX;
    size_t pos = l.index;
    EXPECT_EQ(lzma_index_buffer_decode(&index, &memlimit, nullptr, xz.data(), &pos, l.footer), LZMA_OK);
    lzma_index_iter it;
    lzma_index_iter_init(&it, index);
    EXPECT_FALSE(lzma_index_iter_next(&it, LZMA_INDEX_ITER_BLOCK));
    l.block = it.block.compressed_file_offset;
    l.blockHeader = (xz[l.block] + 1) * 4;
    l.checkSize = lzma_check_size(flags.check);
    l.data = l.block + l.blockHeader;
    l.dataSize = it.block.unpadded_size - l.blockHeader - l.checkSize;
    l.padding = l.data + l.dataSize;
    l.check = l.block + it.block.total_size - l.checkSize;
    lzma_index_end(index, nullptr);
    return l;
}

// Rewrites the CRC32 that ends the block header at l.block, after a deliberate edit.
void FixBlockHeaderCrc(Bytes &xz, const Layout &l)
{
    uint32_t crc = lzma_crc32(xz.data() + l.block, l.blockHeader - 4, 0);
    for (int i = 0; i < 4; i++)
        xz[l.block + l.blockHeader - 4 + i] = (uint8_t)(crc >> (8 * i));
}

struct Damage {
    const char *name;
    std::function<void(Bytes &, const Layout &)> change;
    std::vector<XzResult> allowed;
};

std::function<void(Bytes &, const Layout &)> Flip(std::function<size_t(const Layout &)> where)
{
    return [=](Bytes &b, const Layout &l) { b[where(l)] ^= 0x10; };
}

std::function<void(Bytes &, const Layout &)> CutAt(std::function<size_t(const Layout &)> where)
{
    return [=](Bytes &b, const Layout &l) { b.resize(where(l)); };
}

const std::vector<XzResult> kData = {XZ_ERR_DATA, XZ_ERR_CHECK};

const std::vector<Damage> &Damages()
{
    static const std::vector<Damage> cases = {
        {"HeaderMagic", Flip([](auto &) { return 1; }), {XZ_ERR_FORMAT}},
        {"HeaderFlags", Flip([](auto &) { return 7; }), {XZ_ERR_CHECK}},
        {"HeaderCrc", Flip([](auto &) { return 9; }), {XZ_ERR_CHECK}},
        {"BlockHeaderSize", Flip([](auto &l) { return l.block; }), {XZ_ERR_CHECK, XZ_ERR_FORMAT}},
        {"BlockHeaderFlags", Flip([](auto &l) { return l.block + 1; }), {XZ_ERR_CHECK}},
        {"BlockHeaderFilter", Flip([](auto &l) { return l.block + l.blockHeader - 7; }), {XZ_ERR_CHECK}},
        {"BlockHeaderCrc", Flip([](auto &l) { return l.block + l.blockHeader - 2; }), {XZ_ERR_CHECK}},
        {"DataFirstByte", Flip([](auto &l) { return l.data; }), kData},
        {"DataRangeCoderStart", Flip([](auto &l) { return l.data + 7; }), kData},
        {"DataMiddle", Flip([](auto &l) { return l.data + l.dataSize / 2; }), kData},
        {"DataLateInFirstChunk", Flip([](auto &l) { return l.data + 60000; }), kData},
        {"DataEndByte", Flip([](auto &l) { return l.data + l.dataSize - 1; }), kData},
        {"Check", Flip([](auto &l) { return l.check; }), {XZ_ERR_CHECK}},
        {"CheckLastByte", Flip([](auto &l) { return l.check + l.checkSize - 1; }), {XZ_ERR_CHECK}},
        {"IndexIndicator", Flip([](auto &l) { return l.index; }), {XZ_ERR_CHECK}},
        {"IndexCount", Flip([](auto &l) { return l.index + 1; }), {XZ_ERR_CHECK}},
        {"IndexRecord", Flip([](auto &l) { return l.index + 2; }), {XZ_ERR_CHECK}},
        {"IndexCrc", Flip([](auto &l) { return l.footer - 1; }), {XZ_ERR_CHECK}},
        {"FooterCrc", Flip([](auto &l) { return l.footer; }), {XZ_ERR_CHECK}},
        {"FooterBackwardSize", Flip([](auto &l) { return l.footer + 4; }), {XZ_ERR_CHECK}},
        {"FooterFlags", Flip([](auto &l) { return l.footer + 9; }), {XZ_ERR_CHECK}},
        {"FooterMagic", Flip([](auto &l) { return l.size - 1; }), {XZ_ERR_FORMAT}},
        {"CutToNothing", CutAt([](auto &) { return 0; }), {XZ_ERR_TRUNCATED}},
        {"CutInHeader", CutAt([](auto &) { return 7; }), {XZ_ERR_TRUNCATED}},
        {"CutAfterHeader", CutAt([](auto &) { return 12; }), {XZ_ERR_TRUNCATED}},
        {"CutInBlockHeader", CutAt([](auto &l) { return l.block + 5; }), {XZ_ERR_TRUNCATED}},
        {"CutAfterBlockHeader", CutAt([](auto &l) { return l.data; }), {XZ_ERR_TRUNCATED}},
        {"CutInData", CutAt([](auto &l) { return l.data + l.dataSize / 2; }), {XZ_ERR_TRUNCATED}},
        {"CutBeforeCheck", CutAt([](auto &l) { return l.check; }), {XZ_ERR_TRUNCATED}},
        {"CutAtIndex", CutAt([](auto &l) { return l.index; }), {XZ_ERR_TRUNCATED}},
        {"CutInIndex", CutAt([](auto &l) { return l.index + 3; }), {XZ_ERR_TRUNCATED}},
        {"CutAtFooter", CutAt([](auto &l) { return l.footer; }), {XZ_ERR_TRUNCATED}},
        {"CutLastByte", CutAt([](auto &l) { return l.size - 1; }), {XZ_ERR_TRUNCATED}},
        {"CutLastFour", CutAt([](auto &l) { return l.size - 4; }), {XZ_ERR_TRUNCATED}},
        {"TrailingGarbage", [](Bytes &b, auto &) { for (char c : std::string("garbage!")) b.push_back(c); },
         {XZ_ERR_FORMAT}},
        {"TrailingOddBytes", [](Bytes &b, auto &) { b.insert(b.end(), {1, 2, 3}); }, {XZ_ERR_FORMAT}},
        {"StreamPadding", [](Bytes &b, auto &) { b.insert(b.end(), 8, 0); }, {XZ_ERR_UNSUPPORTED}},
        {"TwoStreams", [](Bytes &b, auto &) {
             Bytes copy = b;
             b.insert(b.end(), copy.begin(), copy.end());
         }, {XZ_ERR_UNSUPPORTED}},
        {"NotXz", [](Bytes &b, auto &) { b = Str("PK\3\4 this is not an xz stream, just text. "); }, {XZ_ERR_FORMAT}},
        // Edits behind a CRC made right again: the structure itself is wrong.
        {"ReservedStreamFlag", [](Bytes &b, auto &l) {
             for (size_t at : {size_t(7), l.footer + 9})
                 b[at] |= 0x20;
             uint32_t crc = lzma_crc32(b.data() + 6, 2, 0);
             for (int i = 0; i < 4; i++)
                 b[8 + i] = (uint8_t)(crc >> (8 * i));
             crc = lzma_crc32(b.data() + l.footer + 4, 6, 0);
             for (int i = 0; i < 4; i++)
                 b[l.footer + i] = (uint8_t)(crc >> (8 * i));
         }, {XZ_ERR_UNSUPPORTED}},
        {"FooterFlagsDifferFromHeader", [](Bytes &b, auto &l) {
             b[l.footer + 9] ^= LZMA_CHECK_CRC32 ^ LZMA_CHECK_CRC64;
             uint32_t crc = lzma_crc32(b.data() + l.footer + 4, 6, 0);
             for (int i = 0; i < 4; i++)
                 b[l.footer + i] = (uint8_t)(crc >> (8 * i));
         }, {XZ_ERR_FORMAT}},
        {"ReservedBlockFlag", [](Bytes &b, auto &l) {
             b[l.block + 1] |= 0x04;
             FixBlockHeaderCrc(b, l);
         }, {XZ_ERR_UNSUPPORTED}},
        {"FilterDelta", [](Bytes &b, auto &l) {
             size_t at = l.block + l.blockHeader - 7;
             while (b[at] != 0x21)
                 at--;
             b[at] = 0x03;
             FixBlockHeaderCrc(b, l);
         }, {XZ_ERR_UNSUPPORTED}},
        {"Dictionary96MiB", [](Bytes &b, auto &l) {
             size_t at = l.block + l.blockHeader - 5;
             while (b[at - 2] != 0x21 || b[at - 1] != 0x01)
                 at--;
             b[at] = 29;
             FixBlockHeaderCrc(b, l);
         }, {XZ_ERR_LIMIT}},
        {"DictionaryOver4GiB", [](Bytes &b, auto &l) {
             size_t at = l.block + l.blockHeader - 5;
             while (b[at - 2] != 0x21 || b[at - 1] != 0x01)
                 at--;
             b[at] = 41;
             FixBlockHeaderCrc(b, l);
         }, {XZ_ERR_FORMAT}},
        {"BlockHeaderPadding", [](Bytes &b, auto &l) {
             b[l.block + l.blockHeader - 5] = 1;
             FixBlockHeaderCrc(b, l);
         }, {XZ_ERR_FORMAT, XZ_ERR_UNSUPPORTED, XZ_ERR_LIMIT}},
    };
    return cases;
}

// Two streams to damage: one block without sizes in its header and a CRC32
// (as xz -T1 writes), several blocks with sizes and a CRC64 (as xz -T2 does).
struct Damaged : testing::TestWithParam<std::tuple<size_t, bool>> {};

TEST_P(Damaged, GivesTheExpectedError)
{
    const Damage &c = Damages()[std::get<0>(GetParam())];
    bool blocks = std::get<1>(GetParam());
    static const Bytes data = Mixed(400000, 40);
    static const Bytes single = xztest::Encode(data, Opt([](auto &o) { o.check = LZMA_CHECK_CRC32; }));
    static const Bytes multi = xztest::Encode(data, Opt([](auto &o) { o.preset = 1, o.blockSize = 100000; }));
    Bytes xz = blocks ? multi : single;
    Layout l = Locate(xz);
    ASSERT_GT(l.dataSize, 60001u);
    c.change(xz, l);
    for (size_t chunk : {size_t(4096), size_t(1 << 20)}) {
        Decoded d = Decode(xz, chunk);
        EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), d.result), c.allowed.end())
            << c.name << " gave " << d.result << ": " << Xz_ResultText(d.result);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Damaged, testing::Combine(testing::Range<size_t>(0, Damages().size()), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<size_t, bool>> &i) {
                             return std::string(Damages()[std::get<0>(i.param)].name) +
                                    (std::get<1>(i.param) ? "_Blocks" : "_OneBlock");
                         });

// Block padding exists only where the compressed data's size is not a multiple of 4.
TEST(DamagedStream, NonZeroBlockPadding)
{
    for (size_t n = 1000;; n++) {
        Bytes xz = xztest::Encode(Text(n, 41), {});
        Layout l = Locate(xz);
        if (l.padding == l.check)
            continue;
        xz[l.padding] = 1;
        EXPECT_EQ(Decode(xz).result, XZ_ERR_FORMAT);
        break;
    }
}

TEST(DamagedStream, EveryByteFlippedInASmallStream)
{
    // Each byte of a whole small stream in turn: never success, never a crash.
    Bytes data = Text(3000, 42);
    for (bool blocks : {false, true}) {
        Bytes xz = xztest::Encode(data, Opt([&](auto &o) { o.blockSize = blocks ? 1000 : 0; }));
        for (size_t at = 0; at < xz.size(); at++) {
            for (uint8_t bit : {0x01, 0x80}) {
                Bytes bad = xz;
                bad[at] ^= bit;
                Decoded d = Decode(bad, 977);
                EXPECT_NE(d.result, XZ_DONE) << "byte " << at << " bit " << int(bit);
            }
        }
    }
}

TEST(DamagedStream, UnpackedSizeInIndexWrongWithCrcFixed)
{
    // A single-threaded stream's header has no sizes: only decoding finds the lie.
    Bytes data = Text(5000, 43);
    Bytes xz = xztest::BuildXz({{xztest::EncodeLzma2(data, 6, 1 << 16), data, 5}});
    Bytes longer = data;
    longer.push_back('!');
    Bytes lie = xztest::BuildXz({{xztest::EncodeLzma2(data, 6, 1 << 16), longer, 5}});
    EXPECT_EQ(Decode(xz).result, XZ_DONE);
    EXPECT_EQ(Decode(lie).result, XZ_ERR_DATA);
    Bytes shorter(data.begin(), data.end() - 1);
    EXPECT_EQ(Decode(xztest::BuildXz({{xztest::EncodeLzma2(data, 6, 1 << 16), shorter, 5}})).result, XZ_ERR_DATA);
    // With the sizes in the header, the header and the index must agree.
    EXPECT_EQ(Decode(xztest::BuildXz({{xztest::EncodeLzma2(data, 6, 1 << 16), data, 5, true}})).result, XZ_DONE);
}

TEST(DamagedStream, BlockHeaderSizesDisagreeWithTheIndex)
{
    // Block header: size byte, flags, compressed size, uncompressed size (one
    // byte each here), filter flags; every CRC made right after the edit.
    Bytes lzma2 = Cat({Chunk(0x01, Str("hello")), {0}});
    const std::vector<std::pair<const char *, std::function<void(Bytes &)>>> edits = {
        {"compressed size one more", [](Bytes &h) { h[2]++; }},
        {"compressed size one less", [](Bytes &h) { h[2]--; }},
        {"compressed size zero", [](Bytes &h) { h[2] = 0; }},
        {"uncompressed size one more", [](Bytes &h) { h[3]++; }},
        {"uncompressed size one less", [](Bytes &h) { h[3]--; }},
    };
    Bytes good = xztest::BuildXz({{lzma2, Str("hello"), 0, true}});
    ASSERT_EQ(Decode(good).result, XZ_DONE);
    ASSERT_EQ(good[12 + 2], lzma2.size());
    ASSERT_EQ(good[12 + 3], 5);
    for (auto &[name, edit] : edits) {
        Bytes xz = good;
        Bytes header(xz.begin() + 12, xz.begin() + 12 + (xz[12] + 1) * 4);
        edit(header);
        uint32_t crc = lzma_crc32(header.data(), header.size() - 4, 0);
        for (int i = 0; i < 4; i++)
            header[header.size() - 4 + i] = (uint8_t)(crc >> (8 * i));
        std::copy(header.begin(), header.end(), xz.begin() + 12);
        EXPECT_EQ(Decode(xz).result, XZ_ERR_FORMAT) << name;
    }
}

struct Refused {
    const char *name;
    EncodeOptions options;
    XzResult expected;
};

TEST(Refused, WhatSelfextrNeverWrites)
{
    Bytes data = Text(20000, 44);
    const std::vector<Refused> cases = {
        {"check None", Opt([](auto &o) { o.check = LZMA_CHECK_NONE; }), XZ_ERR_UNSUPPORTED},
        {"check SHA-256", Opt([](auto &o) { o.check = LZMA_CHECK_SHA256; }), XZ_ERR_UNSUPPORTED},
        {"BCJ then LZMA2", Opt([](auto &o) { o.firstFilter = LZMA_FILTER_X86; }), XZ_ERR_UNSUPPORTED},
        {"delta then LZMA2", Opt([](auto &o) { o.firstFilter = LZMA_FILTER_DELTA; }), XZ_ERR_UNSUPPORTED},
        {"BCJ then LZMA2, blocks",
         Opt([](auto &o) { o.firstFilter = LZMA_FILTER_X86, o.blockSize = 5000; }), XZ_ERR_UNSUPPORTED},
    };
    for (const Refused &c : cases) {
        Bytes xz = xztest::Encode(data, c.options);
        ASSERT_FALSE(xz.empty()) << c.name;
        EXPECT_EQ(Decode(xz).result, c.expected) << c.name;
    }
}

TEST(Refused, DictionaryBufferTooSmall)
{
    // The first block is small and needs little; a later one needs the whole
    // dictionary. Xz_Open refuses the buffer before a byte is written.
    Bytes data = Mixed(600000, 45);
    Bytes xz = xztest::BuildXz({{Cat({Chunk(0x01, Str("hello")), {0}}), Str("hello"), 12},
                                {xztest::EncodeLzma2(data, 1, 256 << 10), data, 12}});
    EXPECT_EQ(Decode(xz, 4096, 256 << 10).result, XZ_DONE);
    for (uint32_t size : {(256u << 10) - 1, 5u, 0u}) {
        std::vector<uint8_t> dict(size);
        auto d = std::make_unique<XzDecoder>();
        EXPECT_EQ(Xz_Open(d.get(), xz.data(), xz.size(), dict.data(), size), XZ_ERR_LIMIT) << size;
        size_t used = 1;
        uint8_t out[64];
        EXPECT_EQ(Xz_Decode(d.get(), out, sizeof out, &used), XZ_ERR_LIMIT);
        EXPECT_EQ(used, 0u);
    }
}

// ---- The scan's numbers against liblzma's index --------------------------------------------

TEST(Scan, AgreesWithLiblzmaIndex)
{
    const std::vector<std::pair<const char *, Bytes>> streams = {
        {"empty", xztest::Encode({}, {})},
        {"one block", xztest::Encode(Mixed(500000, 50), Opt([](auto &o) { o.preset = 1; }))},
        {"one block CRC32 4 KiB dict",
         xztest::Encode(Text(100000, 51), Opt([](auto &o) { o.dictSize = 4096, o.check = LZMA_CHECK_CRC32; }))},
        {"blocks", xztest::Encode(Mixed(900000, 52), Opt([](auto &o) { o.preset = 1, o.blockSize = 70000; }))},
        {"blocks 9e", xztest::Encode(Text(300000, 53), Opt([](auto &o) { o.preset = 9 | LZMA_PRESET_EXTREME, o.blockSize = 100000; }))},
    };
    for (auto &[name, xz] : streams) {
        ASSERT_FALSE(xz.empty()) << name;
        lzma_stream_flags flags;
        size_t footer = xz.size() - LZMA_STREAM_HEADER_SIZE;
        ASSERT_EQ(lzma_stream_footer_decode(&flags, xz.data() + footer), LZMA_OK);
        lzma_index *index = nullptr;
        uint64_t memlimit = UINT64_MAX;
        size_t pos = footer - flags.backward_size;
        ASSERT_EQ(lzma_index_buffer_decode(&index, &memlimit, nullptr, xz.data(), &pos, footer), LZMA_OK);

        XzStreamInfo info;
        ASSERT_EQ(Xz_Scan(xz.data(), xz.size(), &info, nullptr, 0), XZ_DONE) << name;
        ASSERT_EQ(info.blocks, lzma_index_block_count(index)) << name;
        EXPECT_EQ(info.unpackedSize, lzma_index_uncompressed_size(index)) << name;
        EXPECT_EQ(info.check, (uint32_t)flags.check) << name;
        std::vector<XzBlockInfo> blocks(info.blocks + 1);
        ASSERT_EQ(Xz_Scan(xz.data(), xz.size(), &info, blocks.data(), info.blocks), XZ_DONE) << name;
        if (info.blocks)
            EXPECT_EQ(Xz_Scan(xz.data(), xz.size(), &info, blocks.data(), info.blocks - 1), XZ_ERR_LIMIT) << name;

        lzma_index_iter it;
        lzma_index_iter_init(&it, index);
        uint32_t largest = 0, needed = 0;
        for (uint32_t i = 0; i < info.blocks; i++) {
            ASSERT_FALSE(lzma_index_iter_next(&it, LZMA_INDEX_ITER_BLOCK));
            const XzBlockInfo &b = blocks[i];
            EXPECT_EQ(b.offset, it.block.compressed_stream_offset) << name << " block " << i;
            EXPECT_EQ(b.packedSize, it.block.total_size) << name << " block " << i;
            EXPECT_EQ(b.unpaddedSize, it.block.unpadded_size) << name << " block " << i;
            EXPECT_EQ(b.unpackedSize, it.block.uncompressed_size) << name << " block " << i;
            // The dictionary as liblzma reads the block header.
            lzma_filter filters[LZMA_FILTERS_MAX + 1];
            lzma_block block{};
            block.version = 1;
            block.check = flags.check;
            block.filters = filters;
            block.header_size = lzma_block_header_size_decode(xz[b.offset]);
            ASSERT_EQ(lzma_block_header_decode(&block, nullptr, xz.data() + b.offset), LZMA_OK);
            ASSERT_EQ(filters[0].id, LZMA_FILTER_LZMA2);
            uint32_t dict = static_cast<lzma_options_lzma *>(filters[0].options)->dict_size;
            EXPECT_EQ(b.dictionary, dict) << name << " block " << i;
            largest = std::max(largest, dict);
            needed = std::max(needed, (uint32_t)std::min<uint64_t>(dict, b.unpackedSize));
            for (int f = 0; filters[f].id != LZMA_VLI_UNKNOWN; f++)
                free(filters[f].options);
        }
        EXPECT_EQ(info.dictionary, largest) << name;
        EXPECT_EQ(info.dictionaryNeeded, needed) << name;
        lzma_index_end(index, nullptr);
    }
}

// The messages as the user reads them: one per result, none empty, none shared.
TEST(ResultText, OnePerResult)
{
    EXPECT_STREQ(Xz_ResultText(XZ_ERR_DATA), "the compressed data is damaged");
    std::vector<std::string> seen;
    for (int r = XZ_MORE; r <= XZ_ERR_TRUNCATED; r++) {
        std::string text = Xz_ResultText((XzResult)r);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << text;
        seen.push_back(text);
    }
}

} // namespace
