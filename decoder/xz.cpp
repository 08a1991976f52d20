// xz.cpp: the .xz container, read from the .xz format document; the data goes to lzma2.cpp.
#include "xz.h"
#include "bytes.h"

#include "crc.h"

namespace selfextr {
namespace {

constexpr uint8_t kHeaderMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr uint8_t kFooterMagic[2] = {'Y', 'Z'};
constexpr size_t kStreamHeaderSize = 12;
constexpr size_t kStreamFooterSize = 12;
constexpr size_t kFlagsOffset = 6;        // in the header; the footer has them at 8
constexpr uint8_t kFlagsReserved = 0xF0;
constexpr uint8_t kFlagsCheck = 0x0F;
constexpr uint8_t kIndexIndicator = 0x00;
constexpr uint8_t kBlockFlagFilters = 0x03;
constexpr uint8_t kBlockFlagReserved = 0x3C;
constexpr uint8_t kBlockFlagPacked = 0x40;
constexpr uint8_t kBlockFlagUnpacked = 0x80;
constexpr uint64_t kFilterLzma2 = 0x21;
constexpr uint8_t kDictReserved = 0xC0;
constexpr uint8_t kDictBitsMax = 40;
constexpr uint32_t kVarintMaxBytes = 9;
constexpr uint64_t kSizeMax = (1ull << 63) - 1;   // sizes in the format are 63-bit
constexpr uint64_t kMinUnpadded = 5;

bool Equal(const uint8_t *a, const uint8_t *b, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i])
            return false;
    return true;
}

uint32_t CheckSize(uint32_t check)
{
    return check == kXzCheckCrc32 ? 4 : check == kXzCheckCrc64 ? 8 : 0;
}

uint64_t RoundUp4(uint64_t n)
{
    return (n + 3) & ~(uint64_t)3;
}

// A multibyte integer in s[*pos, end). False past end, past nine bytes, or for
// a last byte of zero (not the shortest form, which the format requires).
bool ReadVarint(const uint8_t *s, size_t end, size_t *pos, uint64_t *value)
{
    uint64_t v = 0;
    for (uint32_t i = 0; i < kVarintMaxBytes; i++) {
        if (*pos >= end)
            return false;
        uint8_t b = s[(*pos)++];
        v |= (uint64_t)(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) {
            if (b == 0 && i)
                return false;
            *value = v;
            return true;
        }
    }
    return false;
}

// Where the footer must be: at the end. A stream cut short ends elsewhere; a
// stream with bytes after it has a valid footer earlier, which tells the two apart.
XzResult CheckEnd(const uint8_t *s, size_t size, const uint8_t *flags)
{
    if (size % 4 == 0 && Equal(s + size - 2, kFooterMagic, 2))
        return XZ_DONE;
    const uint8_t *f = s + size - kStreamFooterSize;
    if (size % 4 == 0 && Crc32_Update(0, f + 4, 6) == Le32(f) && Equal(f + 8, flags, 2))
        return XZ_ERR_FORMAT;   // our footer with damaged magic bytes
    for (size_t p = (size - kStreamFooterSize) & ~(size_t)3; p >= kStreamHeaderSize; p -= 4) {
        f = s + p;
        if (Equal(f + 10, kFooterMagic, 2) && Crc32_Update(0, f + 4, 6) == Le32(f) && Equal(f + 8, flags, 2)) {
            const uint8_t *after = f + kStreamFooterSize;
            size_t rest = size - p - kStreamFooterSize;
            // Stream padding or a second stream: valid .xz that we never write.
            if ((rest % 4 == 0 && AllZero(after, rest)) ||
                (rest >= sizeof kHeaderMagic && Equal(after, kHeaderMagic, sizeof kHeaderMagic)))
                return XZ_ERR_UNSUPPORTED;
            return XZ_ERR_FORMAT;
        }
    }
    return XZ_ERR_TRUNCATED;
}

struct BlockHeader {
    uint32_t size;
    uint32_t dictionary;
};

