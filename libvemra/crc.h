// SPDX-License-Identifier: MIT
// Checksums: the image container's reflected CRC-32 (polynomial
// 0xEDB88320) computed bit by bit, without a final inversion (CRC-32/JAMCRC
// when the register starts at 0xFFFFFFFF), and the common CRC-32 of the
// boot loader's environment.
#ifndef LIBVEMRA_CRC_H
#define LIBVEMRA_CRC_H

#include <cstdint>

uint32_t gen_crc(const uint8_t *data, uint32_t count, uint32_t initial);

// The common CRC-32 (IEEE 802.3, as zlib and U-Boot's environment use it):
// gen_crc from 0xFFFFFFFF, inverted at the end. The container's JAMCRC is
// its complement; the two are never interchangeable.
uint32_t crc32_common(const uint8_t *data, uint32_t count);

#endif
