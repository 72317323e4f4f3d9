// SPDX-License-Identifier: MIT
// vemra-boot's messages: every refusal or error is one line on stderr,
// "vemra-boot: " first; stdout (the board layer's lines too) is flushed
// before it, so that the two streams keep their order on the console.
#ifndef VEMRA_BOOT_CONSOLE_H
#define VEMRA_BOOT_CONSOLE_H

// Exit status: 1 only ever means "refused" (an image the launcher does not
// boot or that does not fit, a trial or a switch that cannot be, an
// environment whose checksum fails), 2 a usage or I/O error.
enum { STATUS_OK = 0, STATUS_REFUSED = 1, STATUS_ERROR = 2 };

void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The error line, then the usage line; returns STATUS_ERROR.
int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The board layer reports each write's sectors on stdout; where vemra-boot
// says in one line what came of a write, the progress goes to /dev/null
// in between: quiet_stdout() returns what restore_stdout() takes.
int quiet_stdout(void);
void restore_stdout(int saved);

#endif
