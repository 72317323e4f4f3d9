// The image container: a 16-byte header of four big-endian 32-bit words
// followed by `length` bytes of payload (a gzip-compressed tar archive).
#ifndef LAUNCHER_IMAGE_H
#define LAUNCHER_IMAGE_H

#include <cstddef>
#include <cstdint>

struct image_header {
	uint32_t crc;      // JAMCRC of bytes 4 .. 16 + length - 1
	uint32_t length;   // payload bytes after the header
	uint32_t magic;    // IMAGE_MAGIC
	uint32_t reserved; // not interpreted, covered by crc
};

constexpr uint32_t IMAGE_MAGIC = 0x014F5249;
constexpr size_t IMAGE_HEADER_SIZE = 16;
// The checksum covers the header from this offset on, then the payload.
constexpr size_t IMAGE_CRC_START = 4;

static inline uint32_t get_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 |
	       (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

// Decodes the 16 on-flash header bytes into host order.
static inline image_header decode_image_header(const uint8_t *bytes)
{
	image_header h;

	h.crc = get_be32(bytes);
	h.length = get_be32(bytes + 4);
	h.magic = get_be32(bytes + 8);
	h.reserved = get_be32(bytes + 12);
	return h;
}

#endif
