// The board API as the launcher's tests see it: the boot choice in VPD
// byte 0, the contents of the environment and rescue partitions, and the
// calls the launcher makes, logged into the platform's event log.
// The fake also checks the calling order that the board API demands.
#ifndef TESTS_FAKES_FAKE_BOARD_H
#define TESTS_FAKES_FAKE_BOARD_H

#include <cstdint>
#include <vector>

struct fake_board {
	int vpd_selected = 1;        // VPD byte 0; -1: no I2C bus (reads 255, writes fail)
	bool flash_present = true;   // false: api_flash_init and every read fail
	std::vector<uint8_t> env;    // /dev/mtd-ubootenv
	std::vector<uint8_t> rescue; // /dev/mtd-rescue
	bool i2c_open = false, i2c_closed = false, flash_open = false;
};

extern fake_board board;

// A fresh board: present, VPD byte 0 = 1, empty partitions.
void board_begin();

#endif
