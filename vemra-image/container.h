// Building image containers on the host: a 16-byte big-endian header
// (crc, length, magic, reserved) followed by the payload.
#ifndef VEMRA_IMAGE_CONTAINER_H
#define VEMRA_IMAGE_CONTAINER_H

#include <cstdint>
#include <vector>

void put_be32(uint8_t *p, uint32_t v);

// The whole container for `payload`, with a valid magic and checksum.
std::vector<uint8_t> make_image(const std::vector<uint8_t> &payload,
				uint32_t reserved = 0);

#endif