// Checks the block header at offset against the index's sizes for it; the
// caller has checked that the block's padded size lies within s.
XzResult ParseBlockHeader(const uint8_t *s, size_t offset, uint64_t unpadded, uint64_t unpacked, uint32_t checkSize,
                          BlockHeader *h)
{
    const uint8_t *b = s + offset;
    if (b[0] == kIndexIndicator)
        return XZ_ERR_FORMAT;
    uint32_t size = ((uint32_t)b[0] + 1) * 4;
    if (unpadded < (uint64_t)size + 1 + checkSize)
        return XZ_ERR_FORMAT;
    if (Crc32_Update(0, b, size - 4) != Le32(b + size - 4))
        return XZ_ERR_CHECK;
    uint8_t flags = b[1];
    if ((flags & kBlockFlagReserved) || (flags & kBlockFlagFilters) != 0)
        return XZ_ERR_UNSUPPORTED;
    size_t pos = 2, end = size - 4;
    uint64_t v;
    if (flags & kBlockFlagPacked) {
        if (!ReadVarint(b, end, &pos, &v) || v == 0 || v != unpadded - size - checkSize)
            return XZ_ERR_FORMAT;
    }
    if (flags & kBlockFlagUnpacked) {
        if (!ReadVarint(b, end, &pos, &v) || v != unpacked)
            return XZ_ERR_FORMAT;
    }
    if (!ReadVarint(b, end, &pos, &v))
        return XZ_ERR_FORMAT;
    if (v != kFilterLzma2)
        return XZ_ERR_UNSUPPORTED;
    if (!ReadVarint(b, end, &pos, &v) || v != 1 || pos >= end)
        return XZ_ERR_FORMAT;
    uint8_t props = b[pos++];
    if (props & kDictReserved)
        return XZ_ERR_UNSUPPORTED;
    if (props > kDictBitsMax)
        return XZ_ERR_FORMAT;
    if (props == kDictBitsMax)
        return XZ_ERR_LIMIT;   // 4 GiB - 1
    uint32_t dictionary = (2u | (props & 1)) << (props / 2 + 11);
    if (dictionary > kXzMaxDictionary)
        return XZ_ERR_LIMIT;
    if (!AllZero(b + pos, end - pos))
        return XZ_ERR_FORMAT;
    h->size = size;
    h->dictionary = dictionary;
    return XZ_DONE;
}

struct Layout {
    size_t records;      // the first index record
    size_t indexStart;
};

