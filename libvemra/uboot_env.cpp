// SPDX-License-Identifier: MIT
// The launcher's reader of its switches in the boot loader's environment:
// the launch (remote debugger, memory checker, console shell) and the
// request for rescue mode, from the variables that U-Boot keeps in its
// environment partition.
#include "uboot_env.h"

#include <cstdio>
#include <cstring>

static bool is_space(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads one number at *p as a "%d" conversion does (white space, an
// optional sign, at least one digit) and moves *p past it. Digits beyond
// the 32-bit signed range give INT32_MAX or INT32_MIN: what the board's
// 32-bit C library yields for such a number, here on every host.
static bool scan_int(const char **p, int32_t *value)
{
	const char *s = *p;
	bool negative = false;
	int64_t n = 0;

	while (is_space(*s))
		s++;
	if (*s == '+' || *s == '-')
		negative = *s++ == '-';
	if (*s < '0' || *s > '9')
		return false;
	for (; *s >= '0' && *s <= '9'; s++)
		if (n <= INT32_MAX)
			n = n * 10 + (*s - '0');
	if (negative)
		n = -n;
	*value = n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : (int32_t)n;
	*p = s;
	return true;
}

// "%d.%d.%d.%d": four numbers, each but the last followed directly by a
// dot; a·2^24 + b·2^16 + c·2^8 + d in 32-bit arithmetic, so that numbers
// out of byte range spill into their neighbours.
static bool scan_ipv4(const char *p, uint32_t *address)
{
	uint32_t sum = 0;
	int32_t n;

	for (int i = 0; i < 4; i++) {
		if (i > 0 && *p++ != '.')
			return false;
		if (!scan_int(&p, &n))
			return false;
		sum = sum * 256 + (uint32_t)n;
	}
	*address = sum;
	return true;
}

// The value after the first occurrence of key (its '=' included) anywhere
// in the text, or NULL.
static const char *env_value(const char *text, const char *key)
{
	const char *at = strstr(text, key);

	return at ? at + strlen(key) : NULL;
}

static bool begins_with(const char *value, const char *word)
{
	return strncmp(value, word, strlen(word)) == 0;
}

void settings_from_env(char *text, launch_settings_t *s)
{
	const char *v;

	for (uint32_t i = 0; i < ENV_TEXT_SIZE; i++)
		if (text[i] == '\0')
			text[i] = ' ';
	text[ENV_TEXT_SIZE] = '\0';

	if ((v = env_value(text, "gdb=")))
		s->gdb_enable = begins_with(v, "on");
	if ((v = env_value(text, "gdbserver=")))
		scan_ipv4(v, &s->gdbserver);
	if ((v = env_value(text, "gdbport=")))
		scan_int(&v, &s->gdbport);
	if ((v = env_value(text, "shell=")))
		s->shell_enable = begins_with(v, "on");
	if ((v = env_value(text, "memchk=")))
		s->memchk_enable = begins_with(v, "on");
	if ((v = env_value(text, "diagnostics=")))
		s->rescue_enable = begins_with(v, "rescue");
}

void format_ipv4(char *out, uint32_t a)
{
	snprintf(out, IPV4_TEXT_SIZE, "%d.%d.%d.%d", (int)(a >> 24), (int)(a >> 16 & 0xFF),
		 (int)(a >> 8 & 0xFF), (int)(a & 0xFF));
}
