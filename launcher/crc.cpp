#include "crc.h"

static constexpr uint32_t CRC_POLY = 0xEDB88320u;

uint32_t gen_crc(const uint8_t *data, uint32_t count, uint32_t initial)
{
	uint32_t reg = initial;

	for (uint32_t i = 0; i < count; i++) {
		uint32_t byte = data[i];

		for (int bit = 0; bit < 8; bit++) {
			// All ones when the low bit of (register ^ byte) is set,
			// else zero: the branch-free form of the conditional xor.
			uint32_t mask = -((reg ^ byte) & 1u);

			reg = (reg >> 1) ^ (CRC_POLY & mask);
			byte >>= 1;
		}
	}
	return reg;
}
