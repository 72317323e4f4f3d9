// The launcher's two VPD bytes through the board API (api_i2c_init()
// first): 0, the selected image, and 58, the image booted last.
#ifndef VEMRA_BOOT_VPD_H
#define VEMRA_BOOT_VPD_H

#include <cstdint>

// A VPD byte, or -1 when the EEPROM could not be addressed. A byte that
// could not be read comes as 255: the board API cannot tell them apart.
int read_vpd(uint16_t offset);
// VPD byte 0 = n, read back: STATUS_OK, or STATUS_ERROR said. A write that
// is not acknowledged changed nothing; after a read-back that differs the
// byte may hold its old value or n.
int select_slot(int n);
// The slot the launcher boots first for a VPD byte 0: 2 for 2, else 1.
int boots_first(int selected);

#endif
