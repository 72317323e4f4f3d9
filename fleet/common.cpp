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

bool name_valid(const char *s)
{
	const size_t n = strlen(s);

	return n >= 1 && n <= 63 &&
	       strspn(s, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") == n;
}

bool url_valid(const char *s)
{
	const size_t n = strlen(s);

	if (n > URL_MAX || (strncmp(s, "http://", 7) != 0 && strncmp(s, "https://", 8) != 0))
		return false;
	for (size_t i = 0; i < n; i++) {
		const unsigned char c = (unsigned char)s[i];

		if (c <= ' ' || c > '~' || c == '"' || c == '\\')
			return false;
	}
	return true;
}
