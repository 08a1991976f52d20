// bytes.h: the little-endian fields and zero runs every layer of the decoder
// reads, defined once for all of them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace selfextr {

inline uint32_t Le16(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t Le32(const uint8_t *p) { return Le16(p) | Le16(p + 2) << 16; }
inline uint64_t Le64(const uint8_t *p) { return Le32(p) | uint64_t(Le32(p + 4)) << 32; }

inline bool AllZero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

}  // namespace selfextr
