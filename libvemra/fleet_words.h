// SPDX-License-Identifier: MIT
// The words a fleet's topics and announcements carry, checked alike by the
// board's agent (vemra-agent) and the operator's program (vemra-fleet),
// and the longest payloads either takes.
#ifndef LIBVEMRA_FLEET_WORDS_H
#define LIBVEMRA_FLEET_WORDS_H

#include <cstddef>

constexpr size_t FLEET_NAME_MAX = 63; // a board's string, a board's id, a group
constexpr size_t FLEET_URL_MAX = 512; // an update's url
constexpr size_t FLEET_STATE_MAX = 4096;   // bytes of a board's state (JSON)
constexpr size_t FLEET_ANNOUNCE_MAX = 1024; // bytes of an announcement (JSON)

// 1 to FLEET_NAME_MAX characters of A-Z a-z 0-9 . _ -: one level of a
// topic, never a wildcard ('+', '#'), a level's end ('/') or a system
// topic ('$').
bool fleet_name_valid(const char *s);

// After http:// or https://, up to FLEET_URL_MAX printable ASCII
// characters in all, without blank, double quote or backslash.
bool fleet_url_valid(const char *s);

#endif
