// SPDX-License-Identifier: MIT
#include "common.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

static void verror(const char *fmt, va_list ap)
{
	fputs("vemra-fleet: ", stderr);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
}

void error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verror(fmt, ap);
	va_end(ap);
}

int usage_error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verror(fmt, ap);
	va_end(ap);
	fputs("Try 'vemra-fleet --help'.\n", stderr);
	return STATUS_ERROR;
}
