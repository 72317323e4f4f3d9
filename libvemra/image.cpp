// SPDX-License-Identifier: MIT
#include "image.h"

#include "board_config.h"
#include "crc.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

// The checksum covers the header from this offset on, then the payload.
static const uint32_t CRC_START = 4;
static const uint32_t CRC_INIT = 0xFFFFFFFF;

const char IMAGES_DIR[] = BOARD_IMAGES_DIR;

const char *slot_path(int n)
{
	return n == 1 ? BOARD_SLOT1 : BOARD_SLOT2;
}

static uint32_t get_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

image_header decode_image_header(const uint8_t *raw)
{
	image_header h;

	h.crc = get_be32(raw);
	h.length = get_be32(raw + 4);
	h.magic = get_be32(raw + 8);
	h.reserved = get_be32(raw + 12);
	return h;
}

void encode_image_header(const image_header *h, uint8_t *raw)
{
	put_be32(raw, h->crc);
	put_be32(raw + 4, h->length);
	put_be32(raw + 8, h->magic);
	put_be32(raw + 12, h->reserved);
}

uint32_t image_size(const image_header *h)
{
	return h->length + IMAGE_HEADER_SIZE;
}

/* Sources */

static int64_t file_read(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count)
{
	size_t got;

	if (fseeko(src->file, (off_t)offset, SEEK_SET) != 0)
		return -1;
	got = fread(buf, 1, count, src->file);
	return ferror(src->file) ? -1 : (int64_t)got;
}

image_source file_source(FILE *f)
{
	image_source src = {};

	src.read = file_read;
	src.file = f;
	return src;
}

static int64_t fd_read(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count)
{
	uint32_t done = 0;

	while (done < count) {
		const ssize_t n = pread(src->fd, buf + done, count - done, (off_t)offset + done);

		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		if (n == 0)
			break;
		done += (uint32_t)n;
	}
	return (int64_t)done;
}

image_source fd_source(int fd)
{
	image_source src = {};

	src.read = fd_read;
	src.fd = fd;
	return src;
}

static int64_t memory_read(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count)
{
	if (offset >= src->end)
		return 0;
	if (count > src->end - offset)
		count = src->end - offset;
	memcpy(buf, src->bytes + offset, count);
	return (int64_t)count;
}

image_source memory_source(const uint8_t *bytes, uint32_t size)
{
	image_source src = {};

	src.read = memory_read;
	src.bytes = bytes;
	src.end = size;
	return src;
}

/* The check */

image_state image_check_header(const image_source *src, image_check *c)
{
	uint8_t raw[IMAGE_HEADER_SIZE] = {};
	const int64_t got = src->read(src, 0, raw, sizeof raw);

	*c = image_check{};
	if (got < 0)
		c->error = errno;
	if (got < (int64_t)sizeof raw) {
		c->have = got > 0 ? (uint32_t)got : 0;
		return c->state = IMAGE_SHORT_HEADER;
	}
	c->have = IMAGE_HEADER_SIZE;
	c->header = decode_image_header(raw);
	if (c->header.magic != IMAGE_MAGIC)
		return c->state = IMAGE_BAD_MAGIC;
	if (c->header.length > IMAGE_MAX_LENGTH)
		return c->state = IMAGE_BAD_LENGTH;
	return c->state = IMAGE_VALID;
}

// Folds the covered bytes of the piece at offset into the register.
static uint32_t fold(uint32_t reg, uint32_t offset, const uint8_t *piece, uint32_t count)
{
	const uint32_t skip = offset >= CRC_START ? 0 : CRC_START - offset;

	return count > skip ? gen_crc(piece + skip, count - skip, reg) : reg;
}

image_state image_check_body(const image_source *src, image_check *c, uint8_t *buf,
			     uint32_t size, const image_sink *sink)
{
	const uint32_t total = image_size(&c->header);
	uint32_t reg = CRC_INIT;

	c->have = 0;
	while (c->have < total) {
		const uint32_t want = total - c->have < size ? total - c->have : size;
		const int64_t got = src->read(src, c->have, buf, want);

		if (got < 0) {
			c->error = errno;
			return c->state = IMAGE_TRUNCATED;
		}
		reg = fold(reg, c->have, buf, (uint32_t)got);
		if (got > 0 && sink && !sink->put(sink, c->have, buf, (uint32_t)got)) {
			c->error = errno;
			c->stopped = true;
			return c->state = IMAGE_TRUNCATED;
		}
		c->have += (uint32_t)got;
		if ((uint32_t)got < want)
			return c->state = IMAGE_TRUNCATED;
	}
	c->computed_crc = reg;
	return c->state = reg == c->header.crc ? IMAGE_VALID : IMAGE_BAD_CRC;
}

image_state image_check_all(const image_source *src, image_check *c, uint8_t *buf,
			    uint32_t size, const image_sink *sink)
{
	if (image_check_header(src, c) != IMAGE_VALID)
		return c->state;
	return image_check_body(src, c, buf, size, sink);
}
