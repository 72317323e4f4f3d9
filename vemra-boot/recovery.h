// SPDX-License-Identifier: MIT
// vemra-boot recovery: the recovery image written to the rescue partition
// through the board layer, and read back.
#ifndef VEMRA_BOOT_RECOVERY_H
#define VEMRA_BOOT_RECOVERY_H

int cmd_recovery(const char *file, const char *signature, bool allow_downgrade);

#endif
