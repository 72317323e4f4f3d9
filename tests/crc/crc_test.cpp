// gen_crc against independent references: the catalogued CRC-32/JAMCRC
// check value, and values from Python's zlib (zlib.crc32(data) ^ 0xFFFFFFFF).
#include "crc.h"
#include "image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> pattern(size_t n)
{
	std::vector<uint8_t> v(n);
	for (size_t i = 0; i < n; i++)
		v[i] = (uint8_t)(i * 31 + 7);
	return v;
}

std::vector<uint8_t> bytes(const std::string &s)
{
	return std::vector<uint8_t>(s.begin(), s.end());
}

struct crc_case {
	const char *name;
	std::vector<uint8_t> data;
	uint32_t jamcrc;
};

TEST(GenCrc, MatchesZlibComplement)
{
	const crc_case cases[] = {
		{ "empty", {}, 0xFFFFFFFFu },
		{ "a", bytes("a"), 0x174841BCu },
		{ "check string", bytes("123456789"), 0x340BC6D9u },
		{ "1000-byte pattern", pattern(1000), 0x76FDE9E1u },
		{ "64 erased bytes", std::vector<uint8_t>(64, 0xFF), 0xF09E7845u },
		{ "4 zero bytes", std::vector<uint8_t>(4, 0x00), 0xDEBB20E3u },
	};

	for (const crc_case &c : cases)
		EXPECT_EQ(gen_crc(c.data.data(), (uint32_t)c.data.size(), 0xFFFFFFFFu), c.jamcrc)
			<< c.name;
}

TEST(GenCrc, NoFinalInversion)
{
	const std::vector<uint8_t> d = bytes("123456789");

	// The common CRC-32 of the check string is 0xCBF43926.
	EXPECT_EQ(~gen_crc(d.data(), 9, 0xFFFFFFFFu), 0xCBF43926u);
}

TEST(GenCrc, RegisterCarriesAcrossCalls)
{
	const std::vector<uint8_t> d = pattern(1000);
	uint32_t part = gen_crc(d.data(), 333, 0xFFFFFFFFu);

	EXPECT_EQ(gen_crc(d.data() + 333, 667, part), 0x76FDE9E1u);
}

TEST(ImageHeader, DecodesBigEndianWords)
{
	const uint8_t raw[16] = { 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x01, 0x02,
				  0x01, 0x4F, 0x52, 0x49, 0xFF, 0xFE, 0xFD, 0xFC };
	const image_header h = decode_image_header(raw);

	EXPECT_EQ(h.crc, 0x12345678u);
	EXPECT_EQ(h.length, 0x102u);
	EXPECT_EQ(h.magic, IMAGE_MAGIC);
	EXPECT_EQ(h.reserved, 0xFFFEFDFCu);
}

} // namespace
