// SPDX-License-Identifier: MIT
#include "check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "io.h"

std::string reason(const image_check &c)
{
	char s[128];

	switch (c.state) {
	case IMAGE_SHORT_HEADER:
		snprintf(s, sizeof(s), "invalid header: %u of %u bytes", c.have, IMAGE_HEADER_SIZE);
		break;
	case IMAGE_BAD_MAGIC:
		snprintf(s, sizeof(s), "invalid header: magic 0x%08X, expected 0x%08X", c.header.magic,
			 IMAGE_MAGIC);
		break;
	case IMAGE_BAD_LENGTH:
		snprintf(s, sizeof(s), "invalid length: %u bytes, at most %u", c.header.length,
			 IMAGE_MAX_LENGTH);
		break;
	case IMAGE_TRUNCATED:
		snprintf(s, sizeof(s), "truncated: %u of %u bytes", c.have, image_size(&c.header));
		break;
	case IMAGE_BAD_CRC:
		snprintf(s, sizeof(s), "checksum mismatch: crc 0x%08X, computed 0x%08X",
			 c.header.crc, c.computed_crc);
		break;
	case IMAGE_VALID:
		snprintf(s, sizeof(s), "valid");
		break;
	}
	return s;
}

static bool put_payload(const image_sink *sink, uint32_t offset, const uint8_t *piece,
			uint32_t count)
{
	payload_sink *p = (payload_sink *)sink->ctx;
	const uint32_t skip = offset < IMAGE_HEADER_SIZE ? IMAGE_HEADER_SIZE - offset : 0;

	if (count <= skip)
		return true;
	piece += skip;
	count -= skip;

	// Payload offset of piece[0]; the pieces come in order.
	const uint32_t at = offset + skip - IMAGE_HEADER_SIZE;

	for (uint32_t i = 0; i < count && at + i < sizeof(p->lead); i++) {
		p->lead[at + i] = piece[i];
		p->lead_have = at + i + 1;
	}
	return p->out == -1 || write_full(p->out, piece, count);
}

// An image file is read once, front to back, so that a pipe reads as a
// file does. The check reads the header, then the image again from its
// start: the header's bytes are kept for that second look, every other
// byte is read once, in order, and nothing after the image is read.
static uint8_t stream_head[IMAGE_HEADER_SIZE];
static uint32_t stream_taken; // bytes taken from the file so far (one file a run)

static int64_t stream_read(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count)
{
	const uint32_t kept = std::min(stream_taken, IMAGE_HEADER_SIZE);
	const uint32_t again = offset < kept ? std::min(kept - offset, count) : 0;

	if (offset + again != stream_taken) { // never asked: only the header is read twice
		errno = ESPIPE;
		return -1;
	}
	if (again)
		memcpy(buf, stream_head + offset, again);
	const ssize_t got = read_full(src->fd, buf + again, count - again);

	if (got < 0)
		return -1;
	for (uint32_t i = 0; i < (uint32_t)got && stream_taken + i < IMAGE_HEADER_SIZE; i++)
		stream_head[stream_taken + i] = buf[again + i];
	stream_taken += (uint32_t)got;
	return again + got;
}

bool check_source(const image_source *src, const char *path, payload_sink *p,
		  const char *payload_name, image_check *c)
{
	uint8_t buf[CHUNK];
	const image_sink sink = { put_payload, p };

	image_check_all(src, c, buf, sizeof(buf), &sink);
	if (c->stopped)
		error("%s: %s", payload_name, strerror(c->error));
	else if (c->error)
		error("%s: %s", path, strerror(c->error));
	return !c->stopped && !c->error;
}

bool check_file(const char *path, payload_sink *p, const char *payload_name, image_check *c)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);

	if (fd < 0) {
		error("%s: %s", path, strerror(errno));
		return false;
	}
	image_source src = {};

	src.read = stream_read;
	src.fd = fd;
	const bool ok = check_source(&src, path, p, payload_name, c);

	close(fd);
	return ok;
}

bool read_file(const char *path, std::vector<uint8_t> *data, size_t max)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	uint8_t buf[CHUNK];
	ssize_t got = 0;

	while (fd >= 0 && (got = read_full(fd, buf, sizeof(buf))) > 0 && data->size() <= max)
		data->insert(data->end(), buf, buf + got);
	if (data->size() > max) {
		close(fd);
		errno = EFBIG;
		return false;
	}
	if (fd >= 0) {
		const int err = errno;

		close(fd);
		errno = err;
	}
	return fd >= 0 && got == 0;
}

