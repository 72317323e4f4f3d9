// SPDX-License-Identifier: MIT
// Launch settings from the boot loader's environment: read once at
// start-up, never written; nothing is printed.
#include "settings.h"

#include "board_api.h"

launch_settings_t launch_settings;

void parse_uboot_env(void)
{
	// Cleared before the read: whatever a failed or short read leaves
	// unwritten is zeros, which the reader turns into spaces that hold no
	// key, so that the switches then stay 0.
	char text[ENV_TEXT_SIZE + 1] = {};

	api_flash_read((uint8_t *)text, uboot_env_fd, ENV_VARS_OFFSET, ENV_TEXT_SIZE);
	settings_from_env(text, &launch_settings);
}
