// unicode.h: the Unicode properties a payload name is judged by: whether it is
// composed (NFC), how it folds case, and which characters nobody sees.
// Portable C++, nothing allocated; the tables are made by scripts/gen-unicode-tables.
#pragma once
#include <stdint.h>

namespace selfextr {

// Whether text (code points) is exactly in Normalization Form C.
bool Unicode_IsNfc(const uint32_t *text, uint32_t count);

// The simple case folding of one code point (CaseFolding.txt statuses C and S).
uint32_t Unicode_Fold(uint32_t c);

// General category Cf, Zl or Zp: characters nobody sees.
bool Unicode_IsInvisible(uint32_t c);

}  // namespace selfextr
