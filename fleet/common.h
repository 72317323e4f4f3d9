// SPDX-License-Identifier: MIT
// What the commands of vemra-fleet share: exit statuses, messages, and the
// checks of the names and the url that go into topics and announcements.
#ifndef VEMRA_FLEET_COMMON_H
#define VEMRA_FLEET_COMMON_H

#include <cstddef>

// 1: refused (a name, url or version the protocol does not allow, the
// broker's refusal, a state that cannot be read); 2: usage, credentials
// or connection error.
enum { STATUS_OK = 0, STATUS_REFUSED = 1, STATUS_ERROR = 2 };

// "vemra-fleet: " and the message on stderr, one line.
void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, with a pointer to --help; returns STATUS_ERROR.
int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
