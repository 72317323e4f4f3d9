#include "vpd.h"

#include "board_api.h"
#include "console.h"

#include <cerrno>
#include <ctime>

// A read of 255 is tried this many times in all, a millisecond apart: a
// transfer that got no answer once is answered by the next.
static const int READ_TRIES = 3;
// After a write the chip is polled this many times, a millisecond apart,
// for its answer: twice the longest write cycle of common parts, with the
// polls' own bus time on top.
static const int WRITE_POLLS = 25;

static void pause_ms(void)
{
	struct timespec t = { 0, 1000 * 1000 };

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
// tries reads.
static int read_until_answer(uint16_t offset, int tries)
{
	int byte = read_once(offset);

	for (int i = 1; i < tries && byte == 0xFF; i++) {
		pause_ms();
		byte = read_once(offset);
	}
	return byte;
}

int read_vpd(uint16_t offset)
{
	return read_until_answer(offset, READ_TRIES);
}

vpd_set set_vpd(uint16_t offset, uint8_t value)
{
	int back;

	if (api_eeprom_write(offset, value) < 0) {
		error("cannot write VPD byte %u", (unsigned)offset);
		return VPD_NOT_SET;
	}
	back = read_until_answer(offset, WRITE_POLLS);
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
