// percent.cpp: no wrap past 42,949,672 bytes, no division by zero.
#include "percent.h"

uint32_t Percent_Done(uint32_t written, uint32_t total)
{
    if (total == 0)
        return 100;
    if (written <= 0xFFFFFFFFu / 100u)
        return written * 100u / total;
    // Long form of written * 100 / total without a 64-bit division:
    // 100 * (w / t) + (100 * (w % t)) / t, the remainder part done in steps.
    uint32_t whole = written / total;
    uint32_t rest = written % total;
    uint32_t fraction = 0;
    uint32_t carry = 0;
    for (int i = 0; i < 100; i++) {
        // carry accumulates 100 * rest modulo total without overflowing.
        if (carry >= total - rest) {
            carry -= total - rest;
            fraction++;
        } else {
            carry += rest;
        }
    }
    return whole * 100u + fraction;
}
