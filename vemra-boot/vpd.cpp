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

int select_slot(int n)
{
	int back;

	if (api_set_image((uint8_t)n) < 0) {
		error("cannot write VPD byte 0");
		return STATUS_ERROR;
	}
	wait_eeprom_write();
	back = read_vpd(VPD_SELECTED_IMAGE);
	if (back != n) {
		error("VPD byte 0 reads back %d, not %d", back, n);
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

int boots_first(int selected)
{
	return selected == 2 ? 2 : 1;
}
