// lzma2.h: LZMA2 chunks (control byte, sizes, resets) over the LZMA model, streaming into the caller's output.
#ifndef SELFEXTR_DECODER_LZMA2_H
#define SELFEXTR_DECODER_LZMA2_H

#include <stddef.h>
#include <stdint.h>

#include "lzma.h"

namespace selfextr {

enum Lzma2Result : int {
    LZMA2_MORE = 0,        // the output is full; call again
    LZMA2_END,             // the end byte was read and everything decoded was handed out
    LZMA2_ERR_DATA,        // a bad control byte, size, reset order or LZMA chunk
    LZMA2_ERR_TRUNCATED,   // the input ended inside a chunk or before the end byte
};

constexpr uint32_t kLzma2MaxChunkUnpacked = 1u << 21;
constexpr uint32_t kLzma2MaxChunkPacked = 1u << 16;

// The small fields first and the model's probabilities (most of the size)
// last, so that code reaches each field with a one-byte offset.
struct Lzma2Dec {
    LzmaWindow win;
    uint32_t phase;
    uint32_t chunkUnpacked;   // bytes of the current chunk still to produce
    uint32_t chunkPacked;     // bytes of the current LZMA chunk still to read
    uint32_t needDictReset;
    uint32_t needProps;
    uint64_t produced;        // bytes decoded since Lzma2_Open
    uint64_t maxProduced;     // more than this is corrupt data
    uint32_t flat;            // the window is the output (Lzma2_OpenFlat)
    LzmaDec lzma;
};

// Prepares to decode one LZMA2 stream into the window buf of bufSize bytes.
// bufSize must be at least the dictionary size, or at least maxUnpacked (the
// window then never wraps); when it can wrap it must be a multiple of 16, so
// the .xz dictionary sizes (4 KiB and up, 2^n or 3 * 2^n) serve as they are.
// Output beyond maxUnpacked bytes is refused as corrupt.
void Lzma2_Open(Lzma2Dec *d, uint8_t *buf, uint32_t bufSize, uint64_t maxUnpacked);

// Prepares to decode one LZMA2 stream of at most bufSize bytes straight into
// buf, which is both the output and the window: it never wraps and nothing is
// copied. A dictionary reset starts the history over at the next byte of buf;
// a match reaches back fewer than dictionary bytes. Decoded with
// Lzma2_DecodeFlat.
void Lzma2_OpenFlat(Lzma2Dec *d, uint8_t *buf, uint32_t bufSize, uint32_t dictionary);

// Decodes from in (which must hold every remaining byte of the LZMA2 data: the
// whole input is in memory) into out. *inUsed and *outUsed say how far it got;
// the next call passes the input from there on.
Lzma2Result Lzma2_Decode(Lzma2Dec *d, const uint8_t *in, size_t inSize, size_t *inUsed, uint8_t *out, size_t outSize,
                         size_t *outUsed);

// The same for a decoder that Lzma2_OpenFlat prepared (and only for one):
// step bounds how many bytes one call adds, *added says how many it added
// after those before, and buf[0, all added so far) is final.
Lzma2Result Lzma2_DecodeFlat(Lzma2Dec *d, const uint8_t *in, size_t inSize, size_t *inUsed, size_t step, size_t *added);

} // namespace selfextr

#endif
