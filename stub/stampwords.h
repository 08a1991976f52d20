// stampwords.h: the package stamp as FAT date and time words.
#pragma once
#include <stdint.h>

#include "sizes.h"

// Each reads its fields at fixed positions of a kTextBytes buffer holding the
// string, writing terminators into it; values are masked, never range-checked.
uint16_t Stamp_TimeWord(char text[kTextBytes]);
uint16_t Stamp_DateWord(char text[kTextBytes]);
