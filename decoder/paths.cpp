// paths.cpp: the payload's path rules and their wording, shared by the tool and the runner.
#include "paths.h"

namespace selfextr {

const char kPathTwice[] = "appears twice";
const char kPathNoFolder[] = "does not come before it";
const char kPathFileAsFolder[] = "is a file, not a folder";
const char kPathCase[] = "differ only in case, which Windows does not tell apart";

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

// Characters the ANSI code page's best fit turns into separators or forbidden
// characters, should the name ever pass through it.
bool LookAlike(uint32_t cp)
{
    if (cp >= 0xFF01 && cp <= 0xFF5E && Forbidden(cp - 0xFF01 + 0x21))
        return true;
    return cp == 0xFF0F || cp == 0x2215 || cp == 0x2216 || cp == 0x2044 || cp == 0x29F5 || cp == 0xFE68 || cp == 0xFE55 ||
           cp == 0xFE56 || cp == 0xFE57 || cp == 0xFE64 || cp == 0xFE65 || cp == 0xFF0C;
}

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

PathProblem Whole(const char *why) { return PathProblem{why, PATH_WHOLE, 0, 0}; }

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
        if (LookAlike(cp))
            return Name("holds a character that the target's code page reads as a separator or forbidden character", at, n);
        if (cp == 0xFFFD)
            return Name("holds U+FFFD, the mark of a character lost in a conversion", at, n);
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    if (units > kPayloadMaxNameUnits)
        return Name("is longer than 255 UTF-16 units, the most a Windows file name holds", at, n);
    if (name[n - 1] == '.' || name[n - 1] == ' ')
        return Name("ends with a dot or a blank, which Windows drops", at, n);
    if (Device(name, n))
        return Name("is a reserved device name", at, n);
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
    for (uint32_t i = 0; i < bytes;) {
        uint32_t cp = 0, len = Decode(text, bytes, i, &cp);
        char escape[8];
        uint32_t n = 0;
        if (len == 0 || cp < 0x20 || cp == 0x7F) {
            uint8_t b = uint8_t(text[i]);
            escape[n++] = '\\', escape[n++] = 'x', escape[n++] = hex[b >> 4], escape[n++] = hex[b & 15];
            len = 1;
        } else if (Control(cp) || Bidirectional(cp)) {
            escape[n++] = '\\', escape[n++] = 'u';
            for (int shift = 12; shift >= 0; shift -= 4)
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
    if (p.subject == PATH_OTHER) {
        n = Append(out, n, room, " and ");
        n = Quoted(out, n, room, other, otherBytes);
    } else if (p.subject != PATH_WHOLE) {
        n = Append(out, n, room, p.subject == PATH_NAME ? ": the name " : ": its folder ");
        n = Quoted(out, n, room, path + p.at, p.bytes);
    }
    n = Append(out, n, room, " ");
    return Append(out, n, room, p.why);
}

}  // namespace selfextr
