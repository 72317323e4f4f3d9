// The C library beneath the launcher, replaced at link time with
// -Wl,--wrap=system,--wrap=execve,--wrap=sleep,--wrap=exit,--wrap=fopen,
// --wrap=fgets. During platform_run():
//  - system: logged; tar, rm, mv, mkdir and cp run for real with /tmp and
//    /user moved into a sandbox directory that stands for /, their error
//    output discarded; flash_eraseall empties the sandbox's /user; the mount and
//    reboot are only logged; the console shell writes its prompt "# ".
//    Any other line is a fault.
//  - execve: logged with its arguments, the environment kept; ends the run
//    as a successful exec would, or fails with exec_errno.
//  - sleep: logged, returns at once. exit: logged, ends the run.
//  - fopen of a path under /tmp or /user: opened in the sandbox.
// system, execve, exit and fgets on stdin are faults while stdout or stderr
// still buffer output. Outside a run every call goes to the C library.
#ifndef TESTS_FAKES_FAKE_PLATFORM_H
#define TESTS_FAKES_FAKE_PLATFORM_H

#include "console.h"

#include <string>
#include <vector>

enum run_end { RUN_RETURNED, RUN_EXECED, RUN_EXITED };

struct fake_platform {
	std::string root;                    // the sandbox standing for /
	std::vector<std::string> events;     // "system LINE", "sleep N", "execve PATH {ARGS}", "exit N", the board's
	std::vector<std::string> exec_env;   // environment handed to execve
	std::vector<std::string> faults;     // contracts broken during the run
	std::string failing_line;            // system() returns failing_status for it
	int failing_status = -1;             // -1: no shell could be run
	int exec_errno = 0;                  // nonzero: execve fails with it
	int fail_system = 0, fail_fopen = 0; // the nth call (from 1) of the run fails
	int systems = 0, fopens = 0;         // calls made in the run
};

extern fake_platform platform;

struct run_result {
	run_end end;
	console_capture console;
};

// A fresh sandbox with /tmp and /user/images, and an empty log.
void platform_begin();
void platform_end();
// Runs entry with `input` on standard input until it returns, execs or
// exits. Faults, and descriptors left open, fail the current test.
run_result platform_run(int (*entry)(void), const std::string &input);

void platform_event(const std::string &event);
void platform_fault(const std::string &what);
// The sandbox's path for an absolute path of the board.
std::string sandbox(const std::string &path);

#endif
