// SPDX-License-Identifier: MIT
// The board's state as vemra-boot status -p gives it, and the JSON the
// agent publishes of it.
#ifndef AGENT_STATE_H
#define AGENT_STATE_H

#include <cstddef>
#include <cstdint>

#include "fleet_words.h"

constexpr size_t TEXT_SIZE = 64;   // a word of status -p, with the NUL
constexpr size_t LINE_SIZE = 240;  // an error line or detail kept, with the NUL

struct slot_status {
	char state[TEXT_SIZE];     // "" when status -p has no line
	char version[TEXT_SIZE];   // "" when none
	char signature[TEXT_SIZE]; // "" when none
};

// What status -p says; 0 and "" for what it does not.
struct agent_status {
	int booted, selected; // 1 or 2, else 0
	slot_status image[2];
	char board[TEXT_SIZE], floor[TEXT_SIZE];
	int trial, trial_boots, trial_used; // trial 0: none pending
	int rollback, rollback_to;          // rollback 0: none
};

enum update_step { STEP_NONE, STEP_INSTALLING, STEP_REBOOTING, STEP_REFUSED, STEP_FAILED, STEP_SKIPPED };

// The last announcement acted on, and the last error seen.
struct agent_report {
	update_step step; // STEP_NONE: no announcement acted on yet
	char version[TEXT_SIZE]; // "" when the announcement had none
	char url[FLEET_URL_MAX + 1];
	char detail[LINE_SIZE];
	char error[LINE_SIZE]; // "" for none
};

struct state_names {
	const char *id, *board, *group;
};

// The key=value lines of status -p (others ignored).
void status_parse(const char *text, agent_status *s);

// The state's JSON text (malloc'd; NULL when memory runs out), "time"
// being the given one.
char *state_json(const state_names *n, const agent_status *s, const agent_report *r, int64_t time);

#endif
