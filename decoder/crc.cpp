// crc.cpp: table-driven CRC32 and CRC64, eight bytes a step.
#include "crc.h"
#include "bytes.h"

namespace selfextr {
namespace {

constexpr uint32_t kCrc32Poly = 0xEDB88320u;
constexpr uint64_t kCrc64Poly = 0xC96C5795D7870F42ull;

// Row k maps a byte to its contribution k bytes further on, so eight rows
// fold eight input bytes in one step. Filled by Crc_Init, not at compile
// time: 24 KiB of tables in the image would be most of the runner's size.
template <typename T> struct CrcTables {
    T row[8][256];
};

CrcTables<uint32_t> kCrc32;
CrcTables<uint64_t> kCrc64;
// The tables as the updates read them, set once both are filled: through a
// pointer, each lookup is a register and an offset, not an absolute address
// (which in a 32-bit Windows program also costs a base relocation).
const CrcTables<uint32_t> *g_crc32;
const CrcTables<uint64_t> *g_crc64;

} // namespace

// Both tables in one pass: the loops, written once, cost less code than two.
void Crc_Init(void)
{
    if (g_crc64 != nullptr)
        return;
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        uint64_t d = i;
        for (int b = 0; b < 8; b++) {
            c = (c & 1) ? (c >> 1) ^ kCrc32Poly : c >> 1;
            d = (d & 1) ? (d >> 1) ^ kCrc64Poly : d >> 1;
        }
        kCrc32.row[0][i] = c;
        kCrc64.row[0][i] = d;
    }
    for (int k = 1; k < 8; k++)
        for (uint32_t i = 0; i < 256; i++) {
            kCrc32.row[k][i] = (kCrc32.row[k - 1][i] >> 8) ^ kCrc32.row[0][kCrc32.row[k - 1][i] & 0xFF];
            kCrc64.row[k][i] = (kCrc64.row[k - 1][i] >> 8) ^ kCrc64.row[0][kCrc64.row[k - 1][i] & 0xFF];
        }
    g_crc32 = &kCrc32;
    g_crc64 = &kCrc64;
}

uint32_t Crc32_Update(uint32_t crc, const uint8_t *p, size_t size)
{
    const auto &t = g_crc32->row;
    crc = ~crc;
    for (; size >= 8; p += 8, size -= 8) {
        uint32_t a = crc ^ Le32(p), b = Le32(p + 4);
        crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
              t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    }
    for (; size; p++, size--)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint64_t Crc64_Update(uint64_t crc, const uint8_t *p, size_t size)
{
    const auto &t = g_crc64->row;
    crc = ~crc;
    for (; size >= 8; p += 8, size -= 8) {
        uint32_t a = (uint32_t)crc ^ Le32(p), b = (uint32_t)(crc >> 32) ^ Le32(p + 4);
        crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
              t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    }
    for (; size; p++, size--)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

} // namespace selfextr
