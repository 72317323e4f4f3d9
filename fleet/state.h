// SPDX-License-Identifier: MIT
// A board's retained state (vemra/BOARD/ID/state, one JSON object of at
// most 4096 bytes, every key always there) checked and made into the
// texts of its line in the fleet's list.
#ifndef VEMRA_FLEET_STATE_H
#define VEMRA_FLEET_STATE_H

#include <cstddef>

struct cJSON;

struct fleet_row {
	char id[64];
	char board[64];
	char group[64];
	char running[80];  // "1 (1.0)": the image running and its version; "1"; "-"
	char trial[48];    // "image 2, 1 of 3 boots", or "-"
	char rollback[32]; // "image 2 -> 1", or "-"
	char update[80];   // the last update's step and version: "installing 2.0", or "-"
	char seen[24];     // the state's time, UTC: "2025-12-08 07:46:40"
	cJSON *state;      // the whole state, the row's own (cJSON_Delete)
};

// The row of the payload received on topic. False when it is too long,
// not JSON, not an object, a key is missing or of another kind, or its
// board and id are not the topic's: why (one line's text, without the
// topic) is then in why, and the row holds nothing to free.
bool state_row(const char *topic, const char *payload, size_t len, fleet_row *r, char *why, size_t why_size);

#endif
