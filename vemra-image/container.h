// Image containers on the host: a 16-byte big-endian header (crc, length,
// magic, reserved) followed by the payload, checked by the rules the
// launcher applies before it boots an image.
#ifndef VEMRA_IMAGE_CONTAINER_H
#define VEMRA_IMAGE_CONTAINER_H

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

#include "image.h"

void put_be32(uint8_t *p, uint32_t v);

// The largest payload: the launcher holds length + 16 bytes in a 32-bit
// count, so a longer payload could never be booted.
constexpr uint32_t IMAGE_MAX_LENGTH = UINT32_MAX - IMAGE_HEADER_SIZE;

// Outcome of the checks, in the order they are made.
enum image_verdict {
	IMAGE_BAD_HEADER,  // fewer than 16 bytes, or magic not IMAGE_MAGIC
	IMAGE_BAD_LENGTH,  // length above IMAGE_MAX_LENGTH
	IMAGE_TRUNCATED,   // fewer than length + 16 bytes
	IMAGE_BAD_CRC,     // checksum mismatch
	IMAGE_VALID,       // the launcher boots it
};

struct image_check {
	image_verdict verdict;
	image_header header;   // meaningful once 16 bytes were there
	uint64_t have;         // bytes of the image that were there (at most want)
	uint64_t want;         // bytes the image needs: 16, then length + 16
	uint32_t computed_crc; // meaningful for IMAGE_VALID and IMAGE_BAD_CRC
	bool gzip;             // payload starts with the gzip bytes 1f 8b
};

enum image_io {
	IMAGE_IO_OK,
	IMAGE_IO_READ_ERROR,  // reading `fd` failed, errno tells why
	IMAGE_IO_WRITE_ERROR, // writing `payload_fd` failed, errno tells why
};

// Checks the image read from `fd` (from its current position) in bounded
// chunks, so that memory use does not depend on length; bytes after
// length + 16 are ignored, as the launcher ignores them. When payload_fd
// is not -1 the payload bytes read are also written there; they are only
// the payload when the verdict is IMAGE_VALID.
image_io check_image_fd(int fd, int payload_fd, image_check *out);

// Whole-buffer I/O over short transfers and EINTR. read_full returns the
// bytes read, fewer than n only at end of file, or -1; write_full false on
// an error.
ssize_t read_full(int fd, uint8_t *buf, size_t n);
bool write_full(int fd, const uint8_t *buf, size_t n);

#endif
