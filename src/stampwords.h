// stampwords.h: the package stamp as FAT date and time words.
#pragma once
#include <stdint.h>

enum { kStampTextBytes = 260 };

// Each reads its fields at fixed positions of a 260-byte buffer holding the
// string, writing terminators into it; values are masked, never range-checked.
uint16_t Stamp_TimeWord(char text[kStampTextBytes]);
uint16_t Stamp_DateWord(char text[kStampTextBytes]);
