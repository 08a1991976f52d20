// crt.cpp: what GCC may call for struct copies and zeroing in a program without a C run-time.
#include <stddef.h>

extern "C" void *memset(void *dst, int c, size_t n)
{
    unsigned char *d = (unsigned char *)dst;
    while (n-- != 0)
        *d++ = (unsigned char)c;
    return dst;
}

extern "C" void *memcpy(void *dst, const void *src, size_t n)
{
    unsigned char *d = (unsigned char *)dst;
    const unsigned char *s = (const unsigned char *)src;
    while (n-- != 0)
        *d++ = *s++;
    return dst;
}
