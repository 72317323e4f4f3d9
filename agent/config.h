// SPDX-License-Identifier: MIT
// vemra-agent's configuration: key=value lines, '#' comments.
#ifndef AGENT_CONFIG_H
#define AGENT_CONFIG_H

#include <cstddef>

constexpr size_t NAME_SIZE = 64;  // a board, id or group: 1 to 63 characters, with the NUL
constexpr size_t VALUE_SIZE = 256; // a host, password or path, with the NUL

struct agent_config {
	char host[VALUE_SIZE];
	int port;
	char group[NAME_SIZE];
	char id[NAME_SIZE];
	char user[NAME_SIZE];
	char password[VALUE_SIZE];
	char board[NAME_SIZE]; // "" unless the file names one
	int keepalive;
	char vemra_boot[VALUE_SIZE];
	char reboot[VALUE_SIZE];
};

// 1 to 63 characters of [A-Za-z0-9._-]: a part of a topic.
// Reads FILE into c, the id from the first network interface's address
// when the file names none. false with one line in err (FILE: why).
bool config_load(const char *file, agent_config *c, char *err, size_t err_size);

#endif
