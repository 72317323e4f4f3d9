#include "container.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

#include "crc.h"

static constexpr uint32_t CRC_INIT = 0xFFFFFFFFu;
static constexpr size_t CHUNK = 64 * 1024;

void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

// The header checks: size, magic, length. On success the checksum register
// holds the 12 covered header bytes and the payload comes next.
static bool check_header(const uint8_t *hdr, uint64_t have, image_check *c)
{
	*c = image_check{};
	c->verdict = IMAGE_BAD_HEADER;
	c->want = IMAGE_HEADER_SIZE;
	c->have = std::min<uint64_t>(have, IMAGE_HEADER_SIZE);
	if (have < IMAGE_HEADER_SIZE)
		return false;
	c->header = decode_image_header(hdr);
	if (c->header.magic != IMAGE_MAGIC)
		return false;
	if (c->header.length > IMAGE_MAX_LENGTH) {
		c->verdict = IMAGE_BAD_LENGTH;
		return false;
	}
	c->want = (uint64_t)c->header.length + IMAGE_HEADER_SIZE;
	c->computed_crc = gen_crc(hdr + IMAGE_CRC_START, IMAGE_HEADER_SIZE - IMAGE_CRC_START,
				  CRC_INIT);
	return true;
}

static bool starts_like_gzip(const uint8_t *payload, uint64_t n)
{
	return n >= 2 && payload[0] == 0x1F && payload[1] == 0x8B;
}

static void finish(image_check *c)
{
	if (c->have < c->want)
		c->verdict = IMAGE_TRUNCATED;
	else if (c->computed_crc != c->header.crc)
		c->verdict = IMAGE_BAD_CRC;
	else
		c->verdict = IMAGE_VALID;
}

ssize_t read_full(int fd, uint8_t *buf, size_t n)
{
	size_t got = 0;

	while (got < n) {
		ssize_t r = read(fd, buf + got, n - got);

		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			break;
		got += (size_t)r;
	}
	return (ssize_t)got;
}

bool write_full(int fd, const uint8_t *buf, size_t n)
{
	while (n > 0) {
		ssize_t w = write(fd, buf, n);

		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0)
			return false;
		buf += w;
		n -= (size_t)w;
	}
	return true;
}

image_io check_image_fd(int fd, int payload_fd, image_check *out)
{
	uint8_t buf[CHUNK];
	uint8_t hdr[IMAGE_HEADER_SIZE];
	ssize_t got = read_full(fd, hdr, sizeof(hdr));

	if (got < 0)
		return IMAGE_IO_READ_ERROR;
	if (!check_header(hdr, (uint64_t)got, out))
		return IMAGE_IO_OK;

	uint64_t left = out->header.length;
	bool first = true;

	while (left > 0) {
		const size_t want = (size_t)std::min<uint64_t>(left, sizeof(buf));

		got = read_full(fd, buf, want);
		if (got < 0)
			return IMAGE_IO_READ_ERROR;
		if (first)
			out->gzip = starts_like_gzip(buf, (uint64_t)got);
		first = false;
		out->computed_crc = gen_crc(buf, (uint32_t)got, out->computed_crc);
		if (payload_fd != -1 && !write_full(payload_fd, buf, (size_t)got))
			return IMAGE_IO_WRITE_ERROR;
		out->have += (uint64_t)got;
		left -= (uint64_t)got;
		if ((size_t)got < want)
			break;
	}
	finish(out);
	return IMAGE_IO_OK;
}
