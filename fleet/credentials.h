// SPDX-License-Identifier: MIT
// The operator's credentials, from a file of key=value lines (user=,
// password=; # comments), never from the command line.
#ifndef VEMRA_FLEET_CREDENTIALS_H
#define VEMRA_FLEET_CREDENTIALS_H

constexpr int CREDENTIAL_MAX = 256; // a value, with its NUL

struct credentials {
	char user[CREDENTIAL_MAX];
	char password[CREDENTIAL_MAX];
};

// Reads FILE; false, having said why, when it cannot be read, group or
// others may read it, a line is not key=value of a known key, or a key is
// missing or given twice.
bool credentials_read(const char *path, credentials *c);

#endif
