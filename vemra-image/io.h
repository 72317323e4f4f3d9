// SPDX-License-Identifier: MIT
// What the commands of vemra-image share: exit statuses, messages, whole
// reads and writes, and waiting for a program it started.
#ifndef VEMRA_IMAGE_IO_H
#define VEMRA_IMAGE_IO_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Exit status: 1 only ever means "the image is not one the launcher boots".
enum { STATUS_OK = 0, STATUS_REJECTED = 1, STATUS_ERROR = 2 };

// Files are read and written in pieces of this size, so that memory use
// does not depend on their length.
static const uint32_t CHUNK = 64 * 1024;

// "vemra-image: " and the message on stderr, one line.
void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, with a pointer to --help; returns STATUS_ERROR.
int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Whole-buffer I/O over short transfers and EINTR. read_full returns the
// bytes read, fewer than n only at end of file, or -1; write_full false on
// an error.
ssize_t read_full(int fd, uint8_t *buf, size_t n);
bool write_full(int fd, const uint8_t *buf, size_t n);

bool starts_like_gzip(const uint8_t *data, uint64_t n);

// Waits for the program `name` started as pid; false, having said why,
// unless it exited with status 0.
bool child_succeeded(pid_t pid, const char *name);

#endif
