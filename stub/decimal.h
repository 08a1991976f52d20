// decimal.h: the one reader of every number in a package string.
#pragma once
#include <stdint.h>

// Skips blank, tab, LF, VT, FF and CR, takes an optional sign and the digits
// up to the first non-digit, wrapping modulo 2^32; no digits give 0.
int32_t Dec_Read(const char *s);
