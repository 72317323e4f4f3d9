// The container rules, in memory and streamed from a file, against bytes
// built here and checksums computed independently with Python's zlib
// (zlib.crc32(data) ^ 0xFFFFFFFF).
#include "container.h"
#include "crc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

typedef std::vector<uint8_t> bytes;

// 1f 8b " payload", reserved 0xA5A5A5A5: crc 0x1D4656D0; the common
// CRC-32 of the same covered bytes is 0xE2B9A92F.
const bytes PAYLOAD = { 0x1F, 0x8B, ' ', 'p', 'a', 'y', 'l', 'o', 'a', 'd' };
const uint32_t RESERVED = 0xA5A5A5A5u;

bytes good()
{
	return make_image(PAYLOAD, RESERVED);
}

bytes with_word(bytes img, size_t off, uint32_t v)
{
	put_be32(&img[off], v);
	return img;
}

bytes with_byte(bytes img, size_t off, uint8_t v)
{
	img[off] = v;
	return img;
}

bytes cut(bytes img, size_t n)
{
	img.resize(n);
	return img;
}

bytes little_endian_magic()
{
	bytes img = good();
	const uint8_t le[4] = { 0x49, 0x52, 0x4F, 0x01 };

	std::copy(le, le + 4, img.begin() + 8);
	// A matching checksum, so that only the byte order is wrong.
	bytes covered(img.begin() + 4, img.end());
	put_be32(&img[0], gen_crc(covered.data(), (uint32_t)covered.size(), 0xFFFFFFFFu));
	return img;
}

bytes padded(bytes img, size_t n, uint8_t fill)
{
	img.resize(img.size() + n, fill);
	return img;
}

// Reads `img` through a file, as the tool does.
image_check check_through_file(const bytes &img, bytes *payload)
{
	FILE *in = tmpfile();
	FILE *out = tmpfile();
	image_check c;

	EXPECT_TRUE(in && out);
	if (!img.empty()) {
		EXPECT_EQ(fwrite(img.data(), 1, img.size(), in), img.size());
	}
	fflush(in);
	rewind(in);
	EXPECT_EQ(check_image_fd(fileno(in), fileno(out), &c), IMAGE_IO_OK);
	payload->resize((size_t)lseek(fileno(out), 0, SEEK_END));
	EXPECT_EQ(pread(fileno(out), payload->data(), payload->size(), 0),
		  (ssize_t)payload->size());
	fclose(in);
	fclose(out);
	return c;
}

struct container_case {
	const char *name;
	bytes img;
	image_verdict verdict;
	uint64_t have;
	uint64_t want;
};

