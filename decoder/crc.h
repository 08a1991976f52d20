// crc.h: the CRC32 and CRC64 of the .xz format (reflected, polynomials 0xEDB88320 and 0xC96C5795D7870F42).
#ifndef SELFEXTR_DECODER_CRC_H
#define SELFEXTR_DECODER_CRC_H

#include <stddef.h>
#include <stdint.h>

namespace selfextr {

// Fills the tables; Xz_Scan, Xz_Open and XzBlock_Open call it. Call it (or
// Xz_Scan) once before blocks are decoded on several threads.
void Crc_Init(void);
// Both continue a running value: start from 0, pass the previous result for the next piece.
// Both read the tables through what Crc_Init sets: call it first.
uint32_t Crc32_Update(uint32_t crc, const uint8_t *data, size_t size);
uint64_t Crc64_Update(uint64_t crc, const uint8_t *data, size_t size);

} // namespace selfextr

#endif
