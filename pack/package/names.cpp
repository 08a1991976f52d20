// names.cpp: reserved names, forbidden and look-alike characters, and Windows' case folding.
#include "package/names.h"

#include "base/text.h"
#include "decoder/paths.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <locale.h>
#include <set>
#include <wctype.h>
#ifdef _WIN32
#ifndef NOMINMAX  // libstdc++ for MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace selfextr {

namespace {

std::string Problem(const std::string &name, NameUse use, bool allowNonAscii)
{
    if (name.empty())
        return "is empty";
    if (name == "." || name == "..")
        return "is \".\" or \"..\"";
    for (unsigned char c : name) {
        if (c < 32 || c == 127)
            return "holds a control character";
        if (strchr("\\/:*?\"<>|", c))
            return std::string("holds the character '") + char(c) + "', which Windows forbids in file names";
        if (c == ',' && use == NameUse::kEntry)
            return "holds a comma, which would split its descriptor";
        if (c >= 128 && !allowNonAscii)
            return "is not ASCII (the stub reads names through the target's ANSI code page; --allow-non-ascii permits it)";
    }
    std::u16string wide = Text_Utf16(name);
    if (wide.size() > kMaxNameUnits)
        return "is longer than " + std::to_string(kMaxNameUnits) + " characters, the most a Windows file name holds";
    for (char16_t c : wide) {
        // The ANSI code page's best fit turns these into separators or
        // forbidden characters when the stub reads the name.
        if (Path_BestFitHazard(c))
            return "holds a character that the target's code page reads as a separator or forbidden character";
        if (c == 0xFFFD)
            return "is not valid UTF-8";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "ends with a dot or a blank, which Windows drops";
    // Windows reserves the device names with any extension, ignoring case and
    // blanks before the dot; COM and LPT take the digits 0 to 9 and the
    // superscripts 1 to 3.
    std::u16string stem = Name_Fold(name);
    stem.resize(std::min(stem.size(), stem.find(u'.')));
    while (!stem.empty() && stem.back() == u' ')
        stem.pop_back();
    static const std::set<std::u16string> devices = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    bool numbered = stem.size() == 4 && (stem.compare(0, 3, u"COM") == 0 || stem.compare(0, 3, u"LPT") == 0) &&
                    ((stem[3] >= u'0' && stem[3] <= u'9') || stem[3] == 0xB9 || stem[3] == 0xB2 || stem[3] == 0xB3);
    if (devices.count(stem) || numbered)
        return "is a reserved device name";
    return {};
}

}  // namespace

std::string Name_Problem(const std::string &name, bool allowNonAscii)
{
    return Problem(name, NameUse::kEntry, allowNonAscii);
}

std::string Name_Problem(const std::string &name, NameUse use)
{
    // A payload's names follow the rule the runner applies, and no other.
    if (use == NameUse::kPayload) {
        if (name.find('/') != std::string::npos)
            return "holds a slash";
        const char *why = Path_Check(name.data(), uint32_t(std::min<size_t>(name.size(), UINT32_MAX))).why;
        return why != nullptr ? why : "";
    }
    return Problem(name, use, false);
}

std::u16string Name_Fold(const std::string &name)
{
    // Windows compares names through its upper-case table, which follows the
    // simple upper-case mapping of each UTF-16 unit.
    std::u16string folded = Text_Utf16(name);
#ifdef _WIN32
    for (char16_t &c : folded) {
        wchar_t w = wchar_t(c);
        CharUpperBuffW(&w, 1);
        c = char16_t(w);
    }
#else
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    for (char16_t &c : folded) {
        if (c < 128)
            c = char16_t(std::toupper(int(c)));
        else if (utf8 != locale_t(0) && (c < 0xD800 || c > 0xDFFF))
            c = char16_t(towupper_l(wint_t(c), utf8));
    }
#endif
    return folded;
}

bool Name_LeavesFolder(const std::string &name)
{
    return name.empty() || name == "." || name == ".." || name.find_first_of("\\/:") != std::string::npos;
}

}  // namespace selfextr
