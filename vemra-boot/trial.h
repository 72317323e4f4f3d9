// Trial boots: a slot selected for a few boots, counted by boot-check
// before each start of the launcher, and selected away again (the way
// back, the slot selected before) unless the application confirms it.
// The state lives in the boot loader's environment, in variables whose
// names and values hold none of the launcher's keys; U-Boot's own
// bootcount variables are left alone.
#ifndef VEMRA_BOOT_TRIAL_H
#define VEMRA_BOOT_TRIAL_H

#include "env.h"

#include <cstdint>

struct trial {
	int slot;     // on trial
	int boots;    // it is given
	int used;     // it has had
	int way_back; // the slot selected before
	uint32_t crc; // of the image on trial
};

// A trial about to begin: the environment open, the way back read.
struct trial_plan {
	uboot_env env;
	trial t;
};

// Checks that slot n can go on trial for `boots` boots (the environment
// sound, no trial pending, another slot selected now) and opens the plan;
// nothing is written. Needs api_i2c_init(). STATUS_OK or the refusal said;
// trial_release() in either case.
int trial_prepare(int n, uint32_t crc, int boots, trial_plan *p);
// Records the trial, then selects its slot; on failure nothing of it
// stays (but see select_slot).
int trial_begin(trial_plan *p);
// After a trial_begin whose install failed later: the way back selected,
// the trial dropped.
void trial_undo(trial_plan *p);
void trial_release(trial_plan *p);

// vemra-boot boot-check and confirm.
int cmd_boot_check(void);
int cmd_confirm(void);

// The pending trial and the last rollback, for status: false when the
// environment cannot be read or its checksum fails (*why says which).
struct trial_status {
	bool pending;
	trial t;
	bool rolled_back;
	int rollback_slot, rollback_to;
};
bool read_trial_status(trial_status *s, const char **why);

#endif
