// sha256.h: SHA-256 (FIPS 180-4), for telling files with the same bytes
// apart from those that only share a size before their bytes are compared.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace selfextr {

struct Sha256 {
    uint32_t state[8];
    uint64_t length = 0;  // bytes taken so far
    uint8_t block[64];
    size_t fill = 0;
};

void Sha256_Init(Sha256 &s);
void Sha256_Update(Sha256 &s, const uint8_t *p, size_t n);
std::array<uint8_t, 32> Sha256_Finish(Sha256 &s);

}  // namespace selfextr
