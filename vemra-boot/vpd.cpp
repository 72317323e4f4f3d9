#include "vpd.h"

#include "board_api.h"
#include "console.h"

#include <cerrno>
#include <ctime>

int read_vpd(uint16_t offset)
{
	uint8_t byte = 0xFF;

	return api_eeprom_read(&byte, offset, 1) < 0 ? -1 : byte;
}

bool put_vpd(uint16_t offset, uint8_t value)
{
	if (api_eeprom_write(offset, value) >= 0)
		return true;
	error("cannot write VPD byte %u", (unsigned)offset);
	return false;
}

// After a write the EEPROM is busy with its internal write cycle (at most
// 5 ms for the usual serial EEPROMs) and does not answer its address; a
// read at once would deliver 0xFF from the refused transfer. The board
// layer does not wait, so the read-back does.
static void wait_eeprom_write(void)
{
	struct timespec t = { 0, 10 * 1000 * 1000 };

	while (nanosleep(&t, &t) < 0 && errno == EINTR)
		;
}

vpd_set set_vpd(uint16_t offset, uint8_t value)
{
	int back;

	if (!put_vpd(offset, value))
		return VPD_NOT_SET;
	wait_eeprom_write();
	back = read_vpd(offset);
	if (back == value)
		return VPD_SET;
	error("VPD byte %u reads back %d, not %d", (unsigned)offset, back, value);
	return back < 0 || back == 0xFF ? VPD_UNCLEAR : VPD_NOT_SET;
}

int boots_first(int selected)
{
	return selected == 2 ? 2 : 1;
}

int other_slot(int n)
{
	return n == 1 ? 2 : 1;
}
