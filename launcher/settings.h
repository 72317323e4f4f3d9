// Launch settings: the switches that the boot loader's environment
// (/dev/mtd-ubootenv) holds for the launch and for rescue mode.
#ifndef LAUNCHER_SETTINGS_H
#define LAUNCHER_SETTINGS_H

#include <cstdint>

// Switches read once from the U-Boot environment; all 0 at start-up.
struct launch_settings_t {
	int32_t gdb_enable;    // start the application under gdbserver
	uint32_t gdbserver;    // debugger host, IPv4, most significant byte first
	int32_t gdbport;       // debugger TCP port
	uint8_t shell_enable;  // interactive shell before launch / reboot
	uint8_t memchk_enable; // preload the DUMA library
	int32_t rescue_enable; // rescue mode instead of the plain mount
};

extern launch_settings_t launch_settings;

// Reads the environment partition and sets launch_settings. Needs
// api_flash_init() first; a failed read leaves every switch at 0.
void parse_uboot_env(void);

#endif
