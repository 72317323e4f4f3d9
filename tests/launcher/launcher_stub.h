// SPDX-License-Identifier: MIT
// The launcher's pass inside this process, for the launcher's unit test,
// the boot benchmark and vemra-boot's power-cut sweep. launcher_stub.cpp
// compiles launch.cpp with its platform calls (system, execve, sleep,
// exit, fopen, malloc, calloc) replaced by the stand-ins below, and with
// its main renamed launcher_main; the board API is stub_board.cpp's, or
// the board layer's own over the test fakes. Shell command lines are not
// run; the pauses return at once; an exec or an exit ends the run.
#ifndef TESTS_LAUNCHER_STUB_H
#define TESTS_LAUNCHER_STUB_H

#include "launch.h"

#include <cstddef>
#include <cstdint>

struct launcher_stub {
	const char *slot[2];   // files for /user/images/image1 and image2 (NULL: none)
	const char *staging;   // file for /tmp/vemraimage.tar.gz (NULL: /dev/null);
	                       // the install copy /tmp/image goes to /dev/null
	int failing_alloc;     // the nth allocation of a run fails (from 1; 0: none)
	int system_result;     // of every shell command line
};

extern launcher_stub stub;

enum stub_end { STUB_RETURNED, STUB_EXECED, STUB_EXITED };

// How the run ended, and what entry returned or the exit status.
struct stub_result { stub_end end; int value; };

// Runs entry until it returns, execs or exits.
stub_result stub_run(int (*entry)(void));

int launcher_main(void);

#endif
