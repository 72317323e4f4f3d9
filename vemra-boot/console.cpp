#include "console.h"

#include <cstdarg>
#include <cstdio>

static const char USAGE_LINE[] =
	"usage: vemra-boot status [-p] | select 1|2 [--trial [--boots N]] |"
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
