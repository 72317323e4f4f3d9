// SPDX-License-Identifier: MIT
// The image source over a flash partition: the board API's reads. In an
// object of its own, so that what does not read the flash (the host tool)
// does not link the board layer.
#include "image.h"

#include "board_api.h"

#include <cerrno>

static int64_t flash_read(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count)
{
	if (offset >= src->end)
		return 0;
	if (count > src->end - offset)
		count = src->end - offset;
	if (api_flash_read(buf, src->fd, offset, count) != 0) {
		errno = EIO;
		return -1;
	}
	return (int64_t)count;
}

image_source flash_source(int fd, uint32_t end)
{
	image_source src = {};

	src.read = flash_read;
	src.fd = fd;
	src.end = end;
	return src;
}
