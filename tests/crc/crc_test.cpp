// SPDX-License-Identifier: MIT
// gen_crc against known answers: the catalogued CRC-32/JAMCRC check value
// and a value of Python's zlib (zlib.crc32(data) ^ 0xFFFFFFFF); the common
// CRC-32's catalogued check value.
#include "crc.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(gen_crc, known_answers)
{
	const uint8_t check[] = "123456789";
	std::vector<uint8_t> pattern(1000); // every byte value, a count above 255

	for (size_t i = 0; i < pattern.size(); i++)
		pattern[i] = static_cast<uint8_t>(i * 31 + 7);
	// No final inversion: the common CRC-32 of the check string is 0xCBF43926.
	EXPECT_EQ(gen_crc(check, 9, 0xFFFFFFFF), 0x340BC6D9u);
	EXPECT_EQ(gen_crc(pattern.data(), 1000, 0xFFFFFFFF), 0x76FDE9E1u);
	// No bytes: the register as it was given. It carries across calls.
	EXPECT_EQ(gen_crc(check, 0, 0x12345678), 0x12345678u);
	EXPECT_EQ(gen_crc(check + 4, 5, gen_crc(check, 4, 0xFFFFFFFF)), 0x340BC6D9u);
	// The environment's CRC-32 is the common one.
	EXPECT_EQ(crc32_common(check, 9), 0xCBF43926u);
}

} // namespace
