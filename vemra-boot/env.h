// SPDX-License-Identifier: MIT
// The boot loader's environment as U-Boot keeps it, for vemra-boot: one
// copy at the device, offset and size that /etc/fw_env.config names; a
// CRC-32 (the common one) of the rest in the board's byte order, then
// name=value strings each ended by a NUL, an empty string after the last,
// and filler (0xFF, as mkenvimage pads) to the end. Read and written
// through the board API (api_flash_init() first).
#ifndef VEMRA_BOOT_ENV_H
#define VEMRA_BOOT_ENV_H

#include <cstdint>

struct uboot_env {
	int fd;          // the board API's descriptor of the device
	uint32_t offset; // of the environment in the device
	uint32_t size;   // CRC and variables
	uint8_t *image;  // size bytes, as read or as to be written
	bool crc_ok;     // the CRC matches what was read
};

// Where /etc/fw_env.config puts the environment, and its bytes read
// (api_flash_init() once before, by the command). False, having said why
// in one line, when that cannot be done.
bool env_open(uboot_env *e);
// The same, to be written: STATUS_OK, or STATUS_REFUSED (said) when the
// checksum fails, so that U-Boot itself does not use it and it is not
// replaced behind its back, or STATUS_ERROR (said).
int env_open_to_write(uboot_env *e);
void env_close(uboot_env *e);

// The value of a variable, or NULL.
const char *env_get(const uboot_env *e, const char *name);
// Replaces a variable where it stands or appends it after the last one;
// false when the environment has no room for it.
bool env_set(uboot_env *e, const char *name, const char *value);
void env_unset(uboot_env *e, const char *name);

// Puts a new CRC in front and writes the environment, then reads it back.
// The board layer's progress lines are not shown. False, having said why.
bool env_store(uboot_env *e);

#endif
