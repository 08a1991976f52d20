// paths.cpp: the payload's path rules and their wording, shared by the tool and the runner.
#include "paths.h"

#include "unicode.h"

namespace selfextr {

const char kPathTwice[] = "appears twice";
const char kPathNoFolder[] = "does not come before it";
const char kPathFileAsFolder[] = "is a file, not a folder";
const char kPathCase[] = "differ only in case, which Windows does not tell apart";
const char kPathNoMemory[] = "cannot be checked: there is not enough memory";
const char kPathTargetMissing[] = "which does not come before it as a file";
const char kPathTargetFolder[] = "which is a folder, not a file";
const char kPathTargetCopy[] = "which is itself a copy; a copy names the file it copies";
const char kPathTooMany[] = "is one path too many: the paths before it fill the 256 MiB kept to compare them";

namespace {

// One code point at path[i]: its length in bytes, 0 when the bytes are not
// UTF-8 as the runner turns it into UTF-16 (shortest forms, no surrogates,
// nothing past U+10FFFF).
uint32_t Decode(const char *path, uint32_t bytes, uint32_t i, uint32_t *cp)
{
    uint8_t c = uint8_t(path[i]);
    uint32_t more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (more == 4 || more >= bytes - i)
        return more == 0 ? 1 : 0;
    uint32_t v = more == 0 ? c : c & (0x3F >> more);
    for (uint32_t k = 1; k <= more; k++) {
        uint8_t d = uint8_t(path[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        v = v << 6 | (d & 0x3F);
    }
    static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (v < least[more] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return 1 + more;
}

bool Control(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// Marks, embeddings, overrides and isolates: a name holding one is shown in
// another order than it is written ("photo\u202Egpj.exe" reads "photoexe.jpg").
bool Bidirectional(uint32_t cp)
{
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

bool Forbidden(uint32_t cp)
{
    return cp == '\\' || cp == ':' || cp == '*' || cp == '?' || cp == '"' || cp == '<' || cp == '>' || cp == '|';
}

// The private-use stand-ins that other systems write for a character their
// file names forbid (U+F000 plus the character: U+F03A for ':'); a name
// holding one would turn back into that character where it is read so.
bool StandIn(uint32_t cp) { return cp >= 0xF000 && cp <= 0xF07F; }

}  // namespace

// Characters that the best fit of a Windows code page turns into a separator,
// a dot or a character Windows forbids, should a name ever pass through an
// ANSI call: from Unicode's published WindowsBestFit tables (bestfit932.txt,
// where U+00A5 is '\', bestfit949.txt, where U+20A9 is '\', bestfit1252.txt
// and their siblings). Sorted, for the search below.
bool Path_BestFitHazard(uint32_t cp)
{
    static const uint16_t kHazards[] = {
        0x00A5,  // YEN SIGN: '\' in code page 932
        0x02BA,  // MODIFIER LETTER DOUBLE PRIME: '"'
        0x2024,  // ONE DOT LEADER: '.'
        0x2033,  // DOUBLE PRIME: '"'
        0x2044,  // FRACTION SLASH: '/'
        0x20A9,  // WON SIGN: '\' in code page 949
        0x2215,  // DIVISION SLASH: '/'
        0x2216,  // SET MINUS: '\'
        0x2217,  // ASTERISK OPERATOR: '*'
        0x2223,  // DIVIDES: '|'
        0x2236,  // RATIO: ':'
        0x2329,  // LEFT-POINTING ANGLE BRACKET: '<'
        0x232A,  // RIGHT-POINTING ANGLE BRACKET: '>'
        0x29F5,  // REVERSE SOLIDUS OPERATOR: '\'
        0x29F8,  // BIG SOLIDUS: '/'
        0x29F9,  // BIG REVERSE SOLIDUS: '\'
        0xFE52,  // SMALL FULL STOP: '.'
        0xFE55,  // SMALL COLON: ':'
        0xFE56,  // SMALL QUESTION MARK: '?'
        0xFE57,  // SMALL EXCLAMATION MARK, beside them in the tables
        0xFE61,  // SMALL ASTERISK: '*'
        0xFE64,  // SMALL LESS-THAN SIGN: '<'
        0xFE65,  // SMALL GREATER-THAN SIGN: '>'
        0xFE68,  // SMALL REVERSE SOLIDUS: '\'
        0xFF0C,  // FULLWIDTH COMMA, which splits a descriptor
        0xFF0E,  // FULLWIDTH FULL STOP: '.'
        0xFF0F,  // FULLWIDTH SOLIDUS: '/'
    };
    // The fullwidth forms of the characters Windows forbids: '"' '*' ':' '<' '>' '?' '\' '|'.
    if (cp >= 0xFF01 && cp <= 0xFF5E && Forbidden(cp - 0xFF01 + 0x21))
        return true;
    uint32_t lo = 0, hi = sizeof kHazards / sizeof kHazards[0];
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (kHazards[mid] == cp)
            return true;
        if (kHazards[mid] < cp)
            lo = mid + 1;
        else
            hi = mid;
    }
    return false;
}

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool Is(const char *p, uint32_t n, const char *word)
{
    uint32_t i = 0;
    for (; i < n && word[i] != 0; i++)
        if (Upper(p[i]) != word[i])
            return false;
    return i == n && word[i] == 0;
}

// Windows reserves the device names with any extension, ignoring case and
// blanks before the dot; COM and LPT take the digits 0 to 9 and the
// superscripts 1 to 3.
bool Device(const char *name, uint32_t n)
{
    uint32_t stem = 0;
    while (stem < n && name[stem] != '.')
        stem++;
    while (stem != 0 && name[stem - 1] == ' ')
        stem--;
    if (Is(name, stem, "CON") || Is(name, stem, "PRN") || Is(name, stem, "AUX") || Is(name, stem, "NUL") ||
        Is(name, stem, "CONIN$") || Is(name, stem, "CONOUT$"))
        return true;
    if (stem < 4 || !(Is(name, 3, "COM") || Is(name, 3, "LPT")))
        return false;
    if (stem == 4)
        return name[3] >= '0' && name[3] <= '9';
    // U+00B9, U+00B2 and U+00B3 in UTF-8.
    return stem == 5 && uint8_t(name[3]) == 0xC2 &&
           (uint8_t(name[4]) == 0xB9 || uint8_t(name[4]) == 0xB2 || uint8_t(name[4]) == 0xB3);
}

// An 8.3 name whose base holds '~' and a digit (LONGFI~1.TXT, PROGRA~1):
// where the volume keeps short names, Windows opens the file that owns that
// short name, which may be another entry's or one outside the payload.
bool ShortAlias(const char *name, uint32_t n)
{
    // Characters, not bytes: a short name may hold the OEM code page's letters.
    uint32_t dot = n, baseChars = 0, extChars = 0;
    bool tilde = false;
    for (uint32_t i = 0; i < n; i++) {
        if ((uint8_t(name[i]) & 0xC0) == 0x80)
            continue;
        if (name[i] == '.') {
            if (dot != n)
                return false;
            dot = i;
        } else if (dot == n) {
            baseChars++;
            tilde = tilde || (name[i] == '~' && i + 1 < n && name[i + 1] >= '0' && name[i + 1] <= '9');
        } else {
            extChars++;
        }
    }
    return tilde && baseChars >= 1 && baseChars <= 8 && (dot == n || (extChars >= 1 && extChars <= 3));
}

PathProblem Whole(const char *why) { return PathProblem{why, PATH_WHOLE, 0, 0}; }

PathProblem Other(const char *why) { return PathProblem{why, PATH_OTHER, 0, 0}; }

PathProblem Name(const char *why, uint32_t at, uint32_t bytes) { return PathProblem{why, PATH_NAME, at, bytes}; }

// The rules for one name, path[at, at + n).
PathProblem CheckName(const char *path, uint32_t at, uint32_t n)
{
    const char *name = path + at;
    if ((n == 1 && name[0] == '.') || (n == 2 && name[0] == '.' && name[1] == '.'))
        return Name("is \".\" or \"..\", which leads out of its place", at, n);
    uint32_t units = 0;
    for (uint32_t i = 0; i < n;) {
        uint32_t cp = 0, len = Decode(name, n, i, &cp);
        if (Control(cp))
            return Name("holds a control character", at, n);
        if (Bidirectional(cp))
            return Name("holds a bidirectional mark, embedding, override or isolate, which shows it in another order", at, n);
        if (Forbidden(cp))
            return Name("holds a backslash, a colon or another character that Windows forbids in file names", at, n);
        if (Path_BestFitHazard(cp))
            return Name("holds a character that the target's code page reads as a separator or forbidden character", at, n);
        if (cp == 0xFFFD)
            return Name("holds U+FFFD, the mark of a character lost in a conversion", at, n);
        if (Unicode_IsInvisible(cp))
            return Name("holds an invisible or format character, which a person cannot see", at, n);
        if (StandIn(cp))
            return Name("holds a private-use stand-in (U+F000 to U+F07F) that other systems write for a forbidden character", at, n);
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    if (units > kPayloadMaxNameUnits)
        return Name("is longer than 255 UTF-16 units, the most a Windows file name holds", at, n);
    // One spelling for what looks the same: a name decomposed (e + U+0301) or
    // holding a singleton (U+212A KELVIN SIGN for K) has a twin no one tells apart.
    uint32_t text[kPayloadMaxNameUnits], count = 0;
    for (uint32_t i = 0; i < n; count++)
        i += Decode(name, n, i, &text[count]);
    if (!Unicode_IsNfc(text, count))
        return Name("is not in Unicode's composed form (NFC), so it looks the same as a name spelt otherwise", at, n);
    if (name[n - 1] == '.' || name[n - 1] == ' ')
        return Name("ends with a dot or a blank, which Windows drops", at, n);
    if (Device(name, n))
        return Name("is a reserved device name", at, n);
    if (ShortAlias(name, n))
        return Name("is shaped like a short 8.3 name (a tilde and digits), which Windows may resolve to another file", at, n);
    return PathProblem{nullptr, PATH_WHOLE, 0, 0};
}

uint32_t Append(char *out, uint32_t length, uint32_t room, const char *text)
{
    while (*text != 0 && length + 1 < room)
        out[length++] = *text++;
    out[length] = 0;
    return length;
}

// A quoted name as Path_AppendShown writes it; a long one keeps its first
// and last bytes, cut at character boundaries, with "..." between.
uint32_t Quoted(char *out, uint32_t length, uint32_t room, const char *text, uint32_t bytes)
{
    const uint32_t kHead = 120, kTail = 60;
    length = Append(out, length, room, "\"");
    if (bytes <= kHead + kTail + 20) {
        length = Path_AppendShown(out, length, room, text, bytes);
    } else {
        uint32_t head = kHead, tail = bytes - kTail;
        while (head != 0 && (uint8_t(text[head]) & 0xC0) == 0x80)
            head--;
        while (tail < bytes && (uint8_t(text[tail]) & 0xC0) == 0x80)
            tail++;
        length = Path_AppendShown(out, length, room, text, head);
        length = Append(out, length, room, "...");
        length = Path_AppendShown(out, length, room, text + tail, bytes - tail);
    }
    return Append(out, length, room, "\"");
}

}  // namespace

PathProblem Path_Check(const char *path, uint32_t bytes)
{
    uint32_t units = 0;
    for (uint32_t i = 0; i < bytes;) {
        uint32_t cp = 0, len = Decode(path, bytes, i, &cp);
        if (len == 0)
            return Whole("is not UTF-8");
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    if (bytes == 0)
        return Whole("is empty");
    if (path[0] == '/')
        return Whole("is absolute");
    for (uint32_t start = 0, i = 0; i <= bytes; i++) {
        if (i < bytes && path[i] != '/')
            continue;
        if (i == start)
            return Whole("has an empty name (a slash at its end or two slashes together)");
        PathProblem p = CheckName(path, start, i - start);
        if (p.why != nullptr)
            return p;
        start = i + 1;
    }
    if (units > kPayloadMaxPathUnits)
        return Whole("is longer than 32,000 UTF-16 units, the most a payload path holds");
    return PathProblem{nullptr, PATH_WHOLE, 0, 0};
}

uint32_t Path_LastName(const char *path, uint32_t bytes)
{
    uint32_t at = bytes;
    while (at != 0 && path[at - 1] != '/')
        at--;
    return at;
}

uint32_t Path_AppendShown(char *out, uint32_t length, uint32_t room, const char *text, uint32_t bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    uint32_t prev = 0;
    for (uint32_t i = 0; i < bytes;) {
        uint32_t cp = 0, len = Decode(text, bytes, i, &cp);
        // The character that makes the text not NFC: a singleton, or a mark that composes with what precedes it.
        const uint32_t pair[2] = {prev, cp};
        const bool decomposed = len != 0 && (!Unicode_IsNfc(&cp, 1) || (i != 0 && Unicode_IsNfc(&prev, 1) && !Unicode_IsNfc(pair, 2)));
        prev = len != 0 ? cp : 0xFFFD;
        char escape[12];
        uint32_t n = 0;
        if (len == 0 || cp < 0x20 || cp == 0x7F) {
            uint8_t b = uint8_t(text[i]);
            escape[n++] = '\\', escape[n++] = 'x', escape[n++] = hex[b >> 4], escape[n++] = hex[b & 15];
            len = 1;
        } else if (Control(cp) || Bidirectional(cp) || Path_BestFitHazard(cp) || StandIn(cp) || Unicode_IsInvisible(cp) ||
                   decomposed) {
            // \uNNNN, or \UNNNNNNNN past the BMP (U+E0001 and the other tags are format characters).
            escape[n++] = '\\', escape[n++] = cp > 0xFFFF ? 'U' : 'u';
            for (int shift = cp > 0xFFFF ? 28 : 12; shift >= 0; shift -= 4)
                escape[n++] = hex[(cp >> shift) & 15];
        } else {
            for (uint32_t k = 0; k < len; k++)
                escape[n++] = text[i + k];
        }
        if (length + n + 1 > room)
            break;
        for (uint32_t k = 0; k < n; k++)
            out[length++] = escape[k];
        i += len;
    }
    if (room != 0)
        out[length] = 0;
    return length;
}

uint32_t Path_Message(const char *path, uint32_t bytes, const PathProblem &p, const char *other, uint32_t otherBytes,
                      char *out, uint32_t room)
{
    uint32_t n = Append(out, 0, room, p.subject == PATH_OTHER ? "payload paths " : "payload path ");
    n = Quoted(out, n, room, path, bytes);
    if (p.subject == PATH_OTHER || p.subject == PATH_TARGET) {
        n = Append(out, n, room, p.subject == PATH_OTHER ? " and " : " is a copy of ");
        n = Quoted(out, n, room, other, otherBytes);
        if (p.subject == PATH_TARGET)
            n = Append(out, n, room, ",");
    } else if (p.subject != PATH_WHOLE) {
        n = Append(out, n, room, p.subject == PATH_NAME ? ": the name " : ": its folder ");
        n = Quoted(out, n, room, path + p.at, p.bytes);
    }
    n = Append(out, n, room, " ");
    return Append(out, n, room, p.why);
}

uint32_t Path_Fold(const char *path, uint32_t bytes, char *out)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < bytes;) {
        uint32_t cp = 0, len = Decode(path, bytes, i, &cp);
        if (len == 0)
            cp = 0xFFFD, len = 1;
        i += len;
        cp = Unicode_Fold(cp);
        if (cp < 0x80) {
            out[n++] = char(cp);
        } else if (cp < 0x800) {
            out[n++] = char(0xC0 | cp >> 6);
            out[n++] = char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out[n++] = char(0xE0 | cp >> 12);
            out[n++] = char(0x80 | ((cp >> 6) & 0x3F));
            out[n++] = char(0x80 | (cp & 0x3F));
        } else {
            out[n++] = char(0xF0 | cp >> 18);
            out[n++] = char(0x80 | ((cp >> 12) & 0x3F));
            out[n++] = char(0x80 | ((cp >> 6) & 0x3F));
            out[n++] = char(0x80 | (cp & 0x3F));
        }
    }
    return n;
}

namespace {

// A remembered path: this header, its folded bytes, then its last name as written.
struct Record {
    uint32_t next;  // the bucket's next record: offset + 1, 0 for none
    uint32_t hash, folded, last;
    uint32_t kind;               // a PathKind
    uint32_t sizeLow, sizeHigh;  // two halves: records are only 4-byte aligned
};

Record *At(const PathMemory *m, uint32_t offset) { return reinterpret_cast<Record *>(m->records + offset); }

uint32_t RecordBytes(uint32_t folded, uint32_t last) { return (uint32_t(sizeof(Record)) + folded + last + 3) & ~3u; }

uint32_t Hash(const char *p, uint32_t n)
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (uint32_t i = 0; i < n; i++)
        h = (h ^ uint8_t(p[i])) * 16777619u;
    return h;
}

const Record *Find(const PathMemory *m, const char *key, uint32_t n, uint32_t hash)
{
    if (m->buckets == 0)
        return nullptr;
    for (uint32_t at = m->index[hash & (m->buckets - 1)]; at != 0;) {
        const Record *r = At(m, at - 1);
        const char *folded = reinterpret_cast<const char *>(r + 1);
        bool same = r->hash == hash && r->folded == n;
        for (uint32_t i = 0; same && i < n; i++)
            same = folded[i] == key[i];
        if (same)
            return r;
        at = r->next;
    }
    return nullptr;
}

void Link(PathMemory *m, uint32_t offset)
{
    Record *r = At(m, offset);
    uint32_t &head = m->index[r->hash & (m->buckets - 1)];
    r->next = head;
    head = offset + 1;
}

// Room for bytes more records, and an index kept at most half full.
bool Reserve(PathMemory *m, uint32_t bytes)
{
    if (m->room - m->used < bytes) {
        uint32_t room = m->room < (1u << 16) ? (1u << 16) : m->room;
        while (room - m->used < bytes)
            room *= 2;
        if (room > kPathMemoryMaxBytes)
            room = kPathMemoryMaxBytes;
        uint8_t *records = static_cast<uint8_t *>(m->allocate(m->context, room));
        if (records == nullptr)
            return false;
        for (uint32_t i = 0; i < m->used; i++)
            records[i] = m->records[i];
        if (m->records != nullptr)
            m->release(m->context, m->records);
        m->records = records, m->room = room;
    }
    if (2 * (m->count + 1) > m->buckets) {
        uint32_t buckets = m->buckets == 0 ? 1024 : 2 * m->buckets;
        uint32_t *index = static_cast<uint32_t *>(m->allocate(m->context, buckets * uint32_t(sizeof(uint32_t))));
        if (index == nullptr)
            return false;
        for (uint32_t i = 0; i < buckets; i++)
            index[i] = 0;
        if (m->index != nullptr)
            m->release(m->context, m->index);
        m->index = index, m->buckets = buckets;
        for (uint32_t at = 0; at < m->used; at += RecordBytes(At(m, at)->folded, At(m, at)->last))
            Link(m, at);
    }
    return true;
}

}  // namespace

void PathMemory_Init(PathMemory *m, void *(*allocate)(void *, uint32_t), void (*release)(void *, void *), void *context)
{
    *m = PathMemory{allocate, release, context, nullptr, 0, 0, nullptr, 0, 0};
}

void PathMemory_Free(PathMemory *m)
{
    if (m->records != nullptr)
        m->release(m->context, m->records);
    if (m->index != nullptr)
        m->release(m->context, m->index);
    PathMemory_Init(m, m->allocate, m->release, m->context);
}

namespace {

// An earlier entry's path as it was spelled: path's folder (its first last
// bytes), then e's own last name; false when it does not fit room.
bool Spell(const Record *e, const char *path, uint32_t last, char *out, uint32_t room, uint32_t *outBytes)
{
    if (last + e->last + 1 > room)
        return false;
    const char *earlier = reinterpret_cast<const char *>(e + 1) + e->folded;
    for (uint32_t i = 0; i < last; i++)
        out[i] = path[i];
    for (uint32_t i = 0; i < e->last; i++)
        out[last + i] = earlier[i];
    out[last + e->last] = 0;
    *outBytes = last + e->last;
    return true;
}

}  // namespace

PathProblem PathMemory_Add(PathMemory *m, const char *path, uint32_t bytes, bool folder, char *other, uint32_t room,
                           uint32_t *otherBytes)
{
    return PathMemory_AddKind(m, path, bytes, folder ? PATH_KIND_FOLDER : PATH_KIND_FILE, 0, other, room, otherBytes);
}

PathProblem PathMemory_AddKind(PathMemory *m, const char *path, uint32_t bytes, PathKind kind, uint64_t size, char *other,
                               uint32_t room, uint32_t *otherBytes)
{
    *otherBytes = 0;
    const uint32_t last = Path_LastName(path, bytes), lastBytes = bytes - last;
    // The folded path is written where its record would go; folding at most doubles it.
    const uint32_t most = RecordBytes(2 * bytes, lastBytes);
    if (m->used + uint64_t(most) > kPathMemoryMaxBytes)
        return Whole(kPathTooMany);
    if (!Reserve(m, most))
        return Whole(kPathNoMemory);
    Record *r = At(m, m->used);
    char *folded = reinterpret_cast<char *>(r + 1);
    const uint32_t n = Path_Fold(path, bytes, folded);
    if (last != 0) {
        uint32_t parent = n;
        while (folded[parent - 1] != '/')
            parent--;
        const Record *p = Find(m, folded, parent - 1, Hash(folded, parent - 1));
        if (p == nullptr || p->kind != PATH_KIND_FOLDER)
            return PathProblem{p == nullptr ? kPathNoFolder : kPathFileAsFolder, PATH_FOLDER, 0, last - 1};
    }
    const uint32_t hash = Hash(folded, n);
    if (const Record *e = Find(m, folded, n, hash)) {
        const char *earlier = reinterpret_cast<const char *>(e + 1) + e->folded;
        bool same = e->last == lastBytes;
        for (uint32_t i = 0; same && i < lastBytes; i++)
            same = earlier[i] == path[last + i];
        if (same)
            return Whole(kPathTwice);
        if (!Spell(e, path, last, other, room, otherBytes))
            return Whole(kPathCase);
        return Other(kPathCase);
    }
    *r = Record{0, hash, n, lastBytes, kind, uint32_t(size), uint32_t(size >> 32)};
    for (uint32_t i = 0; i < lastBytes; i++)
        folded[n + i] = path[last + i];
    Link(m, m->used);
    m->used += RecordBytes(n, lastBytes);
    m->count++;
    return PathProblem{nullptr, PATH_WHOLE, 0, 0};
}

PathProblem PathMemory_Target(PathMemory *m, const char *target, uint32_t bytes, char *spelled, uint32_t room,
                              uint32_t *spelledBytes, uint64_t *size)
{
    *spelledBytes = 0;
    *size = 0;
    // Folded where the next record would go, as PathMemory_Add does, but not kept.
    const uint32_t most = RecordBytes(2 * bytes, 0);
    if (m->used + uint64_t(most) > kPathMemoryMaxBytes)
        return Whole(kPathTooMany);
    if (!Reserve(m, most))
        return Whole(kPathNoMemory);
    char *folded = reinterpret_cast<char *>(At(m, m->used) + 1);
    const uint32_t n = Path_Fold(target, bytes, folded);
    const Record *e = Find(m, folded, n, Hash(folded, n));
    if (e == nullptr || e->kind != PATH_KIND_FILE)
        return PathProblem{e == nullptr ? kPathTargetMissing : e->kind == PATH_KIND_FOLDER ? kPathTargetFolder : kPathTargetCopy,
                           PATH_TARGET, 0, 0};
    if (!Spell(e, target, Path_LastName(target, bytes), spelled, room, spelledBytes))
        return Whole(kPathTooMany);
    *size = uint64_t(e->sizeHigh) << 32 | e->sizeLow;
    return PathProblem{nullptr, PATH_WHOLE, 0, 0};
}

}  // namespace selfextr