XzResult ScanStream(const uint8_t *s, size_t size, XzStreamInfo *info, XzBlockInfo *blocks, uint32_t maxBlocks,
                    Layout *layout)
{
    if (size < kStreamHeaderSize)
        return Equal(s, kHeaderMagic, size < sizeof kHeaderMagic ? size : sizeof kHeaderMagic) ? XZ_ERR_TRUNCATED
                                                                                                 : XZ_ERR_FORMAT;
    if (!Equal(s, kHeaderMagic, sizeof kHeaderMagic))
        return XZ_ERR_FORMAT;
    const uint8_t *flags = s + kFlagsOffset;
    if (Crc32_Update(0, flags, 2) != Le32(s + 8))
        return XZ_ERR_CHECK;
    if (flags[0] != 0 || (flags[1] & kFlagsReserved))
        return XZ_ERR_UNSUPPORTED;
    uint32_t check = flags[1] & kFlagsCheck;
    uint32_t checkSize = CheckSize(check);
    if (!checkSize)
        return XZ_ERR_UNSUPPORTED;
    if (size < kStreamHeaderSize + kStreamFooterSize)
        return XZ_ERR_TRUNCATED;
    XzResult r = CheckEnd(s, size, flags);
    if (r != XZ_DONE)
        return r;

    const uint8_t *footer = s + size - kStreamFooterSize;
    if (Crc32_Update(0, footer + 4, 6) != Le32(footer))
        return XZ_ERR_CHECK;
    if (!Equal(footer + 8, flags, 2))
        return XZ_ERR_FORMAT;
    uint64_t indexSize = ((uint64_t)Le32(footer + 4) + 1) * 4;
    size_t indexEnd = size - kStreamFooterSize;
    if (indexSize > indexEnd - kStreamHeaderSize)
        return XZ_ERR_FORMAT;
    size_t indexStart = indexEnd - (size_t)indexSize;
    size_t crcAt = indexEnd - 4;
    if (Crc32_Update(0, s + indexStart, crcAt - indexStart) != Le32(s + crcAt))
        return XZ_ERR_CHECK;

    size_t pos = indexStart;
    uint64_t count;
    if (s[pos++] != kIndexIndicator || !ReadVarint(s, crcAt, &pos, &count))
        return XZ_ERR_FORMAT;
    size_t records = pos;
    // First the records alone: they must tile the space between header and index.
    // The blocks lie within s, so their sizes fit a size_t (and 63 bits):
    // a block that rounds up past the room left is refused before it is added.
    size_t blocksSize = 0, room = indexStart - kStreamHeaderSize;
    uint64_t unpackedSize = 0;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t unpadded, unpacked;
        if (!ReadVarint(s, crcAt, &pos, &unpadded) || !ReadVarint(s, crcAt, &pos, &unpacked))
            return XZ_ERR_FORMAT;
        if (unpadded < kMinUnpadded || unpadded > ((room - blocksSize) & ~(size_t)3) ||
            unpacked > kSizeMax - unpackedSize)
            return XZ_ERR_FORMAT;
        unpackedSize += unpacked;
        blocksSize += ((size_t)unpadded + 3) & ~(size_t)3;
    }
    while ((pos - indexStart) % 4)
        if (pos >= crcAt || s[pos++] != 0)
            return XZ_ERR_FORMAT;
    if (pos != crcAt)
        return XZ_ERR_FORMAT;
    if (blocksSize != room) {
        // The footer and index of a later stream: concatenated streams.
        size_t before = room - blocksSize;
        if (before >= kStreamHeaderSize && before % 4 == 0 && Equal(s + before, kHeaderMagic, sizeof kHeaderMagic))
            return XZ_ERR_UNSUPPORTED;
        return XZ_ERR_FORMAT;
    }
    if (count > 0xFFFFFFFFu)
        return XZ_ERR_LIMIT;

    size_t offset = kStreamHeaderSize;
    uint32_t dictionary = 0, needed = 0;
    pos = records;
    for (uint32_t i = 0; i < count; i++) {
        uint64_t unpadded, unpacked;
        ReadVarint(s, crcAt, &pos, &unpadded);
        ReadVarint(s, crcAt, &pos, &unpacked);
        BlockHeader h;
        r = ParseBlockHeader(s, offset, unpadded, unpacked, checkSize, &h);
        if (r != XZ_DONE)
            return r;
        if (h.dictionary > dictionary)
            dictionary = h.dictionary;
        uint32_t need = unpacked < h.dictionary ? (uint32_t)unpacked : h.dictionary;
        if (need > needed)
            needed = need;
        size_t padded = ((size_t)unpadded + 3) & ~(size_t)3;
        if (blocks && i < maxBlocks) {
            blocks[i].offset = offset;
            blocks[i].packedSize = padded;
            blocks[i].unpackedSize = unpacked;
            blocks[i].unpaddedSize = unpadded;
            blocks[i].dictionary = h.dictionary;
        }
        offset += padded;
    }
    info->blocks = (uint32_t)count;
    info->unpackedSize = unpackedSize;
    info->dictionary = dictionary;
    info->dictionaryNeeded = needed;
    info->check = check;
    layout->records = records;
    layout->indexStart = indexStart;
    if (blocks && count > maxBlocks)
        return XZ_ERR_LIMIT;
    return XZ_DONE;
}

void UpdateCheck(XzBlockDecoder *d, const uint8_t *p, size_t n)
{
    if (d->checkType == kXzCheckCrc32)
        d->crc32 = Crc32_Update(d->crc32, p, n);
    else
        d->crc64 = Crc64_Update(d->crc64, p, n);
}

XzResult FinishBlock(XzBlockDecoder *d)
{
    if (d->dataUsed != d->dataSize || d->lzma2.produced != d->unpackedSize)
        return XZ_ERR_DATA;
    if (!AllZero(d->check, d->padding))
        return XZ_ERR_FORMAT;
    const uint8_t *stored = d->check + d->padding;
    bool match = d->checkType == kXzCheckCrc32 ? Le32(stored) == d->crc32 : Le64(stored) == d->crc64;
    return match ? XZ_DONE : XZ_ERR_CHECK;
}

