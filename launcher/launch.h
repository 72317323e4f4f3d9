// SPDX-License-Identifier: MIT
// The launcher: boot sequence, launch and reset, recovery image and rescue
// mode. The settings it reads from the boot loader's environment are in
// settings.h.
#ifndef LAUNCHER_LAUNCH_H
#define LAUNCHER_LAUNCH_H

#include <cstdint>

// The launch follows the switches of the boot loader's environment; who
// runs the launcher's pass sees them with it.
#include "settings.h"

extern uint8_t tried_alt_image; // set before the second slot is tried
extern char stringbuff[256];    // unpack line, shell line, then launch line

// The slot to try first: VPD byte 0 when it is 1 or 2, else 1.
int which_image(void);
// Boots slot n (1 or 2). Returns 0 only when the other slot should be
// tried; every other outcome ends in the launch or a reboot.
int extract_image(int n);
[[noreturn]] void launch_image(void);
// Pauses 10 s, runs "reboot" and exits with status 0.
[[noreturn]] void board_reset(void);
// Boots (or installs, then boots) the recovery image on the rescue
// partition; returns 0 when it is missing or fails its checksum.
int extract_image_from_flash(void);
int run_rescue_mode(void);

#endif
