// SPDX-License-Identifier: MIT
// The image container and where the board keeps its images.
//
// A container is a 16-byte header of four big-endian 32-bit words (crc,
// length, magic, reserved) followed by `length` bytes of payload, a
// gzip-compressed tar archive. crc is the JAMCRC (gen_crc from
// 0xFFFFFFFF, no final inversion) of header bytes 4 to 15 and the
// payload. Nothing after 16 + length bytes belongs to the image.
#ifndef LIBVEMRA_IMAGE_H
#define LIBVEMRA_IMAGE_H

#include <cstdint>
#include <cstdio>

struct image_header {
	uint32_t crc;      // JAMCRC of bytes 4 .. 16 + length - 1
	uint32_t length;   // payload bytes after the header
	uint32_t magic;    // IMAGE_MAGIC
	uint32_t reserved; // not interpreted, covered by crc
};

constexpr uint32_t IMAGE_MAGIC = 0x014F5249;
constexpr uint32_t IMAGE_HEADER_SIZE = 16;
// The largest length whose image, length + 16 bytes, a 32-bit count holds.
constexpr uint32_t IMAGE_MAX_LENGTH = UINT32_MAX - IMAGE_HEADER_SIZE;

// Image numbers: 1 and 2 are the slots; the recovery image on the rescue
// partition is 4 in the booted-image record (VPD byte 58).
constexpr uint8_t RECOVERY_IMAGE = 4;
extern const char IMAGES_DIR[]; // BOARD_IMAGES_DIR, the slots' directory
// "/user/images/image1" for 1, "/user/images/image2" for any other n.
const char *slot_path(int n);

image_header decode_image_header(const uint8_t *raw);
void encode_image_header(const image_header *h, uint8_t *raw);
// length + 16; only meaningful for length <= IMAGE_MAX_LENGTH.
uint32_t image_size(const image_header *h);

// Where an image is read from. read() puts up to count bytes from offset
// of the image into buf and returns how many it put there, fewer only
// where the file or partition ends; -1 with errno on a read error.
struct image_source {
	int64_t (*read)(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count);
	FILE *file;           // file_source
	int fd;               // fd_source, flash_source
	uint32_t end;         // flash_source: the partition's size; memory_source: the size
	const uint8_t *bytes; // memory_source
};

// A stdio stream, read from its start whatever its position.
image_source file_source(FILE *f);
// A descriptor, read with pread (short reads and EINTR taken care of).
image_source fd_source(int fd);
// Bytes held in memory, size of them.
image_source memory_source(const uint8_t *bytes, uint32_t size);
// A flash partition through api_flash_read(), which needs
// api_flash_init() first. Reads stop at end (UINT32_MAX: the partition
// decides; a short read then goes unnoticed, as the board API reports it).
image_source flash_source(int fd, uint32_t end);

// Outcomes, in the order of the checks. The launcher takes the first two
// as an invalid header and the others but IMAGE_VALID as a checksum
// failure.
enum image_state {
	IMAGE_SHORT_HEADER, // fewer than 16 bytes could be read
	IMAGE_BAD_MAGIC,    // magic is not IMAGE_MAGIC
	IMAGE_BAD_LENGTH,   // length above IMAGE_MAX_LENGTH
	IMAGE_TRUNCATED,    // fewer than length + 16 bytes could be read
	IMAGE_BAD_CRC,      // the checksum does not match
	IMAGE_VALID,        // the launcher boots it
};

struct image_check {
	image_state state;
	image_header header;   // decoded once 16 bytes were read
	uint32_t have;         // bytes of the image read
	uint32_t computed_crc; // for IMAGE_BAD_CRC and IMAGE_VALID
	int error;             // errno of a failed read, 0 when the image just ended
	bool stopped;          // the sink refused a piece (its errno kept)
};

static inline bool image_header_invalid(image_state s)
{
	return s <= IMAGE_BAD_MAGIC;
}

// Receives each piece of the image as it is read and checked.
struct image_sink {
	bool (*put)(const image_sink *sink, uint32_t offset, const uint8_t *piece, uint32_t count);
	void *ctx;
};

// The header: reads bytes 0 to 15 and checks magic and length.
// IMAGE_VALID means that the rest is to be read with image_check_body().
image_state image_check_header(const image_source *src, image_check *c);
// The whole image, header included, from offset 0 through buf in pieces
// of at most size bytes (one request when size is the image's size, which
// then stays in buf), each piece handed to sink when there is one; then
// the checksum, with crc and length as the header step read them.
image_state image_check_body(const image_source *src, image_check *c, uint8_t *buf,
			     uint32_t size, const image_sink *sink);
// Both steps.
image_state image_check_all(const image_source *src, image_check *c, uint8_t *buf,
			    uint32_t size, const image_sink *sink);

#endif
