// lzma2.cpp: LZMA2 chunk headers and uncompressed chunks; LZMA chunks go to lzma.cpp.
#include "lzma2.h"

namespace selfextr {
namespace {

enum : uint32_t { kPhaseControl, kPhaseLzma, kPhaseCopy, kPhaseEnd, kPhaseError };

constexpr uint8_t kControlEnd = 0x00;
constexpr uint8_t kControlCopyReset = 0x01;
constexpr uint8_t kControlCopy = 0x02;
constexpr uint8_t kControlLzma = 0x80;
constexpr uint8_t kControlStateReset = 0xA0;
constexpr uint8_t kControlNewProps = 0xC0;
constexpr uint8_t kControlDictReset = 0xE0;
constexpr size_t kLzmaHeaderSize = 5;   // control, unpacked size (2 more bytes), packed size
constexpr size_t kCopyHeaderSize = 3;   // control, size
constexpr uint32_t kRangeInitBytes = 5;

// Hands out what the window holds beyond what was handed out before, and
// starts the window over once it is full and empty. A flat window is the
// output itself: handing out is counting.
void Flush(LzmaWindow *w, bool flat, uint8_t *out, size_t outSize, size_t *op)
{
    size_t n = w->pos - w->flushed;
    if (n > outSize - *op)
        n = outSize - *op;
    if (n) {
        if (!flat)
            __builtin_memcpy(out + *op, w->buf + w->flushed, n);
        *op += n;
        w->flushed += (uint32_t)n;
    }
    if (w->flushed == w->size && w->size && !flat) {
        w->pos = w->flushed = 0;
        w->wrapped = 1;
    }
}

template <bool kFlat>
inline __attribute__((always_inline)) Lzma2Result Decode(Lzma2Dec *d, const uint8_t *in, size_t inSize, size_t *inUsed,
                                                         uint8_t *out, size_t outSize, size_t *outUsed);

} // namespace

void Lzma2_Open(Lzma2Dec *d, uint8_t *buf, uint32_t bufSize, uint64_t maxUnpacked)
{
    d->win.buf = buf;
    d->win.size = bufSize;
    d->win.pos = d->win.flushed = d->win.wrapped = 0;
    d->phase = kPhaseControl;
    d->chunkUnpacked = d->chunkPacked = 0;
    d->needDictReset = 1;
    d->needProps = 1;
    d->produced = 0;
    d->maxProduced = maxUnpacked;
    d->lzma.pending = 0;
    d->flat = 0;
    d->win.reach = bufSize;
}

void Lzma2_OpenFlat(Lzma2Dec *d, uint8_t *buf, uint32_t bufSize, uint32_t dictionary)
{
    Lzma2_Open(d, buf, bufSize, bufSize);
    d->flat = 1;
    d->win.reach = dictionary;
}

Lzma2Result Lzma2_Decode(Lzma2Dec *d, const uint8_t *in, size_t inSize, size_t *inUsed, uint8_t *out, size_t outSize,
                         size_t *outUsed)
{
    return Decode<false>(d, in, inSize, inUsed, out, outSize, outUsed);
}

Lzma2Result Lzma2_DecodeFlat(Lzma2Dec *d, const uint8_t *in, size_t inSize, size_t *inUsed, size_t step, size_t *added)
{
    return Decode<true>(d, in, inSize, inUsed, nullptr, step, added);
}

namespace {

// One loop for both kinds of window; kFlat leaves out the copying and the
// wrapping that a flat one never needs, and the window's model loop with them.
template <bool kFlat>
inline __attribute__((always_inline)) Lzma2Result Decode(Lzma2Dec *d, const uint8_t *in, size_t inSize, size_t *inUsed,
                                                         uint8_t *out, size_t outSize, size_t *outUsed)
{
    LzmaWindow *w = &d->win;
    size_t ip = 0, op = 0;
    Lzma2Result result = LZMA2_MORE;
    const bool flat = kFlat;
    // A decoder opened for the other kind of window is refused, not misread.
    if (d->flat != kFlat)
        d->phase = kPhaseError;
    for (;;) {
        Flush(w, flat, out, outSize, &op);
        if (d->phase == kPhaseEnd) {
            if (w->flushed == w->pos)
                result = LZMA2_END;
            break;
        }
        if (d->phase == kPhaseError) {
            result = LZMA2_ERR_DATA;
            break;
        }
        if (d->phase == kPhaseControl) {
            if (ip == inSize) {
                result = LZMA2_ERR_TRUNCATED;
                break;
            }
            uint8_t control = in[ip];
            if (control == kControlEnd) {
                ip++;
                d->phase = kPhaseEnd;
                continue;
            }
            bool dictReset = control == kControlCopyReset || control >= kControlDictReset;
            if (control > kControlCopy && control < kControlLzma) {
                d->phase = kPhaseError;
                continue;
            }
            if (!dictReset && d->needDictReset) {
                d->phase = kPhaseError;
                continue;
            }
            size_t header = control >= kControlLzma ? kLzmaHeaderSize + (control >= kControlNewProps) : kCopyHeaderSize;
            if (inSize - ip < header) {
                result = LZMA2_ERR_TRUNCATED;
                break;
            }
            const uint8_t *h = in + ip;
            uint32_t unpacked, packed = 0;
            if (control >= kControlLzma) {
                unpacked = ((uint32_t)(control & 0x1F) << 16 | (uint32_t)h[1] << 8 | h[2]) + 1;
                packed = ((uint32_t)h[3] << 8 | h[4]) + 1;
                if (packed < kRangeInitBytes) {
                    d->phase = kPhaseError;
                    continue;
                }
            } else {
                unpacked = ((uint32_t)h[1] << 8 | h[2]) + 1;
            }
            if (inSize - ip - header < (control >= kControlLzma ? packed : unpacked)) {
                result = LZMA2_ERR_TRUNCATED;
                break;
            }
            if (unpacked > d->maxProduced - d->produced) {
                d->phase = kPhaseError;
                continue;
            }
            if (dictReset) {
                // The new history starts at position 0 (the lp and pb contexts
                // count from there), so what precedes must be handed out first.
                if (w->flushed != w->pos)
                    break;
                if (flat) {
                    // What came before stays where it is, as output; the
                    // window (the history, the positions) begins after it.
                    w->buf += w->pos;
                    w->size -= w->pos;
                }
                w->pos = w->flushed = w->wrapped = 0;
                d->needDictReset = 0;
                d->needProps = 1;
            }
            if (control >= kControlLzma) {
                if (control >= kControlNewProps) {
                    if (!Lzma_SetProps(&d->lzma, h[5])) {
                        d->phase = kPhaseError;
                        continue;
                    }
                    d->needProps = 0;
                } else if (d->needProps) {
                    d->phase = kPhaseError;
                    continue;
                }
                if (control >= kControlStateReset)
                    Lzma_Reset(&d->lzma);
                if (!Lzma_RangeInit(&d->lzma, h + header)) {
                    d->phase = kPhaseError;
                    continue;
                }
                d->chunkPacked = packed - kRangeInitBytes;
                ip += header + kRangeInitBytes;
                d->phase = kPhaseLzma;
            } else {
                ip += header;
                d->phase = kPhaseCopy;
            }
            d->chunkUnpacked = unpacked;
            continue;
        }

        // Both kinds of chunk fill the window up to its end at most.
        if (w->size == 0) {
            d->phase = kPhaseError;
            continue;
        }
        if (w->pos == w->size)
            break;
        uint32_t room = w->size - w->pos;
        // A flat window bounds each call by the room asked for instead.
        if (flat && outSize - op < room)
            room = (uint32_t)(outSize - op);
        if (room == 0)
            break;
        uint32_t n = d->chunkUnpacked < room ? d->chunkUnpacked : room;
        if (d->phase == kPhaseCopy) {
            __builtin_memcpy(w->buf + w->pos, in + ip, n);
            w->pos += n;
            ip += n;
        } else {
            const uint8_t *p = in + ip, *end = p + d->chunkPacked;
            bool overrun;
            uint32_t start = w->pos;
            bool ok = kFlat ? Lzma_DecodeFlat(&d->lzma, w, start + n, &p, end, &overrun)
                            : Lzma_Decode(&d->lzma, w, start + n, &p, end, &overrun);
            if (!ok || overrun) {
                d->phase = kPhaseError;
                continue;
            }
            n = w->pos - start;
            if (n == d->chunkUnpacked) {
                // The chunk must end on a symbol and use its bytes exactly.
                if (d->lzma.pending || !Lzma_RangeFinish(&d->lzma, &p, end) || p != end) {
                    d->phase = kPhaseError;
                    continue;
                }
            }
            d->chunkPacked -= (uint32_t)(p - (in + ip));
            ip = (size_t)(p - in);
        }
        d->chunkUnpacked -= n;
        d->produced += n;
        if (d->chunkUnpacked == 0)
            d->phase = kPhaseControl;
    }
    *inUsed = ip;
    *outUsed = op;
    return result;
}

} // namespace

} // namespace selfextr
