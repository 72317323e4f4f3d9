// SPDX-License-Identifier: MIT
#include "vpd.h"

#include "board_api.h"
#include "console.h"

#include <cerrno>
#include <ctime>

// A read of 255 is tried this many times in all, again after 1, 2 and
// 4 ms: a transfer that got no answer once is answered by the next, and
// one that met the write cycle of another program's write (5 ms on
// common parts) by the last.
static const int READ_TRIES = 4;
// After a write the chip is polled this many times, a millisecond apart,
// for its answer: twice the longest write cycle of common parts, with the
// polls' own bus time on top.
static const int WRITE_POLLS = 25;

static void pause_ms(long ms)
{
	struct timespec t = { 0, ms * 1000 * 1000 };

	while (nanosleep(&t, &t) < 0 && errno == EINTR)
		;
}

// One transfer: the byte, 255 when it got no answer, -1 when the EEPROM
// could not be addressed.
static int read_once(uint16_t offset)
{
	uint8_t byte = 0xFF;

	return api_eeprom_read(&byte, offset, 1) < 0 ? -1 : byte;
}

// The byte as soon as it reads as something else than 255, or 255 after
// tries reads; the pauses between them start at 1 ms and grow grow times.
static int read_until_answer(uint16_t offset, int tries, long grow)
{
	int byte = read_once(offset);

	for (long i = 1, ms = 1; i < tries && byte == 0xFF; i++, ms *= grow) {
		pause_ms(ms);
		byte = read_once(offset);
	}
	return byte;
}

int read_vpd(uint16_t offset)
{
	return read_until_answer(offset, READ_TRIES, 2);
}

vpd_set set_vpd(uint16_t offset, uint8_t value)
{
	int back;

	if (api_eeprom_write(offset, value) < 0) {
		error("cannot write VPD byte %u", (unsigned)offset);
		return VPD_NOT_SET;
	}
	back = read_until_answer(offset, WRITE_POLLS, 1);
	if (back == value)
		return VPD_SET;
	error("VPD byte %u reads back %d, not %d", (unsigned)offset, back, value);
	return back < 0 || back == 0xFF ? VPD_UNCLEAR : VPD_NOT_SET;
}

bool put_vpd(uint16_t offset, uint8_t value)
{
	return set_vpd(offset, value) == VPD_SET;
}

int boots_first(int selected)
{
	return selected == 2 ? 2 : 1;
}

int other_slot(int n)
{
	return n == 1 ? 2 : 1;
}
