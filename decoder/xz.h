// xz.h: the .xz container (stream header and footer, block headers, index, checks) over LZMA2.
//
// Only what selfextr writes is decoded: one stream (no stream padding, no
// second stream after it), CRC32 or CRC64 checks, blocks whose filter chain is
// LZMA2 alone, with or without the sizes in their block headers (liblzma's
// multi-threaded encoder writes them, its single-threaded one does not).
// Anything else valid is XZ_ERR_UNSUPPORTED. The whole stream is in memory;
// output is streamed; nothing is allocated: the caller owns every buffer.
#ifndef SELFEXTR_DECODER_XZ_H
#define SELFEXTR_DECODER_XZ_H

#include <stddef.h>
#include <stdint.h>

#include "lzma2.h"

namespace selfextr {

enum XzResult : int {
    XZ_MORE = 0,          // progress; call again (output room was used up)
    XZ_DONE,              // the stream (or block) ended and every check matched
    XZ_ERR_FORMAT,        // not an .xz stream, or a malformed structure (header, index, footer, padding)
    XZ_ERR_UNSUPPORTED,   // valid .xz that selfextr never writes (filter, check type, flags)
    XZ_ERR_DATA,          // the compressed data is corrupt
    XZ_ERR_CHECK,         // a block's check, the index or a header CRC does not match
    XZ_ERR_LIMIT,         // a dictionary above kXzMaxDictionary, or more blocks than the caller allows
    XZ_ERR_TRUNCATED,     // the stream is cut short
};

// One short English reason, for a message to the user.
const char *Xz_ResultText(XzResult r);

// The largest dictionary a block may ask for (xz -9 uses 64 MiB); a block
// asking for more is refused before anything is allocated.
constexpr uint32_t kXzMaxDictionary = 64u << 20;

constexpr uint32_t kXzCheckCrc32 = 1;
constexpr uint32_t kXzCheckCrc64 = 4;

struct XzBlockInfo {
    uint64_t offset;         // of the block header, from the start of the stream
    uint64_t packedSize;     // header to check inclusive: the index's unpadded size rounded up to 4
    uint64_t unpackedSize;
    uint64_t unpaddedSize;   // as the index gives it
    uint32_t dictionary;     // the block's LZMA2 dictionary size
};

struct XzStreamInfo {
    uint32_t blocks;
    uint64_t unpackedSize;
    uint32_t dictionary;         // the largest dictionary any block asks for
    uint32_t dictionaryNeeded;   // the smallest buffer that decodes every block: max of min(dictionary, unpacked size)
    uint32_t check;              // kXzCheckCrc32 or kXzCheckCrc64
};

// Reads and checks the stream header, the footer, the index (its CRC32, its
// records) and every block header (so the dictionary is known) without
// decoding data: XZ_DONE if all is well. blocks may be null with maxBlocks 0
// to learn the count first; a non-null blocks with fewer than info->blocks
// entries gives XZ_ERR_LIMIT (after everything else was checked). Allocates
// nothing; reads no byte outside stream[0, size).
XzResult Xz_Scan(const uint8_t *stream, size_t size, XzStreamInfo *info, XzBlockInfo *blocks, uint32_t maxBlocks);

// One block, header to check, decoded on its own (blocks are independent, so
// several decoders may run at once, each with its own dictionary buffer).
struct XzBlockDecoder {
    const uint8_t *data;   // the block's compressed data
    size_t dataSize;
    size_t dataUsed;
    const uint8_t *check;  // the padding after the data, then the check
    uint32_t padding;
    uint32_t checkType;
    uint32_t headerSize;
    uint32_t crc32;
    uint64_t crc64;
    uint64_t unpackedSize;
    uint8_t *flatOut;      // XzBlock_OpenFlat's buffer; null otherwise
    uint64_t finalBytes;   // of flatOut, decoded and final
    XzResult status;       // XZ_MORE while decoding, then the final result
    Lzma2Dec lzma2;        // last, as the largest
};

// Prepares to decode block (as Xz_Scan gave it) of stream with the stream's
// check type. dict must hold at least the block's dictionary, or at least its
// unpacked size if that is smaller (the buffer then never wraps): XZ_ERR_LIMIT
// otherwise. XZ_MORE when ready; an error if the block header is bad.
XzResult XzBlock_Open(XzBlockDecoder *d, const uint8_t *stream, size_t size, const XzBlockInfo &block, uint32_t check,
                      uint8_t *dict, uint32_t dictBytes);

// Decodes into out; *outUsed bytes were written. XZ_MORE while there is more
// (the output room was used up), XZ_DONE after the block's last byte, its
// padding and its check. After an error every call returns that error.
XzResult XzBlock_Decode(XzBlockDecoder *d, uint8_t *out, size_t outSize, size_t *outUsed);

// Prepares to decode block straight into out, which must hold the block's
// whole unpacked size (outBytes at least that, XZ_ERR_LIMIT otherwise, and
// for a block of 4 GiB or more): out is also the block's window, so no
// dictionary is needed and nothing is copied. XZ_MORE when ready.
XzResult XzBlock_OpenFlat(XzBlockDecoder *d, const uint8_t *stream, size_t size, const XzBlockInfo &block,
                          uint32_t check, uint8_t *out, size_t outBytes);

// Decodes up to step (at least 1) more bytes into the flat buffer: XZ_MORE
// after exactly step of them, XZ_DONE once the block gave exactly its
// unpacked size and its check matched, or an error (XZ_ERR_DATA for a block
// that gives more or fewer bytes than its index says). out[0,
// d->finalBytes) is final at every return, and is never written again, so
// another thread may consume that prefix while decoding goes on; the block's
// check is known only at XZ_DONE.
XzResult XzBlock_DecodeFlat(XzBlockDecoder *d, size_t step);

// The whole stream, one block after the other, on one thread.
struct XzDecoder {
    XzBlockDecoder block;
    const uint8_t *stream;
    size_t size;
    XzStreamInfo info;
    uint8_t *dict;
    uint32_t dictBytes;
    size_t nextRecord;       // where the index record of the next block starts
    uint64_t blockOffset;    // of the current (or next) block
    uint32_t blockIndex;
    uint32_t inBlock;
    XzResult status;
};

// Runs Xz_Scan's checks, then prepares to decode. dict must hold at least
// info.dictionaryNeeded bytes (Xz_Scan tells it): XZ_ERR_LIMIT otherwise.
// XZ_MORE when ready.
XzResult Xz_Open(XzDecoder *d, const uint8_t *stream, size_t size, uint8_t *dict, uint32_t dictBytes);

// As XzBlock_Decode, for the whole stream: XZ_DONE after the last block.
XzResult Xz_Decode(XzDecoder *d, uint8_t *out, size_t outSize, size_t *outUsed);

// Compressed bytes consumed so far, for progress (after an error, how far it got).
uint64_t Xz_InputDone(const XzDecoder *d);

} // namespace selfextr

#endif
