// The container rules, written apart from the launcher: a table-driven
// CRC-32 (the launcher's is bitwise) and the header read byte by byte.
#ifndef FUZZ_CRC_MODEL_H
#define FUZZ_CRC_MODEL_H

#include <cstddef>
#include <cstdint>

inline uint32_t model_crc32(const uint8_t *p, size_t n)
{
	static uint32_t table[256];
	if (!table[1])
		for (uint32_t i = 0; i < 256; i++) {
			uint32_t c = i;
			for (int k = 0; k < 8; k++)
				c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
			table[i] = c;
		}
	uint32_t c = 0xFFFFFFFFu;
	while (n--)
		c = table[(c ^ *p++) & 0xFF] ^ (c >> 8);
	return ~c;
}

inline uint32_t model_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

enum model_verdict { M_BAD_HEADER, M_BAD_CRC, M_VALID };

// The verdict on the `size` bytes at image; *length is set once the
// header is good. An image that ends early fails the checksum.
inline model_verdict model_container(const uint8_t *image, size_t size, uint64_t *length)
{
	if (size < 16 || model_be32(image + 8) != 0x014F5249u)
		return M_BAD_HEADER;
	*length = model_be32(image + 4);
	if (*length + 16 > size)
		return M_BAD_CRC;
	// The container's checksum is the complement of the common CRC-32.
	return ~model_crc32(image + 4, *length + 12) == model_be32(image) ? M_VALID : M_BAD_CRC;
}

#endif
