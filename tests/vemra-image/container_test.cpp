// The container rules, in memory and streamed from a file, against bytes
// built here and checksums computed independently with Python's zlib
// (zlib.crc32(data) ^ 0xFFFFFFFF).
#include "container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace {

typedef std::vector<uint8_t> bytes;

// 1f 8b " payload" with reserved 0xA5A5A5A5: crc 0x1D4656D0 (the common
// CRC-32 of the same covered bytes is 0xE2B9A92F).
const bytes PAYLOAD = { 0x1F, 0x8B, ' ', 'p', 'a', 'y', 'l', 'o', 'a', 'd' };
const bytes HEADER = { 0x1D, 0x46, 0x56, 0xD0, 0x00, 0x00, 0x00, 0x0A,
		       0x01, 0x4F, 0x52, 0x49, 0xA5, 0xA5, 0xA5, 0xA5 };
// length 0: the crc covers the 12 header bytes from offset 4 alone.
const bytes EMPTY = { 0xEE, 0x66, 0xAF, 0x5A, 0, 0, 0, 0, 0x01, 0x4F, 0x52, 0x49, 0, 0, 0, 0 };

bytes good()
{
	bytes img = HEADER;

	img.insert(img.end(), PAYLOAD.begin(), PAYLOAD.end());
	return img;
}

bytes with(bytes img, size_t off, std::initializer_list<uint8_t> v)
{
	std::copy(v.begin(), v.end(), img.begin() + (long)off);
	return img;
}

bytes resized(bytes img, size_t n)
{
	img.resize(n, 0xFF); // grown as erased flash
	return img;
}

// Reads `img` through a file, as the tool does; *payload gets the bytes copied out.
image_check check_file(const bytes &img, bytes *payload)
{
	FILE *in = tmpfile(), *out = tmpfile();
	image_check c;

	EXPECT_EQ(fwrite(img.data(), 1, img.size(), in), img.size());
	fflush(in);
	rewind(in);
	EXPECT_EQ(check_image_fd(fileno(in), fileno(out), &c), IMAGE_IO_OK);
	payload->resize((size_t)lseek(fileno(out), 0, SEEK_END));
	EXPECT_EQ(pread(fileno(out), payload->data(), payload->size(), 0), (ssize_t)payload->size());
	fclose(in);
	fclose(out);
	return c;
}

struct container_case {
	const char *name;
	bytes img;
	image_verdict verdict;
	uint64_t have, want;
};

TEST(Container, VerdictsInMemoryAndFromFile)
{
	const std::initializer_list<uint8_t> le_magic = { 0x49, 0x52, 0x4F, 0x01 };
	const container_case cases[] = {
		{ "valid", good(), IMAGE_VALID, 26, 26 },
		{ "length 0", EMPTY, IMAGE_VALID, 16, 16 },
		{ "trailing erased flash ignored", resized(good(), 4096), IMAGE_VALID, 26, 26 },
		{ "15 bytes", resized(good(), 15), IMAGE_BAD_HEADER, 15, 16 },
		{ "little-endian magic", with(good(), 8, le_magic), IMAGE_BAD_HEADER, 16, 16 },
		{ "magic checked before length", resized(with(good(), 8, le_magic), 20),
		  IMAGE_BAD_HEADER, 16, 16 },
		{ "common CRC-32 in crc", with(good(), 0, { 0xE2, 0xB9, 0xA9, 0x2F }), IMAGE_BAD_CRC,
		  26, 26 },
		{ "first reserved byte changed", with(good(), 12, { 0xA4 }), IMAGE_BAD_CRC, 26, 26 },
		{ "last reserved byte changed", with(good(), 15, { 0xA7 }), IMAGE_BAD_CRC, 26, 26 },
		{ "last payload byte changed", with(good(), 25, { 'D' }), IMAGE_BAD_CRC, 26, 26 },
		{ "one byte short of length + 16", resized(good(), 25), IMAGE_TRUNCATED, 25, 26 },
		{ "largest length", with(good(), 4, { 0xFF, 0xFF, 0xFF, 0xEF }), IMAGE_TRUNCATED, 26,
		  0xFFFFFFFFu },
		{ "length + 16 wraps 32 bits", with(good(), 4, { 0xFF, 0xFF, 0xFF, 0xF0 }),
		  IMAGE_BAD_LENGTH, 16, 16 },
	};

	for (const container_case &k : cases) {
		const image_check m = check_image(k.img.data(), k.img.size());
		bytes payload;
		const image_check f = check_file(k.img, &payload);
		const auto want = std::make_tuple(k.verdict, k.have, k.want);

		EXPECT_EQ(std::make_tuple(m.verdict, m.have, m.want), want) << k.name;
		EXPECT_EQ(std::make_tuple(f.verdict, f.have, f.want), want) << k.name << " (file)";
		if (k.verdict == IMAGE_VALID) {
			EXPECT_EQ(payload, bytes(k.img.begin() + 16, k.img.begin() + (long)k.want))
				<< k.name;
		}
	}
}

TEST(Container, MakeImageMatchesIndependentBytes)
{
	EXPECT_EQ(make_image(PAYLOAD, 0xA5A5A5A5u), good());
	EXPECT_EQ(make_image({}), EMPTY);
}

TEST(Container, StreamsAcrossChunks)
{
	bytes payload(200000), copied;

	for (size_t i = 0; i < payload.size(); i++)
		payload[i] = (uint8_t)(i * 131 + (i >> 9));
	payload[0] = 0x1F; // gzip, told by the first chunk alone
	payload[1] = 0x8B;
	const bytes img = make_image(payload);
	const image_check c = check_file(img, &copied);

	EXPECT_EQ(c.verdict, IMAGE_VALID);
	EXPECT_TRUE(c.gzip);
	EXPECT_EQ(copied, payload);
	EXPECT_EQ(check_file(with(img, img.size() - 1, { 0 }), &copied).verdict, IMAGE_BAD_CRC);
	// The image ends exactly where a read chunk does.
	EXPECT_EQ(check_file(resized(img, 16 + 65536), &copied).verdict, IMAGE_TRUNCATED);
}

TEST(Container, GzipStart)
{
	EXPECT_TRUE(check_image(good().data(), 26).gzip);
	EXPECT_FALSE(check_image(make_image({ 0x1F }).data(), 17).gzip); // no byte read past it
}

} // namespace
