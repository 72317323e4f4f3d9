// SPDX-License-Identifier: MIT
// The VPD EEPROM through the board API (api_i2c_init() first): the
// launcher's bytes 0 (the selected image) and 58 (the image booted last),
// and the bytes that keep a trial.
//
// A serial EEPROM programs a byte in a write cycle of its own after the
// write transfer (5 ms on common parts), during which it does not answer
// its address; and a transfer that gets no answer reads as 255 through the
// board API. So a byte is read again before 255 is believed, and every
// write waits for the chip to answer again and reads the byte back.
#ifndef VEMRA_BOOT_VPD_H
#define VEMRA_BOOT_VPD_H

#include <cstdint>

// A VPD byte, or -1 when the EEPROM could not be addressed. 255 is read
// again, over 7 ms (past another program's write cycle): a byte that never
// answers comes as 255, as it does to the launcher.
int read_vpd(uint16_t offset);

// One byte written, then read back once the chip answers again (within
// about 25 ms), any failure said in one line. No byte that vemra-boot
// writes is 255, so 255 read back is a chip that has not answered.
enum vpd_set {
	VPD_SET,     // it reads back as written
	VPD_NOT_SET, // not acknowledged (nothing written), or another byte reads back: the EEPROM holds that one
	VPD_UNCLEAR, // the chip did not answer again: it holds the old byte, the new one, or one torn between
};
vpd_set set_vpd(uint16_t offset, uint8_t value);
// set_vpd() as a yes or no: true when the byte reads back as written.
bool put_vpd(uint16_t offset, uint8_t value);

// The slot the launcher boots first for a VPD byte 0: 2 for 2, else 1
// (255 and a failed read included).
int boots_first(int selected);
// The other slot: the way back from n.
int other_slot(int n);

#endif
