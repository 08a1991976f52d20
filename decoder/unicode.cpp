// unicode.cpp: NFC and invisible characters from the generated tables (folding is
// in unicode_fold.cpp, so that a program that does not fold carries no fold table).
#include "unicode.h"

#include "unicode_tables.h"

namespace selfextr {

namespace {

// Hangul syllables compose arithmetically (The Unicode Standard, section 3.12).
constexpr uint32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr uint32_t kLCount = 19, kVCount = 21, kTCount = 28, kSCount = kLCount * kVCount * kTCount;

// How many entries of a table sorted by key (entry >> shift) have a key of c or less.
uint32_t Below(const uint32_t *table, uint32_t n, uint32_t shift, uint32_t c)
{
    uint32_t lo = 0, hi = n;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (table[mid] >> shift <= c)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// A table of runs, start << 11 | (length - 1).
bool InRuns(const uint32_t *table, uint32_t n, uint32_t c)
{
    uint32_t i = Below(table, n, 11, c);
    return i != 0 && c - (table[i - 1] >> 11) <= (table[i - 1] & 0x7FF);
}

// The runs of c's block, read in order until one reaches c; a block holds few.
uint32_t CombiningClass(uint32_t c)
{
    constexpr uint32_t kBlocks = sizeof kUnicodeCombiningBlock / sizeof kUnicodeCombiningBlock[0] - 1;
    constexpr uint32_t kBlock = 0x800;
    uint32_t b = c / kBlock;
    if (b >= kBlocks)
        return 0;
    const uint8_t *at = kUnicodeCombining + kUnicodeCombiningBlock[b];
    const uint8_t *end = kUnicodeCombining + kUnicodeCombiningBlock[b + 1];
    uint32_t pos = b * kBlock;
    while (at != end) {
        uint32_t gap = *at++;
        if (gap >= 0xF0)
            gap = (gap & 0x0F) << 8 | *at++;
        uint32_t v = *at++, last = v >> 6 & 1, k = v & 0x3F;
        if (v >= 0x80)
            last = v & 0x7F, k = *at++;
        pos += gap;
        if (c < pos)
            return 0;
        if (c - pos <= last)
            return kUnicodeClasses[k];
        pos += last + 1;
    }
    return 0;
}

bool NotNfc(uint32_t c) { return InRuns(kUnicodeNotNfc, sizeof kUnicodeNotNfc / sizeof kUnicodeNotNfc[0], c); }

constexpr uint32_t kGroups = sizeof kUnicodeSeconds / sizeof kUnicodeSeconds[0] - 1;

// The pairs of group g (one second), read in order of first: each is a step
// from the one before, so they are read from the group's start, never sought.
struct Pairs {
    const uint8_t *at, *end;
    uint32_t first, composite;
};

Pairs Pairs_Of(uint32_t g)
{
    return {kUnicodePairs + (kUnicodeSeconds[g] & 0x7FFF), kUnicodePairs + (kUnicodeSeconds[g + 1] & 0x7FFF), 0, 0};
}

// The next pair into p->first and p->composite; false past the group's last.
bool Pairs_Next(Pairs *p)
{
    if (p->at == p->end)
        return false;
    const uint8_t *b = p->at;
    uint32_t delta = p->composite - p->first;
    if (b[0] >= 0xE0) {
        uint32_t whole = b[1] | b[2] << 8 | b[3] << 16 | uint32_t(b[4]) << 24;
        p->first = whole & 0x1FFFF;
        delta = (whole >> 17) - 0x4000;
        p->at += 5;
    } else {
        // 0 df:3 dd:4, 10 df:5 dd:9 or 110 df:7 dd:14, dd biased by half its range.
        uint32_t v = b[0], bits = 4;
        if (v >= 0xC0)
            v = (v & 0x1F) << 16 | b[1] << 8 | b[2], bits = 14, p->at += 2;
        else if (v >= 0x80)
            v = (v & 0x3F) << 8 | b[1], bits = 9, p->at += 1;
        p->at += 1;
        p->first += v >> bits;
        delta += (v & ((1u << bits) - 1)) - (1u << (bits - 1));
    }
    p->composite = p->first + delta;
    return true;
}

// The primary composite of first and second, 0 when there is none.
uint32_t Compose(uint32_t first, uint32_t second)
{
    if (first - kLBase < kLCount && second - kVBase < kVCount)
        return kSBase + ((first - kLBase) * kVCount + second - kVBase) * kTCount;
    if (first - kSBase < kSCount && (first - kSBase) % kTCount == 0 && second - kTBase - 1 < kTCount - 1)
        return first + second - kTBase;
    uint32_t g = Below(kUnicodeSeconds, kGroups, 15, second);
    if (g == 0 || kUnicodeSeconds[g - 1] >> 15 != second)
        return 0;
    Pairs p = Pairs_Of(g - 1);
    while (Pairs_Next(&p) && p.first <= first)
        if (p.first == first)
            return p.composite;
    return 0;
}

// Whether second composes with some character before it (NFC_Quick_Check Maybe).
bool Composes(uint32_t second)
{
    if (second - kVBase < kVCount || second - kTBase - 1 < kTCount - 1)
        return true;
    uint32_t g = Below(kUnicodeSeconds, kGroups, 15, second);
    return g != 0 && kUnicodeSeconds[g - 1] >> 15 == second;
}

// The last mark of a primary composite's decomposition, and the composite
// that taking it off leaves; false when there is none (a character that is no
// composite, a Hangul syllable, a vowel of two starters). Rarely needed (a
// composite followed by a mark that may compose), so a scan, not an index.
bool TrailingMark(uint32_t c, uint32_t *rest, uint32_t *mark)
{
    for (uint32_t g = 0; g < kGroups; g++) {
        for (Pairs p = Pairs_Of(g); Pairs_Next(&p);) {
            if (p.composite == c) {
                *rest = p.first, *mark = kUnicodeSeconds[g] >> 15;
                return CombiningClass(*mark) != 0;
            }
        }
    }
    return false;
}

// Whether NFC gives back text[start, end): a starter and the marks after it,
// the marks already in canonical order, none that NFC replaces. NFC decomposes
// the starter, sorts its own trailing marks in among the text's (its own
// first where classes tie) and composes again; the text stays only if every
// mark of the text is left over, in its place, and the starter comes back.
bool SegmentStays(const uint32_t *text, uint32_t start, uint32_t end)
{
    uint32_t own[kUnicodeMostMarks], owned = 0;  // the starter's marks, last first
    uint32_t base = text[start], rest = 0, mark = 0;
    while (owned < kUnicodeMostMarks && TrailingMark(base, &rest, &mark)) {
        own[owned++] = mark;
        base = rest;
    }
    uint32_t next = start + 1, expected = start + 1, blocking = 0;
    while (owned != 0 || next < end) {
        if (owned != 0 && (next == end || CombiningClass(own[owned - 1]) <= CombiningClass(text[next])))
            mark = own[--owned];
        else
            mark = text[next++];
        uint32_t cc = CombiningClass(mark), composite = 0;
        // A mark reaches the starter unless a mark left over before it has a
        // class as high as its own; the leftovers ascend, so the last decides.
        if (blocking < cc && (composite = Compose(base, mark)) != 0) {
            base = composite;
            continue;
        }
        if (expected == end || text[expected] != mark)
            return false;
        expected++;
        blocking = cc;
    }
    return expected == end && base == text[start];
}

}  // namespace

bool Unicode_IsNfc(const uint32_t *text, uint32_t count)
{
    const uint32_t kNone = 0xFFFFFFFF;
    uint32_t before = 0;           // the class of the character before
    uint32_t starter = kNone;      // where the last starter is
    bool mayCompose = false;       // a mark since that starter composes with something
    for (uint32_t i = 0; i <= count; i++) {
        uint32_t c = i < count ? text[i] : 0, cc = i < count ? CombiningClass(c) : 0;
        if (cc != 0) {
            if (before > cc || NotNfc(c))
                return false;
            mayCompose = mayCompose || (starter != kNone && Composes(c));
            before = cc;
            continue;
        }
        if (mayCompose && !SegmentStays(text, starter, i))
            return false;
        if (i == count)
            break;
        // A starter composes only with a starter right before it.
        if (NotNfc(c) || (i != 0 && before == 0 && Compose(text[i - 1], c) != 0))
            return false;
        starter = i, mayCompose = false, before = 0;
    }
    return true;
}

bool Unicode_IsInvisible(uint32_t c)
{
    return InRuns(kUnicodeInvisible, sizeof kUnicodeInvisible / sizeof kUnicodeInvisible[0], c);
}

}  // namespace selfextr
