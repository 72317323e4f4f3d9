// Trial boots: a slot selected for a few boots, counted by boot-check
// before each start of the launcher, and selected away again to the way
// back (the other slot) unless the application confirms it.
//
// The trial lives in four bytes of the VPD EEPROM, beside the launcher's
// boot choice, from TRIAL_VPD on (a board setting, VEMRA_TRIAL_VPD at
// build time):
//
//   +0  the slot on trial: 0xB1 or 0xB2; any other byte, no trial
//   +1  the boots it is given, 1 to 99
//   +2  the boots it has had
//   +3  the slot whose trial went back last: 0xB1 or 0xB2; any other, none
//
// Every write is a single byte, which the EEPROM keeps whole or not at
// all, and they come in an order that leaves a board that goes back at
// every instant: a trial is recorded before its slot is selected, the way
// back selected before the trial ends. boot-check finishes whatever a
// power cut left half done. The boot loader's environment is not written.
#ifndef VEMRA_BOOT_TRIAL_H
#define VEMRA_BOOT_TRIAL_H

#include <cstdint>

extern const uint16_t TRIAL_VPD;

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
