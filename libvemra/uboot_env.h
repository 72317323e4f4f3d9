// SPDX-License-Identifier: MIT
// The launcher's switches and how it reads them from the boot loader's
// environment (/dev/mtd-ubootenv): one reader, for the launcher and for
// what shows or sets the switches on the board.
#ifndef LIBVEMRA_UBOOT_ENV_H
#define LIBVEMRA_UBOOT_ENV_H

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

// The launcher reads ENV_TEXT_SIZE bytes of variables from partition
// offset ENV_VARS_OFFSET, just past U-Boot's CRC-32, and nothing beyond.
constexpr uint32_t ENV_VARS_OFFSET = 4;
constexpr uint32_t ENV_TEXT_SIZE = 1280;

// Sets the switches whose keys occur in text, the ENV_TEXT_SIZE bytes
// read, and leaves the others as they are. text holds ENV_TEXT_SIZE + 1
// bytes; its NULs become spaces and the last byte the end of the text.
void settings_from_env(char *text, launch_settings_t *s);

// "a.b.c.d" of an address held most significant byte first.
constexpr unsigned IPV4_TEXT_SIZE = 16;
void format_ipv4(char *out, uint32_t address);

#endif
