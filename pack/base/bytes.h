// bytes.h: little-endian fields read from and written into byte buffers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace selfextr {

inline uint16_t Bytes_Le16(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
inline uint32_t Bytes_Le32(std::span<const uint8_t> b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline void Bytes_Set16(std::vector<uint8_t> &b, size_t at, uint32_t v) { b[at] = uint8_t(v); b[at + 1] = uint8_t(v >> 8); }
inline void Bytes_Set32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = uint8_t(v >> (8 * i));
}
inline void Bytes_Push16(std::vector<uint8_t> &b, uint32_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
inline void Bytes_Push32(std::vector<uint8_t> &b, uint32_t v) { Bytes_Push16(b, v & 0xFFFF); Bytes_Push16(b, v >> 16); }
inline void Bytes_Pad4(std::vector<uint8_t> &b) { while (b.size() % 4) b.push_back(0); }

}  // namespace selfextr
