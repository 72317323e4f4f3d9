// SPDX-License-Identifier: MIT
// vemra-boot status: the boot choice, the slots, the recovery image, the
// signatures, the launcher's switches and a trial, as a person reads
// them or as key=value lines.
#ifndef VEMRA_BOOT_STATUS_H
#define VEMRA_BOOT_STATUS_H

// Everything is printed, readable or not; each part that cannot be read
// is shown as such, named on stderr, and makes the status STATUS_ERROR.
int cmd_status(bool keys);

#endif