// What both ways of decoding a block check and keep; h is its header.
XzResult OpenBlock(XzBlockDecoder *d, const uint8_t *stream, size_t size, const XzBlockInfo &block, uint32_t check,
                   BlockHeader *h)
{
    Crc_Init();
    d->status = XZ_ERR_FORMAT;
    d->flatOut = nullptr;
    d->finalBytes = 0;
    uint32_t checkSize = CheckSize(check);
    if (!checkSize) {
        d->status = XZ_ERR_UNSUPPORTED;
        return d->status;
    }
    // The caller's numbers are trusted no more than the stream's.
    if (block.offset > size || block.packedSize > size - block.offset || block.unpaddedSize < kMinUnpadded ||
        block.unpaddedSize > block.packedSize || block.packedSize != RoundUp4(block.unpaddedSize) ||
        block.unpackedSize > kSizeMax)
        return d->status;
    XzResult r = ParseBlockHeader(stream, (size_t)block.offset, block.unpaddedSize, block.unpackedSize, checkSize, h);
    if (r != XZ_DONE) {
        d->status = r;
        return r;
    }
    size_t dataSize = (size_t)(block.unpaddedSize - h->size - checkSize);
    d->data = stream + block.offset + h->size;
    d->dataSize = dataSize;
    d->dataUsed = 0;
    d->padding = (uint32_t)(0 - (h->size + dataSize)) & 3;
    d->check = d->data + dataSize;
    d->checkType = check;
    d->headerSize = h->size;
    d->crc32 = 0;
    d->crc64 = 0;
    d->unpackedSize = block.unpackedSize;
    return XZ_MORE;
}

XzResult Ended(XzBlockDecoder *d, Lzma2Result r)
{
    switch (r) {
    case LZMA2_MORE:
        return XZ_MORE;
    case LZMA2_END:
        d->status = FinishBlock(d);
        break;
    case LZMA2_ERR_DATA:
    case LZMA2_ERR_TRUNCATED:   // the LZMA2 data runs past the block's compressed size
        d->status = XZ_ERR_DATA;
        break;
    }
    return d->status;
}

} // namespace

const char *Xz_ResultText(XzResult r)
{
    switch (r) {
    case XZ_MORE:
        return "more output room is needed";
    case XZ_DONE:
        return "the data was decoded and checked";
    case XZ_ERR_FORMAT:
        return "the data is not a valid .xz stream";
    case XZ_ERR_UNSUPPORTED:
        return "the .xz stream uses a feature selfextr does not write";
    case XZ_ERR_DATA:
        return "the compressed data is damaged";
    case XZ_ERR_CHECK:
        return "a checksum does not match: the data is damaged";
    case XZ_ERR_LIMIT:
        return "the stream needs more memory than allowed";
    case XZ_ERR_TRUNCATED:
        return "the compressed data is cut short";
    }
    return "unknown error";
}

XzResult Xz_Scan(const uint8_t *stream, size_t size, XzStreamInfo *info, XzBlockInfo *blocks, uint32_t maxBlocks)
{
    Crc_Init();
    Layout layout;
    return ScanStream(stream, size, info, blocks, maxBlocks, &layout);
}

XzResult XzBlock_Open(XzBlockDecoder *d, const uint8_t *stream, size_t size, const XzBlockInfo &block, uint32_t check,
                      uint8_t *dict, uint32_t dictBytes)
{
    BlockHeader h;
    XzResult r = OpenBlock(d, stream, size, block, check, &h);
    if (r != XZ_MORE)
        return r;
    uint32_t window;
    if (dictBytes >= h.dictionary)
        window = h.dictionary;
    else if (dictBytes >= block.unpackedSize)
        window = dictBytes;
    else {
        d->status = XZ_ERR_LIMIT;
        return d->status;
    }
    Lzma2_Open(&d->lzma2, dict, window, block.unpackedSize);
    d->status = XZ_MORE;
    return XZ_MORE;
}

XzResult XzBlock_OpenFlat(XzBlockDecoder *d, const uint8_t *stream, size_t size, const XzBlockInfo &block,
                          uint32_t check, uint8_t *out, size_t outBytes)
{
    BlockHeader h;
    XzResult r = OpenBlock(d, stream, size, block, check, &h);
    if (r != XZ_MORE)
        return r;
    if (block.unpackedSize > outBytes || block.unpackedSize > 0xFFFFFFFFu) {
        d->status = XZ_ERR_LIMIT;
        return d->status;
    }
    Lzma2_OpenFlat(&d->lzma2, out, (uint32_t)block.unpackedSize, h.dictionary);
    d->flatOut = out;
    d->status = XZ_MORE;
    return XZ_MORE;
}

