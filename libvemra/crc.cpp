// SPDX-License-Identifier: MIT
#include "crc.h"

static constexpr uint32_t CRC_POLY = 0xEDB88320u;

// Each of the eight steps per byte shifts the register right by one and
// xors in the polynomial when bit 0 of (register ^ byte) was set. The
// polynomial's two low bits are clear, so that xor never touches the bits
// the next steps test: the bit that decides step k + 2 already sits in
// bit 2 of the register before step k. Taking each mask two steps ahead
// leaves only the shift and the xor between one step and the next; the
// mask work runs beside them instead of in series (the plain form waits
// for the test, the mask and the xor one after the other, at every bit).
static_assert((CRC_POLY & 3u) == 0, "masks are taken two steps ahead");

// All ones when bit 0 of v is set, else zero (branch-free select).
static inline uint32_t low_bit_mask(uint32_t v)
{
	return -(v & 1u);
}

uint32_t gen_crc(const uint8_t *data, uint32_t count, uint32_t initial)
{
	uint32_t reg = initial;
	// Masks of the next step and of the one after it.
	uint32_t now = low_bit_mask(reg);
	uint32_t next = low_bit_mask(reg >> 1);

	for (uint32_t i = 0; i < count; i++) {
		const uint32_t byte = data[i];

		// Bit j of the byte meets the register at step j: xoring the
		// whole byte in now is the same, and the two masks already
		// taken get the byte's two low bits.
		reg ^= byte;
		now ^= low_bit_mask(byte);
		next ^= low_bit_mask(byte >> 1);
#pragma GCC unroll 8
		for (int bit = 0; bit < 8; bit++) {
			const uint32_t shifted = reg >> 1;

			reg = shifted ^ (CRC_POLY & now);
			now = next;
			next = low_bit_mask(shifted >> 1);
		}
	}
	return reg;
}

uint32_t crc32_common(const uint8_t *data, uint32_t count)
{
	return ~gen_crc(data, count, 0xFFFFFFFF);
}
