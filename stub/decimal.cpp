// decimal.cpp: the decimal rule, as the 32-bit run-time's atol reads.
#include "decimal.h"

int32_t Dec_Read(const char *s)
{
    const unsigned char *p = (const unsigned char *)s;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = false;
    if (*p == '-' || *p == '+')
        negative = (*p++ == '-');
    uint32_t value = 0;  // unsigned so that the wrap-around is defined
    while (*p >= '0' && *p <= '9')
        value = value * 10u + (uint32_t)(*p++ - '0');
    if (negative)
        value = 0u - value;
    return (int32_t)value;
}