TEST(Container, VerdictsInMemoryAndFromFile)
{
	const container_case cases[] = {
		{ "valid", good(), IMAGE_VALID, 26, 26 },
		{ "length 0, crc over the 12 header bytes alone",
		  { 0xEE, 0x66, 0xAF, 0x5A, 0, 0, 0, 0, 0x01, 0x4F, 0x52, 0x49, 0, 0, 0, 0 },
		  IMAGE_VALID, 16, 16 },
		{ "trailing erased flash ignored", padded(good(), 4096, 0xFF), IMAGE_VALID, 26, 26 },
		{ "empty", {}, IMAGE_BAD_HEADER, 0, 16 },
		{ "15 bytes", cut(good(), 15), IMAGE_BAD_HEADER, 15, 16 },
		{ "little-endian magic", little_endian_magic(), IMAGE_BAD_HEADER, 16, 16 },
		{ "magic checked before length", cut(little_endian_magic(), 20), IMAGE_BAD_HEADER,
		  16, 16 },
		{ "common CRC-32 in crc", with_word(good(), 0, 0xE2B9A92Fu), IMAGE_BAD_CRC, 26, 26 },
		{ "crc byte changed", with_byte(good(), 3, 0xD1), IMAGE_BAD_CRC, 26, 26 },
		{ "reserved byte 12 changed", with_byte(good(), 12, 0xA4), IMAGE_BAD_CRC, 26, 26 },
		{ "reserved byte 13 changed", with_byte(good(), 13, 0x25), IMAGE_BAD_CRC, 26, 26 },
		{ "reserved byte 14 changed", with_byte(good(), 14, 0xA5 ^ 0x80), IMAGE_BAD_CRC, 26,
		  26 },
		{ "reserved byte 15 changed", with_byte(good(), 15, 0xA7), IMAGE_BAD_CRC, 26, 26 },
		{ "last payload byte changed", with_byte(good(), 25, 'D'), IMAGE_BAD_CRC, 26, 26 },
		{ "length one short", with_word(good(), 4, 9), IMAGE_BAD_CRC, 25, 25 },
		{ "one byte short of length + 16", cut(good(), 25), IMAGE_TRUNCATED, 25, 26 },
		{ "length one long", with_word(good(), 4, 11), IMAGE_TRUNCATED, 26, 27 },
		{ "header alone", cut(good(), 16), IMAGE_TRUNCATED, 16, 26 },
		{ "largest length, header alone", cut(with_word(good(), 4, 0xFFFFFFEFu), 16),
		  IMAGE_TRUNCATED, 16, 0xFFFFFFFFu },
		{ "length + 16 wraps 32 bits", with_word(good(), 4, 0xFFFFFFF0u), IMAGE_BAD_LENGTH,
		  16, 16 },
		{ "length 0xFFFFFFFF", with_word(good(), 4, 0xFFFFFFFFu), IMAGE_BAD_LENGTH, 16, 16 },
	};

	for (const container_case &k : cases) {
		const image_check m = check_image(k.img.data(), k.img.size());
		bytes payload;
		const image_check f = check_through_file(k.img, &payload);

		EXPECT_EQ(m.verdict, k.verdict) << k.name;
		EXPECT_EQ(m.have, k.have) << k.name;
		EXPECT_EQ(m.want, k.want) << k.name;
		EXPECT_EQ(f.verdict, k.verdict) << k.name << " (file)";
		EXPECT_EQ(f.have, k.have) << k.name << " (file)";
		EXPECT_EQ(f.want, k.want) << k.name << " (file)";
		if (k.verdict == IMAGE_VALID) {
			EXPECT_EQ(payload, bytes(k.img.begin() + 16, k.img.begin() + (long)k.want))
				<< k.name;
		}
	}
}

TEST(Container, MakeImageMatchesIndependentChecksum)
{
	const bytes img = good();
	const bytes header = { 0x1D, 0x46, 0x56, 0xD0, 0x00, 0x00, 0x00, 0x0A,
			       0x01, 0x4F, 0x52, 0x49, 0xA5, 0xA5, 0xA5, 0xA5 };

	ASSERT_EQ(img.size(), 26u);
	EXPECT_EQ(bytes(img.begin(), img.begin() + 16), header);
	EXPECT_EQ(bytes(img.begin() + 16, img.end()), PAYLOAD);
	EXPECT_EQ(make_image({}), bytes({ 0xEE, 0x66, 0xAF, 0x5A, 0, 0, 0, 0, 0x01, 0x4F, 0x52,
					  0x49, 0, 0, 0, 0 }));
}

TEST(Container, StreamsAcrossChunks)
{
	bytes payload(200000);

	for (size_t i = 0; i < payload.size(); i++)
		payload[i] = (uint8_t)(i * 131 + (i >> 9));
	const bytes img = make_image(payload);
	bytes copied;

	EXPECT_EQ(check_through_file(img, &copied).verdict, IMAGE_VALID);
	EXPECT_EQ(copied, payload);
	EXPECT_EQ(check_through_file(with_byte(img, img.size() - 1, 0), &copied).verdict,
		  IMAGE_BAD_CRC);
	EXPECT_EQ(check_through_file(with_byte(img, 16 + 65536, 0), &copied).verdict,
		  IMAGE_BAD_CRC);
	EXPECT_EQ(check_through_file(cut(img, 16 + 65536), &copied).verdict, IMAGE_TRUNCATED);
}

TEST(Container, GzipStart)
{
	EXPECT_TRUE(check_image(good().data(), 26).gzip);
	EXPECT_FALSE(check_image(make_image({ 0x1F }).data(), 17).gzip);
	EXPECT_FALSE(check_image(make_image({ 0x8B, 0x1F }).data(), 18).gzip);
	EXPECT_FALSE(check_image(make_image({}).data(), 16).gzip);
}

} // namespace
