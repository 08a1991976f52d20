// unicode_fold.cpp: simple case folding from the generated tables, in a file of
// its own so that a program that never folds links no fold table.
#include "unicode.h"

#include "unicode_tables.h"

namespace selfextr {

uint32_t Unicode_Fold(uint32_t c)
{
    // The last run that starts at c or before.
    uint32_t lo = 0, hi = sizeof kUnicodeFold / sizeof kUnicodeFold[0];
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (kUnicodeFold[mid] >> 15 <= c)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return c;
    uint32_t e = kUnicodeFold[lo - 1], offset = c - (e >> 15), step = (e >> 8 & 1) + 1;
    if (offset % step != 0 || offset / step > (e >> 9 & 0x3F))
        return c;
    // In the BMP the sum wraps (the table keeps offsets in 16 bits).
    uint32_t folded = c + uint32_t(int32_t(kUnicodeFoldOffset[e & 0xFF]));
    return c < 0x10000 ? folded & 0xFFFF : folded;
}

}  // namespace selfextr
