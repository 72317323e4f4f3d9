// SPDX-License-Identifier: MIT
#include "console.h"

#include <cstdarg>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

static const char USAGE_LINE[] =
	"usage: vemra-boot status [-p] | select 1|2 [--trial [--boots N]] [--allow-downgrade] |"
	" install FILE|- [1|2] [--select | --trial [--boots N]] [--signature SIG] [--allow-downgrade]"
	" [--force] | recovery FILE|- [--signature SIG] [--allow-downgrade] | boot-check | confirm |"
	" reject |"
	" set KEY VALUE | unset KEY\n";

static void report(const char *fmt, va_list ap)
{
	fflush(stdout);
	fputs("vemra-boot: ", stderr);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
}

void error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	report(fmt, ap);
	va_end(ap);
}

int usage_error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	report(fmt, ap);
	va_end(ap);
	fputs(USAGE_LINE, stderr);
	return STATUS_ERROR;
}

int quiet_stdout(void)
{
	const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	int saved;

	fflush(stdout);
	saved = dup(STDOUT_FILENO);
	if (null >= 0 && saved >= 0)
		dup2(null, STDOUT_FILENO);
	if (null >= 0)
		close(null);
	return saved;
}

void restore_stdout(int saved)
{
	fflush(stdout);
	if (saved >= 0) {
		dup2(saved, STDOUT_FILENO);
		close(saved);
	}
}
