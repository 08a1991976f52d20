// percent.h: the percentage shown by the meter.
#pragma once
#include <stdint.h>

// written * 100 / total, truncated. Equal to the 32-bit product rule whenever
// written * 100 fits in 32 bits; larger packages do not wrap, and a total of 0
// reads as complete.
uint32_t Percent_Done(uint32_t written, uint32_t total);
