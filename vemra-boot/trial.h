// SPDX-License-Identifier: MIT
// Trial boots: a slot selected for a few boots, counted by boot-check
// before each start of the launcher, and selected away again to the way
// back (the other slot) unless the application confirms it.
//
// The trial lives in six bytes of the VPD EEPROM, beside the launcher's
// boot choice, from TRIAL_VPD on (a board setting, VEMRA_TRIAL_VPD at
// build time):
//
//   +0  the slot on trial: 0xB1 or 0xB2
//   +1  its check: the complement of +0 (0x4E or 0x4D)
//   +2  the boots it is given, 1 to 99
//   +3  the boots it has had
//   +4  the same, a second copy: the larger of the two counts
//   +5  the slot whose trial went back last: 0xB1 or 0xB2; any other, none
//
// A trial is pending only while +0 names a slot and +1 is its check.
// A power cut during an EEPROM write can leave that byte at any value,
// and the writes come in an order that makes every such byte safe:
//
// - a trial is begun by writing its check last but one, the selection of
//   its slot last; a check for the way back, left by earlier cuts, is
//   cleared first. So a torn byte can only make a record for the slot not
//   yet selected, which boot-check ends;
// - a trial is ended by clearing its check (the way back selected first
//   when it goes back): torn, the check either still matches or not;
// - a boot is counted in both copies in turn: torn, either copy leaves
//   the larger count at the old boots or above.
//
// boot-check decides from the slot that the launcher will boot (VPD byte
// 0 read as the launcher reads it: 2 boots slot 2, anything else slot 1),
// never waits on an unclear byte, and finishes whatever a cut left half
// done. The boot loader's environment is not written.
#ifndef VEMRA_BOOT_TRIAL_H
#define VEMRA_BOOT_TRIAL_H

#include <cstdint>

extern const uint16_t TRIAL_VPD;
// The trial's bytes, from TRIAL_VPD on, and the most boots a trial takes.
enum { TRIAL_BYTES = 6, TRIAL_BOOTS_MAX = 99 };

struct trial {
	bool pending;
	int slot;        // on trial; the way back is the other one
	int boots;       // it is given
	int used;        // it has had
	int rolled_back; // the slot whose trial went back last, 0: none
};

// The trial's bytes (api_i2c_init() first): false when the EEPROM cannot
// be addressed.
bool read_trial(trial *t);

// For a plain install or select: STATUS_OK when no trial is pending,
// otherwise the refusal said.
int no_trial_pending(void);
// Whether slot n can go on trial: no trial pending, n is not the slot
// that boots now, and the way back holds an image the launcher boots.
// Nothing is written.
int trial_allowed(int n);
// Once slot n holds the image checked: the trial recorded, then n
// selected. On failure the trial is dropped again, unless the selection
// reads back unclear: then boot-check ends it or counts it, as byte 0
// turns out.
int trial_begin(int n, int boots);

// vemra-boot boot-check, confirm and reject (api_i2c_init() inside).
int cmd_boot_check(void);
int cmd_confirm(void);
int cmd_reject(void);

#endif
