// SPDX-License-Identifier: MIT
// The board API as launcher_stub.h describes it to the launcher's unit test
// and the boot benchmark: VPD byte 0 selects image 1, the flash cannot be
// read, the VPD writes succeed. (The power-cut sweep runs the launcher
// over the board layer itself.)
#include "board_api.h"

int uboot_env_fd = 3;
int rescue_fd = 4;

int api_i2c_init(void) { return 0; }
int api_i2c_close(void) { return 0; }
int api_get_image(void) { return 1; }
int api_set_image(uint8_t) { return 0; }
int api_set_booted_image(uint8_t) { return 0; }
int api_flash_init(void) { return 0; }

int api_flash_read(uint8_t *, int, uint32_t, uint32_t) { return -1; }
