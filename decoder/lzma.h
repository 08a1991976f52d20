// lzma.h: the range decoder and the LZMA model, decoding into a caller's circular window.
#ifndef SELFEXTR_DECODER_LZMA_H
#define SELFEXTR_DECODER_LZMA_H

#include <stddef.h>
#include <stdint.h>

namespace selfextr {

// LZMA2 allows lc + lp <= 4, so at most 16 literal coders of 0x300 probabilities:
// the model has a fixed size and needs no allocation.
constexpr uint32_t kLzmaMaxLcPlusLp = 4;
constexpr uint32_t kLzmaMaxPb = 4;
constexpr uint32_t kLzmaLiteralCoderSize = 0x300;

constexpr uint32_t kLzmaStates = 12;
constexpr uint32_t kLzmaPosStatesMax = 1u << kLzmaMaxPb;
constexpr uint32_t kLzmaLenLowBits = 3;
constexpr uint32_t kLzmaLenMidBits = 3;
constexpr uint32_t kLzmaLenHighBits = 8;
constexpr uint32_t kLzmaLenProbs = 2 + 2 * (kLzmaPosStatesMax << kLzmaLenLowBits) + (1u << kLzmaLenHighBits);
constexpr uint32_t kLzmaDistStates = 4;
constexpr uint32_t kLzmaDistSlotBits = 6;
constexpr uint32_t kLzmaDistModelEnd = 14;   // slots from here on use direct bits and the align coder
constexpr uint32_t kLzmaFullDistances = 128;
constexpr uint32_t kLzmaAlignBits = 4;

// Offsets of each probability group in LzmaDec::probs.
enum : uint32_t {
    kLzmaProbIsMatch = 0,
    kLzmaProbIsRep = kLzmaProbIsMatch + kLzmaStates * kLzmaPosStatesMax,
    kLzmaProbIsRepG0 = kLzmaProbIsRep + kLzmaStates,
    kLzmaProbIsRepG1 = kLzmaProbIsRepG0 + kLzmaStates,
    kLzmaProbIsRepG2 = kLzmaProbIsRepG1 + kLzmaStates,
    kLzmaProbIsRep0Long = kLzmaProbIsRepG2 + kLzmaStates,
    kLzmaProbDistSlot = kLzmaProbIsRep0Long + kLzmaStates * kLzmaPosStatesMax,
    kLzmaProbDistReverse = kLzmaProbDistSlot + (kLzmaDistStates << kLzmaDistSlotBits),
    kLzmaProbAlign = kLzmaProbDistReverse + kLzmaFullDistances - kLzmaDistModelEnd + 1,
    kLzmaProbMatchLen = kLzmaProbAlign + (1u << kLzmaAlignBits),
    kLzmaProbRepLen = kLzmaProbMatchLen + kLzmaLenProbs,
    kLzmaProbLiteral = kLzmaProbRepLen + kLzmaLenProbs,
    kLzmaProbCount = kLzmaProbLiteral + (kLzmaLiteralCoderSize << kLzmaMaxLcPlusLp),
};

// The history the model copies matches from, in the caller's buffer. Bytes
// [flushed, pos) are decoded but not yet handed out; [pos, size) is free or,
// once wrapped, the oldest history. When the window wraps, size is a multiple
// of 16, so pos keeps the low bits (the pb and lp contexts) of the position.
// A match reaches back fewer than reach bytes (the dictionary size), even
// where the buffer holds more history than that.
struct LzmaWindow {
    uint8_t *buf;
    uint32_t size;
    uint32_t pos;
    uint32_t flushed;
    uint32_t wrapped;   // nonzero once pos has come round: all of buf is history
    uint32_t reach;
};

struct LzmaDec {
    uint32_t range;
    uint32_t code;
    uint32_t state;
    uint32_t rep[4];
    uint32_t pending;   // bytes of the last match still to copy
    uint32_t lc;
    uint32_t lpMask;
    uint32_t pbMask;
    uint16_t probs[kLzmaProbCount];
};

// Sets lc, lp and pb from the LZMA properties byte, (pb * 5 + lp) * 9 + lc.
// False for a byte out of range or lc + lp above 4.
bool Lzma_SetProps(LzmaDec *d, uint8_t props);

// The state reset: every probability to one half, the state and the four
// distances to zero, no pending match.
void Lzma_Reset(LzmaDec *d);

// Starts the range decoder on the 5 bytes at in. False if the first is not 0.
bool Lzma_RangeInit(LzmaDec *d, const uint8_t *in);

// Decodes until win->pos reaches limit (win->pos < limit <= win->size), a match
// possibly left pending. Reads input from *in onward, never at or past inEnd;
// wanting a byte there sets *overrun and stops. False for a distance beyond
// the history: the data is corrupt.
bool Lzma_Decode(LzmaDec *d, LzmaWindow *win, uint32_t limit, const uint8_t **in, const uint8_t *inEnd, bool *overrun);
// The same for a window that never wraps (win->wrapped 0 for good): the
// window's code, which that never needs, left out.
bool Lzma_DecodeFlat(LzmaDec *d, LzmaWindow *win, uint32_t limit, const uint8_t **in, const uint8_t *inEnd, bool *overrun);

// The end of an LZMA chunk: the last normalisation, then the code must be 0.
// Returns false for a range decoder that did not end cleanly.
bool Lzma_RangeFinish(LzmaDec *d, const uint8_t **in, const uint8_t *inEnd);

} // namespace selfextr

#endif
