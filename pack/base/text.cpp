// text.cpp: text conversions and number formats shared by the package code.
#include "base/text.h"

#include <charconv>

namespace selfextr {

std::u16string Text_Utf16(const std::string &s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        uint32_t cp = 0xFFFD;
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        if (i + n <= s.size()) {
            cp = n == 1 ? c : c & (0x7F >> n);
            for (size_t k = 1; k < n; k++)
                cp = cp << 6 | (s[i + k] & 0x3F);
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::string Text_Utf8(const std::u16string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size())
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (cp < 0x80) out += char(cp);
        else if (cp < 0x800) { out += char(0xC0 | cp >> 6); out += char(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) { out += char(0xE0 | cp >> 12); out += char(0x80 | (cp >> 6 & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
        else { out += char(0xF0 | cp >> 18); out += char(0x80 | (cp >> 12 & 0x3F)); out += char(0x80 | (cp >> 6 & 0x3F)); out += char(0x80 | (cp & 0x3F)); }
    }
    return out;
}

size_t Text_AnsiBytes(const std::u16string &s)
{
    size_t n = 0;
    for (char16_t c : s)
        n += c < 0x80 ? 1 : 2;
    return n;
}

bool Text_Digits(const std::string &s, size_t from, size_t count, int &value)
{
    if (count == 0 || count > 9 || from + count > s.size())
        return false;
    for (size_t i = from; i < from + count; i++)
        if (s[i] < '0' || s[i] > '9')
            return false;
    auto r = std::from_chars(s.data() + from, s.data() + from + count, value);
    return r.ec == std::errc() && r.ptr == s.data() + from + count;
}

std::string Text_Thousands(uint64_t n)
{
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i != 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace selfextr
