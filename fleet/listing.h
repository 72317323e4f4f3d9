// SPDX-License-Identifier: MIT
// vemra-fleet fleet: one line per board from the boards' retained states.
#ifndef VEMRA_FLEET_LISTING_H
#define VEMRA_FLEET_LISTING_H

#include "credentials.h"
#include "session.h"

// board: only that board's states, or nullptr for every board's. json: a
// JSON array instead of the table. STATUS_OK; STATUS_REFUSED when a state
// could not be read (one line each on stderr, the others listed); or
// STATUS_ERROR.
int cmd_fleet(const broker_address *a, const credentials *c, const char *board, bool json);

#endif
