// SPDX-License-Identifier: MIT
#include "io.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

static void vsay(const char *fmt, va_list ap)
{
	fputs("vemra-image: ", stderr);
	vfprintf(stderr, fmt, ap);
}

void error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vsay(fmt, ap);
	va_end(ap);
	fputc('\n', stderr);
}

int usage_error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vsay(fmt, ap);
	va_end(ap);
	fputs("\nTry 'vemra-image --help'.\n", stderr);
	return STATUS_ERROR;
}

ssize_t read_full(int fd, uint8_t *buf, size_t n)
{
	size_t got = 0;

	while (got < n) {
		const ssize_t r = read(fd, buf + got, n - got);

		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			break;
		got += (size_t)r;
	}
	return (ssize_t)got;
}

bool write_full(int fd, const uint8_t *buf, size_t n)
{
	while (n > 0) {
		const ssize_t w = write(fd, buf, n);

		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0)
			return false;
		buf += w;
		n -= (size_t)w;
	}
	return true;
}

bool starts_like_gzip(const uint8_t *data, uint64_t n)
{
	return n >= 2 && data[0] == 0x1F && data[1] == 0x8B;
}

bool child_succeeded(pid_t pid, const char *name)
{
	int status;

	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR) {
			error("%s: %s", name, strerror(errno));
			return false;
		}
	if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
		return true;
	if (WIFEXITED(status))
		error("%s failed with exit status %d", name, WEXITSTATUS(status));
	else
		error("%s killed by signal %d", name, WTERMSIG(status));
	return false;
}
