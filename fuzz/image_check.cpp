// SPDX-License-Identifier: MIT
// The shared image check (libvemra/image.cpp) on any bytes, read through
// pieces of any size. Input: byte 0 picks the piece size (1 to 256 bytes),
// the rest is the file or partition. Beyond what the sanitizers catch:
//  - the verdict, the header and the computed checksum do not depend on
//    the piece size: the same as with the whole image in one piece;
//  - the pieces come in order, one after the other from offset 0, none
//    larger than asked, nothing read past length + 16 bytes;
//  - a valid image is length + 16 bytes whose bytes from 4 on give its crc;
//  - a length whose image would not fit 32 bits is refused as such.
#include "crc.h"
#include "image.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#define CHECK(ok) ((ok) ? (void)0 : abort())

struct seen {
	uint32_t next, piece;
};

static bool in_order(const image_sink *sink, uint32_t offset, const uint8_t *, uint32_t count)
{
	seen *s = static_cast<seen *>(sink->ctx);

	CHECK(offset == s->next && count > 0 && count <= s->piece);
	s->next += count;
	return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size > (1u << 20))
		return 0;
	const uint32_t piece = data[0] + 1u, n = static_cast<uint32_t>(size - 1);
	const image_source src = memory_source(data + 1, n);
	std::vector<uint8_t> small(piece), whole(n > 16 ? n : 16);
	seen order = { 0, piece };
	const image_sink sink = { in_order, &order };
	image_check a, b;

	image_check_all(&src, &a, small.data(), piece, &sink);
	image_check_all(&src, &b, whole.data(), static_cast<uint32_t>(whole.size()), nullptr);
	CHECK(a.state == b.state && memcmp(&a.header, &b.header, sizeof a.header) == 0 && a.have == b.have);
	CHECK(a.state < IMAGE_BAD_CRC || a.computed_crc == b.computed_crc);
	CHECK(a.have <= n && (a.state <= IMAGE_BAD_LENGTH || order.next == a.have));
	CHECK((a.state == IMAGE_BAD_LENGTH) == (n >= 16 && a.header.magic == IMAGE_MAGIC &&
						a.header.length > IMAGE_MAX_LENGTH));
	if (a.state == IMAGE_VALID)
		CHECK(a.have == a.header.length + 16 &&
		      gen_crc(data + 1 + 4, a.have - 4, 0xFFFFFFFF) == a.header.crc);
	return 0;
}
