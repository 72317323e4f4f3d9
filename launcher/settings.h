// SPDX-License-Identifier: MIT
// Launch settings: the switches that the boot loader's environment
// (/dev/mtd-ubootenv) holds for the launch and for rescue mode.
#ifndef LAUNCHER_SETTINGS_H
#define LAUNCHER_SETTINGS_H

#include "uboot_env.h"

extern launch_settings_t launch_settings;

// Reads the environment partition and sets launch_settings. Needs
// api_flash_init() first; a failed read leaves every switch at 0.
void parse_uboot_env(void);

#endif
