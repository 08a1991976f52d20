// lzma.cpp: the range decoder and the LZMA model, written from the LZMA format's prose.
#include "lzma.h"

#if defined(__GNUC__)
#define SELFEXTR_INLINE inline __attribute__((always_inline))
#else
#define SELFEXTR_INLINE inline
#endif

namespace selfextr {
namespace {

constexpr uint32_t kRangeTop = 1u << 24;
constexpr uint32_t kProbBits = 11;
constexpr uint32_t kProbOne = 1u << kProbBits;
constexpr uint32_t kProbMoveBits = 5;
constexpr uint32_t kLiteralStates = 7;   // states below this follow a literal
constexpr uint32_t kMatchMinLen = 2;
constexpr uint32_t kLenLowSymbols = 1u << kLzmaLenLowBits;
constexpr uint32_t kLenMidSymbols = 1u << kLzmaLenMidBits;
constexpr uint32_t kLenChoice2 = 1;
constexpr uint32_t kLenLow = 2;
constexpr uint32_t kLenMid = kLenLow + (kLzmaPosStatesMax << kLzmaLenLowBits);
constexpr uint32_t kLenHigh = kLenMid + (kLzmaPosStatesMax << kLzmaLenMidBits);

// The decoder's registers while a call runs; kept in a local so that the
// compiler holds them in registers rather than in *d.
struct Rc {
    uint32_t range;
    uint32_t code;
    const uint8_t *in;
    const uint8_t *end;
    bool overrun;
};

SELFEXTR_INLINE void Rc_Normalize(Rc &rc)
{
    if (rc.range < kRangeTop) {
        uint32_t b = 0;
        // A corrupt chunk can ask for more than it holds: feed zeros and let
        // the caller refuse it, rather than read past the chunk.
        if (rc.in != rc.end)
            b = *rc.in++;
        else
            rc.overrun = true;
        rc.range <<= 8;
        rc.code = (rc.code << 8) | b;
    }
}

SELFEXTR_INLINE uint32_t Rc_Bit(Rc &rc, uint16_t *prob)
{
    Rc_Normalize(rc);
    uint32_t p = *prob;
    uint32_t bound = (rc.range >> kProbBits) * p;
    if (rc.code < bound) {
        rc.range = bound;
        *prob = (uint16_t)(p + ((kProbOne - p) >> kProbMoveBits));
        return 0;
    }
    rc.range -= bound;
    rc.code -= bound;
    *prob = (uint16_t)(p - (p >> kProbMoveBits));
    return 1;
}

// A bit tree read from the top bit down; probs[1] is the root.
template <uint32_t kBits> SELFEXTR_INLINE uint32_t Rc_Tree(Rc &rc, uint16_t *probs)
{
    uint32_t m = 1;
    for (uint32_t i = 0; i < kBits; i++)
        m = (m << 1) | Rc_Bit(rc, probs + m);
    return m - (1u << kBits);
}

// A bit tree whose bits come lowest first.
SELFEXTR_INLINE uint32_t Rc_ReverseTree(Rc &rc, uint16_t *probs, uint32_t bits)
{
    uint32_t m = 1, value = 0;
    for (uint32_t i = 0; i < bits; i++) {
        uint32_t b = Rc_Bit(rc, probs + m);
        m = (m << 1) | b;
        value |= b << i;
    }
    return value;
}

SELFEXTR_INLINE uint32_t Rc_Direct(Rc &rc, uint32_t bits)
{
    uint32_t value = 0;
    do {
        Rc_Normalize(rc);
        rc.range >>= 1;
        uint32_t b = rc.code >= rc.range;
        rc.code -= rc.range & (0u - b);
        value = (value << 1) | b;
    } while (--bits);
    return value;
}

// A match or rep length less kMatchMinLen: 0-7, 8-15 or 16-271.
SELFEXTR_INLINE uint32_t DecodeLen(Rc &rc, uint16_t *probs, uint32_t posState)
{
    if (!Rc_Bit(rc, probs))
        return Rc_Tree<kLzmaLenLowBits>(rc, probs + kLenLow + (posState << kLzmaLenLowBits));
    if (!Rc_Bit(rc, probs + kLenChoice2))
        return kLenLowSymbols + Rc_Tree<kLzmaLenMidBits>(rc, probs + kLenMid + (posState << kLzmaLenMidBits));
    return kLenLowSymbols + kLenMidSymbols + Rc_Tree<kLzmaLenHighBits>(rc, probs + kLenHigh);
}

// The distance less one, from the length less kMatchMinLen.
SELFEXTR_INLINE uint32_t DecodeDist(Rc &rc, uint16_t *probs, uint32_t len)
{
    uint32_t lenState = len < kLzmaDistStates - 1 ? len : kLzmaDistStates - 1;
    uint32_t slot = Rc_Tree<kLzmaDistSlotBits>(rc, probs + kLzmaProbDistSlot + (lenState << kLzmaDistSlotBits));
    if (slot < 4)
        return slot;
    uint32_t bits = (slot >> 1) - 1;
    uint32_t dist = (2 | (slot & 1)) << bits;
    if (slot < kLzmaDistModelEnd)
        return dist + Rc_ReverseTree(rc, probs + kLzmaProbDistReverse + dist - slot, bits);
    dist += Rc_Direct(rc, bits - kLzmaAlignBits) << kLzmaAlignBits;
    return dist + Rc_ReverseTree(rc, probs + kLzmaProbAlign, kLzmaAlignBits);
}

// Copies n bytes (n <= size - pos) from rep + 1 bytes back, which is history.
// A flat window never wraps: the source lies before pos, and so does its end.
template <bool kFlat> SELFEXTR_INLINE void CopyMatch(uint8_t *buf, uint32_t size, uint32_t pos, uint32_t rep, uint32_t n)
{
    uint32_t src = kFlat || pos > rep ? pos - rep - 1 : pos + size - rep - 1;
    uint8_t *dst = buf + pos;
    const uint8_t *s = buf + src;
    if (kFlat || n <= size - src) {
        // Eight at a time wherever each group's source is already final: the
        // source is at least 8 back, or ahead of the destination (old history).
        if (src > pos || pos - src >= 8) {
            for (; n >= 8; n -= 8, dst += 8, s += 8) {
                uint8_t t[8];
                __builtin_memcpy(t, s, 8);
                __builtin_memcpy(dst, t, 8);
            }
        }
        for (; n; n--)
            *dst++ = *s++;
        return;
    }
    uint32_t first = size - src;
    n -= first;
    for (; first; first--)
        *dst++ = *s++;
    s = buf;
    for (; n; n--)
        *dst++ = *s++;
}

} // namespace

bool Lzma_SetProps(LzmaDec *d, uint8_t props)
{
    if (props >= 9 * 5 * 5)
        return false;
    uint32_t lc = props % 9, lp = (props / 9) % 5, pb = props / 45;
    if (lc + lp > kLzmaMaxLcPlusLp || pb > kLzmaMaxPb)
        return false;
    d->lc = lc;
    d->lpMask = (1u << lp) - 1;
    d->pbMask = (1u << pb) - 1;
    return true;
}

void Lzma_Reset(LzmaDec *d)
{
    for (uint32_t i = 0; i < kLzmaProbCount; i++)
        d->probs[i] = kProbOne / 2;
    d->state = 0;
    d->rep[0] = d->rep[1] = d->rep[2] = d->rep[3] = 0;
    d->pending = 0;
}

bool Lzma_RangeInit(LzmaDec *d, const uint8_t *in)
{
    d->range = 0xFFFFFFFFu;
    d->code = (uint32_t)in[1] << 24 | (uint32_t)in[2] << 16 | (uint32_t)in[3] << 8 | in[4];
    return in[0] == 0;
}

bool Lzma_RangeFinish(LzmaDec *d, const uint8_t **in, const uint8_t *inEnd)
{
    Rc rc{d->range, d->code, *in, inEnd, false};
    Rc_Normalize(rc);
    *in = rc.in;
    d->range = rc.range;
    d->code = rc.code;
    return !rc.overrun && rc.code == 0;
}

namespace {

// The model's loop, once for a window that may wrap and once for a flat one
// (kFlat), which the runner uses alone: it then carries no wrapping code.
template <bool kFlat>
SELFEXTR_INLINE bool Decode(LzmaDec *d, LzmaWindow *win, uint32_t limit, const uint8_t **in, const uint8_t *inEnd, bool *overrun)
{
    Rc rc{d->range, d->code, *in, inEnd, false};
    uint16_t *const probs = d->probs;
    uint8_t *const buf = win->buf;
    const uint32_t size = win->size;
    const uint32_t lc = d->lc, lpMask = d->lpMask, pbMask = d->pbMask;
    uint32_t pos = win->pos, state = d->state;
    uint32_t rep0 = d->rep[0], rep1 = d->rep[1], rep2 = d->rep[2], rep3 = d->rep[3];
    // The window cannot wrap inside one call (limit <= size), so the
    // history's extent is fixed but for pos itself.
    const bool wrapped = !kFlat && win->wrapped != 0;
    const uint32_t reach = win->reach;
    bool ok = true;

    if (d->pending) {
        uint32_t n = d->pending < limit - pos ? d->pending : limit - pos;
        CopyMatch<kFlat>(buf, size, pos, rep0, n);
        pos += n;
        d->pending -= n;
    }

    while (pos < limit && !rc.overrun) {
        const uint32_t posState = pos & pbMask;
        if (!Rc_Bit(rc, probs + kLzmaProbIsMatch + state * kLzmaPosStatesMax + posState)) {
            uint32_t prev = pos ? buf[pos - 1] : wrapped ? buf[size - 1] : 0;
            uint16_t *lit = probs + kLzmaProbLiteral +
                            kLzmaLiteralCoderSize * (((pos & lpMask) << lc) + (prev >> (8 - lc)));
            uint32_t sym = 1;
            if (state < kLiteralStates) {
                for (int i = 0; i < 8; i++)
                    sym = (sym << 1) | Rc_Bit(rc, lit + sym);
            } else {
                if (rep0 >= (wrapped ? size : pos) || rep0 >= reach) {
                    ok = false;
                    break;
                }
                uint32_t match = buf[kFlat || pos > rep0 ? pos - rep0 - 1 : pos + size - rep0 - 1];
                // Coded against the byte a match would have given, until the
                // first bit that differs from it.
                do {
                    uint32_t matchBit = (match >> 7) & 1;
                    match <<= 1;
                    uint32_t bit = Rc_Bit(rc, lit + 0x100 + (matchBit << 8) + sym);
                    sym = (sym << 1) | bit;
                    if (bit != matchBit)
                        break;
                } while (sym < 0x100);
                while (sym < 0x100)
                    sym = (sym << 1) | Rc_Bit(rc, lit + sym);
            }
            buf[pos++] = (uint8_t)sym;
            state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
            continue;
        }

        // One length decoder for both kinds, so that it is inlined once: a
        // match's length comes before its distance, a rep's after its choice.
        const bool match = !Rc_Bit(rc, probs + kLzmaProbIsRep + state);
        if (!match) {
            if (!Rc_Bit(rc, probs + kLzmaProbIsRepG0 + state)) {
                if (!Rc_Bit(rc, probs + kLzmaProbIsRep0Long + state * kLzmaPosStatesMax + posState)) {
                    if (rep0 >= (wrapped ? size : pos) || rep0 >= reach) {
                        ok = false;
                        break;
                    }
                    buf[pos] = buf[kFlat || pos > rep0 ? pos - rep0 - 1 : pos + size - rep0 - 1];
                    pos++;
                    state = state < kLiteralStates ? 9 : 11;
                    continue;
                }
            } else {
                uint32_t dist;
                if (!Rc_Bit(rc, probs + kLzmaProbIsRepG1 + state)) {
                    dist = rep1;
                } else {
                    if (!Rc_Bit(rc, probs + kLzmaProbIsRepG2 + state)) {
                        dist = rep2;
                    } else {
                        dist = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = dist;
            }
        }
        uint32_t len = DecodeLen(rc, probs + (match ? kLzmaProbMatchLen : kLzmaProbRepLen), posState);
        if (match) {
            uint32_t dist = DecodeDist(rc, probs, len);
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            rep0 = dist;
            state = state < kLiteralStates ? 7 : 10;
        } else {
            state = state < kLiteralStates ? 8 : 11;
        }
        // Also refuses the end marker (0xFFFFFFFF), which LZMA2 never uses.
        if (rep0 >= (wrapped ? size : pos) || rep0 >= reach) {
            ok = false;
            break;
        }
        len += kMatchMinLen;
        uint32_t n = len < limit - pos ? len : limit - pos;
        CopyMatch<kFlat>(buf, size, pos, rep0, n);
        pos += n;
        d->pending = len - n;
    }

    d->range = rc.range;
    d->code = rc.code;
    d->state = state;
    d->rep[0] = rep0;
    d->rep[1] = rep1;
    d->rep[2] = rep2;
    d->rep[3] = rep3;
    win->pos = pos;
    *in = rc.in;
    *overrun = rc.overrun;
    return ok;
}

} // namespace

bool Lzma_Decode(LzmaDec *d, LzmaWindow *win, uint32_t limit, const uint8_t **in, const uint8_t *inEnd, bool *overrun)
{
    return Decode<false>(d, win, limit, in, inEnd, overrun);
}

bool Lzma_DecodeFlat(LzmaDec *d, LzmaWindow *win, uint32_t limit, const uint8_t **in, const uint8_t *inEnd, bool *overrun)
{
    return Decode<true>(d, win, limit, in, inEnd, overrun);
}

} // namespace selfextr
