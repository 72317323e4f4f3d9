// SPDX-License-Identifier: MIT
// The launcher's switches (gdb, gdbserver, gdbport, shell, memchk,
// diagnostics) as the launcher reads them, and set from the board.
#ifndef VEMRA_BOOT_SWITCHES_H
#define VEMRA_BOOT_SWITCHES_H

#include "uboot_env.h"

// The switches from the environment partition's bytes 4 to 1283 through
// the launcher's own reader (api_flash_init() first); false when they
// cannot be read (the launcher then runs with every switch off).
bool read_switches(launch_settings_t *s);

// vemra-boot set KEY VALUE and unset KEY: the variable written to the
// environment, then read back through the launcher's reader. When the
// launcher would not see what was asked, the environment is put back as
// it was and the answer is STATUS_REFUSED, said in one line.
int cmd_set(const char *key, const char *value);
int cmd_unset(const char *key);

#endif
