// The board API as the launcher's tests see it: the boot choice in VPD
// byte 0, the contents of the environment and rescue partitions; the
// launcher's calls are logged as platform events.
#ifndef TESTS_FAKES_FAKE_BOARD_H
#define TESTS_FAKES_FAKE_BOARD_H

#include <cstdint>
#include <vector>

struct fake_board {
	int vpd_selected = 1;        // VPD byte 0; -1: no I2C bus (reads 255, writes fail)
	std::vector<uint8_t> env;    // /dev/mtd-ubootenv
	std::vector<uint8_t> rescue; // /dev/mtd-rescue
	bool i2c_open = false;       // between api_i2c_init and api_i2c_close
};

extern fake_board board;

// A fresh board: VPD byte 0 = 1, empty partitions.
void board_begin();

#endif
