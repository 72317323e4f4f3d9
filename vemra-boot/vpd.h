// The VPD EEPROM through the board API (api_i2c_init() first): the
// launcher's bytes 0 (the selected image) and 58 (the image booted last),
// and the bytes that keep a trial. Each write is one byte, which the
// EEPROM keeps whole or not at all.
#ifndef VEMRA_BOOT_VPD_H
#define VEMRA_BOOT_VPD_H

#include <cstdint>

// A VPD byte, or -1 when the EEPROM could not be addressed. A byte that
// could not be read comes as 255: the board API cannot tell them apart.
int read_vpd(uint16_t offset);

// One byte written, not read back: false, said, when the EEPROM did not
// acknowledge it (then nothing was written).
bool put_vpd(uint16_t offset, uint8_t value);

// One byte written and read back, any failure said in one line.
enum vpd_set {
	VPD_SET,     // it reads back as written
	VPD_NOT_SET, // not acknowledged, or another byte reads back: the EEPROM holds that one
	VPD_UNCLEAR, // 255 or nothing reads back: it holds the old byte or the new one
};
vpd_set set_vpd(uint16_t offset, uint8_t value);

// The slot the launcher boots first for a VPD byte 0: 2 for 2, else 1.
int boots_first(int selected);
// The other slot: the way back from n.
int other_slot(int n);

#endif
