// gen_crc against independent references: the catalogued CRC-32/JAMCRC
// check value, and values from Python's zlib (zlib.crc32(data) ^ 0xFFFFFFFF).
#include "crc.h"
#include "image.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(GenCrc, MatchesZlibComplement)
{
	const uint8_t check[] = "123456789";
	std::vector<uint8_t> pattern(1000); // every byte value, a count above 255

	for (size_t i = 0; i < pattern.size(); i++)
		pattern[i] = (uint8_t)(i * 31 + 7);
	// The common CRC-32 of the check string is 0xCBF43926: no final inversion.
	EXPECT_EQ(gen_crc(check, 9, 0xFFFFFFFFu), 0x340BC6D9u);
	EXPECT_EQ(gen_crc(pattern.data(), 1000, 0xFFFFFFFFu), 0x76FDE9E1u);
	EXPECT_EQ(gen_crc(check, 0, 0xFFFFFFFFu), 0xFFFFFFFFu);
	// The register carries from one call to the next.
	EXPECT_EQ(gen_crc(pattern.data() + 333, 667, gen_crc(pattern.data(), 333, 0xFFFFFFFFu)),
		  0x76FDE9E1u);
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
