// SPDX-License-Identifier: MIT
// vemra-fleet announce: the update a group of boards is to install, as
// the retained message of vemra/BOARD/GROUP/update.
#ifndef VEMRA_FLEET_ANNOUNCE_H
#define VEMRA_FLEET_ANNOUNCE_H

#include "credentials.h"
#include "session.h"

// Checks board, group, url and version, then publishes
// {"url":URL,"version":V} retained at QoS 1 and waits for the PUBACK; with
// url and version nullptr, an empty retained message, which withdraws it.
// STATUS_OK; STATUS_REFUSED (a value refused before connecting, or the
// broker's refusal); STATUS_ERROR.
int cmd_announce(const broker_address *a, const credentials *c, const char *board, const char *group,
		 const char *url, const char *version);

#endif
