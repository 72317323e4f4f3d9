#include "container.h"

#include <algorithm>

#include "crc.h"
#include "image.h"

void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

std::vector<uint8_t> make_image(const std::vector<uint8_t> &payload, uint32_t reserved)
{
	std::vector<uint8_t> img(IMAGE_HEADER_SIZE + payload.size());

	put_be32(&img[4], (uint32_t)payload.size());
	put_be32(&img[8], IMAGE_MAGIC);
	put_be32(&img[12], reserved);
	std::copy(payload.begin(), payload.end(), img.begin() + IMAGE_HEADER_SIZE);
	put_be32(&img[0], gen_crc(&img[IMAGE_CRC_START], (uint32_t)(img.size() - IMAGE_CRC_START),
				  0xFFFFFFFFu));
	return img;
}
