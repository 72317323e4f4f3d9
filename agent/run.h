// SPDX-License-Identifier: MIT
// The programs the agent runs (vemra-boot, wget, reboot): fork and exec,
// no shell, each one's standard error read for its last line.
#ifndef AGENT_RUN_H
#define AGENT_RUN_H

#include "state.h"

#include <cstddef>
#include <sys/types.h>

struct child {
	pid_t pid;               // 0 once waited for
	int err_fd;              // its standard error, -1 at its end
	char last[LINE_SIZE];    // the last line it wrote there
	char partial[LINE_SIZE]; // the line being written
	size_t partial_len;
	int status; // exit status, 128 + N for signal N
};

// argv[0] run (through PATH when it has no '/') with in_fd and out_fd as
// its standard input and output (-1: /dev/null). false when it cannot
// be started, with why in c->last.
bool child_start(child *c, const char *const argv[], int in_fd, int out_fd);

// Reads what its standard error holds; at its end, waits for it. true
// once it has ended (c->status set).
bool child_read(child *c);

// Waits for its end, its standard error read meanwhile.
void child_finish(child *c);

// Runs argv to its end; its standard output (up to out_size - 1 bytes,
// the rest dropped) into out. The exit status; the last line of its
// standard error in c.
int run_capture(child *c, const char *const argv[], char *out, size_t out_size);

#endif
