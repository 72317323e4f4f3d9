// SPDX-License-Identifier: MIT
// Flash geometry of the board support layer: queried once from the kernel
// partition by api_flash_init() and applied to every partition.
#ifndef BOARD_FLASH_H
#define BOARD_FLASH_H

#include <cstdint>

struct flash_desc {
	char desc[128];       // "unknown", then e.g. "4MB w/32-128KB sectors"
	uint32_t sectors;     // partition size / erase size
	uint32_t sector_size; // erase size in bytes
	int32_t sector_shift; // index of the lowest 1 bit of sector_size
	uint32_t size;        // partition size in bytes; 0: no flash
};

extern flash_desc theFlash;

#endif
