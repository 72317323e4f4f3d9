// Checksum of the image container: reflected CRC-32 (polynomial 0xEDB88320)
// computed bit by bit, without a final inversion (CRC-32/JAMCRC when the
// register starts at 0xFFFFFFFF).
#ifndef LIBVEMRA_CRC_H
#define LIBVEMRA_CRC_H

#include <cstdint>

uint32_t gen_crc(const uint8_t *data, uint32_t count, uint32_t initial);

#endif
