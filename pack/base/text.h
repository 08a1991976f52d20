// text.h: UTF-8 and UTF-16, the bytes a text takes in an ANSI code page, digits and thousands.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace selfextr {

std::u16string Text_Utf16(const std::string &s);
std::string Text_Utf8(const std::u16string &s);
// Bytes the text may take in the target's ANSI code page: a non-ASCII
// character may take two in a double-byte code page.
size_t Text_AnsiBytes(const std::u16string &s);
// Exactly count decimal digits of s from from: no sign, no blank.
bool Text_Digits(const std::string &s, size_t from, size_t count, int &value);
// 1000000000 as "1,000,000,000".
std::string Text_Thousands(uint64_t n);

}  // namespace selfextr