XzResult XzBlock_DecodeFlat(XzBlockDecoder *d, size_t step)
{
    if (d->status != XZ_MORE)
        return d->status;
    if (d->flatOut == nullptr || step == 0) {
        d->status = XZ_ERR_LIMIT;
        return d->status;
    }
    size_t inUsed, produced;
    Lzma2Result r =
        Lzma2_DecodeFlat(&d->lzma2, d->data + d->dataUsed, d->dataSize - d->dataUsed, &inUsed, step, &produced);
    d->dataUsed += inUsed;
    UpdateCheck(d, d->flatOut + d->finalBytes, produced);
    d->finalBytes += produced;
    return Ended(d, r);
}

XzResult XzBlock_Decode(XzBlockDecoder *d, uint8_t *out, size_t outSize, size_t *outUsed)
{
    *outUsed = 0;
    if (d->status != XZ_MORE)
        return d->status;
    if (d->flatOut != nullptr) {
        d->status = XZ_ERR_LIMIT;
        return d->status;
    }
    size_t inUsed, produced;
    Lzma2Result r =
        Lzma2_Decode(&d->lzma2, d->data + d->dataUsed, d->dataSize - d->dataUsed, &inUsed, out, outSize, &produced);
    d->dataUsed += inUsed;
    UpdateCheck(d, out, produced);
    *outUsed = produced;
    return Ended(d, r);
}

XzResult Xz_Open(XzDecoder *d, const uint8_t *stream, size_t size, uint8_t *dict, uint32_t dictBytes)
{
    Crc_Init();
    d->stream = stream;
    d->size = size;
    d->dict = dict;
    d->dictBytes = dictBytes;
    d->blockOffset = 0;
    d->blockIndex = 0;
    d->inBlock = 0;
    Layout layout;
    d->status = ScanStream(stream, size, &d->info, nullptr, 0, &layout);
    if (d->status != XZ_DONE)
        return d->status;
    if (dictBytes < d->info.dictionaryNeeded) {
        d->status = XZ_ERR_LIMIT;
        return d->status;
    }
    d->nextRecord = layout.records;
    d->blockOffset = kStreamHeaderSize;
    d->status = XZ_MORE;
    return XZ_MORE;
}

XzResult Xz_Decode(XzDecoder *d, uint8_t *out, size_t outSize, size_t *outUsed)
{
    *outUsed = 0;
    size_t used = 0;
    while (d->status == XZ_MORE) {
        if (!d->inBlock) {
            if (d->blockIndex == d->info.blocks) {
                d->status = XZ_DONE;
                break;
            }
            // Xz_Open checked these records; they are read again, not trusted less.
            XzBlockInfo b;
            if (!ReadVarint(d->stream, d->size, &d->nextRecord, &b.unpaddedSize) ||
                !ReadVarint(d->stream, d->size, &d->nextRecord, &b.unpackedSize)) {
                d->status = XZ_ERR_FORMAT;
                break;
            }
            b.offset = d->blockOffset;
            b.packedSize = RoundUp4(b.unpaddedSize);
            XzResult r = XzBlock_Open(&d->block, d->stream, d->size, b, d->info.check, d->dict, d->dictBytes);
            if (r != XZ_MORE) {
                d->status = r;
                break;
            }
            d->inBlock = 1;
        }
        size_t n;
        XzResult r = XzBlock_Decode(&d->block, out + used, outSize - used, &n);
        used += n;
        if (r == XZ_MORE)
            break;
        if (r != XZ_DONE) {
            d->status = r;
            break;
        }
        d->blockOffset += RoundUp4(d->block.headerSize + d->block.dataSize) + CheckSize(d->info.check);
        d->blockIndex++;
        d->inBlock = 0;
    }
    *outUsed = used;
    return d->status;
}

uint64_t Xz_InputDone(const XzDecoder *d)
{
    if (d->status == XZ_DONE)
        return d->size;
    // After an error too: how far it got.
    return d->blockOffset + (d->inBlock ? d->block.headerSize + d->block.dataUsed : 0);
}

} // namespace selfextr
