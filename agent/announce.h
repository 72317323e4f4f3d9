// SPDX-License-Identifier: MIT
// An update's announcement: its check, and whether this board installs it.
#ifndef AGENT_ANNOUNCE_H
#define AGENT_ANNOUNCE_H

#include "state.h"

#include <cstddef>

struct announcement {
	char url[FLEET_URL_MAX + 1];
	char version[TEXT_SIZE];
};

// The payload checked: false with one line in err.
bool announce_parse(const char *payload, size_t len, announcement *a, char *err, size_t err_size);

// true: install it; false: skipped, why in detail.
bool announce_wanted(const agent_status *s, const announcement *a, char *detail, size_t detail_size);

#endif
