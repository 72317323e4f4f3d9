// SPDX-License-Identifier: MIT
#include "switches.h"

#include "board_api.h"
#include "console.h"
#include "env.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum key { GDB, GDBSERVER, GDBPORT, SHELL, MEMCHK, DIAGNOSTICS, KEYS };

static const char *const KEY_NAMES[KEYS] = { "gdb", "gdbserver", "gdbport",
					     "shell", "memchk", "diagnostics" };

static int key_of(const char *name)
{
	for (int k = 0; k < KEYS; k++)
		if (strcmp(KEY_NAMES[k], name) == 0)
			return k;
	return -1;
}

// The bytes the launcher reads, as one text (its reader's input).
static bool read_window(char *text)
{
	memset(text, 0, ENV_TEXT_SIZE + 1);
	return api_flash_read((uint8_t *)text, uboot_env_fd, ENV_VARS_OFFSET, ENV_TEXT_SIZE) == 0;
}

bool read_switches(launch_settings_t *s)
{
	char text[ENV_TEXT_SIZE + 1];

	*s = launch_settings_t{};
	if (!read_window(text))
		return false;
	settings_from_env(text, s);
	return true;
}

static bool same_switch(const launch_settings_t *a, const launch_settings_t *b, int k)
{
	switch (k) {
	case GDB:
		return a->gdb_enable == b->gdb_enable;
	case GDBSERVER:
		return a->gdbserver == b->gdbserver;
	case GDBPORT:
		return a->gdbport == b->gdbport;
	case SHELL:
		return a->shell_enable == b->shell_enable;
	case MEMCHK:
		return a->memchk_enable == b->memchk_enable;
	}
	return a->rescue_enable == b->rescue_enable;
}

// What the launcher reads for key from KEY=VALUE alone (from nothing at
// all when value is NULL: the start value, 0).
static launch_settings_t read_alone(int k, const char *value)
{
	char text[ENV_TEXT_SIZE + 1] = {};
	launch_settings_t s = {};

	if (value) {
		snprintf(text, sizeof text, "%s=%s", KEY_NAMES[k], value);
		settings_from_env(text, &s);
	}
	return s;
}

// Why the launcher, reading text, does not see key as written.
static const char *unseen_why(const launch_settings_t *got, const launch_settings_t *want, int k,
			      const char *text)
{
	char needle[16];

	if (same_switch(got, want, k))
		return "that would change what the launcher reads for another switch";
	snprintf(needle, sizeof needle, "%s=", KEY_NAMES[k]);
	if (!strstr(text, needle))
		return "it would lie beyond the 1280 bytes the launcher reads";
	return "another variable's text holds the key first";
}

// After the write: the launcher reads value for key (nothing: 0) and
// every other switch as before.
static bool launcher_sees(int k, const char *value, const launch_settings_t *before,
			  const char **why)
{
	const launch_settings_t alone = read_alone(k, value);
	char text[ENV_TEXT_SIZE + 1];
	launch_settings_t got = {};

	if (!read_window(text)) {
		*why = "the environment cannot be read back";
		return false;
	}
	settings_from_env(text, &got);
	for (int i = 0; i < KEYS; i++) {
		if (!same_switch(&got, i == k ? &alone : before, i)) {
			*why = unseen_why(&got, &alone, k, text);
			return false;
		}
	}
	return true;
}

// Writes the change (value NULL: the variable removed) and checks it
// through the launcher's reader; puts the old environment back when the
// launcher would not see it.
static int change_switch(int k, const char *value)
{
	const char *why = NULL;
	launch_settings_t before;
	uint8_t *old;
	uboot_env e;
	int status;

	api_flash_init();
	status = env_open_to_write(&e);
	if (status != STATUS_OK)
		return status;
	old = (uint8_t *)malloc(e.size);
	if (old)
		memcpy(old, e.image, e.size);
	if (!old || !read_switches(&before)) {
		error("the environment cannot be read");
		status = STATUS_ERROR;
	} else if (value && !env_set(&e, KEY_NAMES[k], value)) {
		error("the environment has no room for %s", KEY_NAMES[k]);
		status = STATUS_ERROR;
	} else {
		if (!value)
			env_unset(&e, KEY_NAMES[k]);
		if (!env_store(&e))
			status = STATUS_ERROR;
		else if (!launcher_sees(k, value, &before, &why)) {
			memcpy(e.image, old, e.size);
			status = env_store(&e) ? STATUS_REFUSED : STATUS_ERROR;
			error("%s: not %s, the environment is as it was: %s", KEY_NAMES[k],
			      value ? "set" : "unset", why);
		}
	}
	free(old);
	env_close(&e);
	return status;
}

// The values that the launcher reads as a person means them: it reads
// "yes", "1" or "ON" as off, "online" as on, 1.2.3.256 as 1.2.4.0, a
// port of 70000 as itself.
static const char *const MEANT[KEYS] = { "on or off",	 "an address a.b.c.d", "a port, 1 to 65535",
					 "on or off",	 "on or off",	       "rescue or normal" };

// A decimal number from min to max at *p, *p moved past it.
static bool number(const char **p, unsigned long min, unsigned long max)
{
	char *end;
	unsigned long n;

	if (**p < '0' || **p > '9')
		return false;
	errno = 0;
	n = strtoul(*p, &end, 10);
	*p = end;
	return errno == 0 && n >= min && n <= max;
}

static bool value_meant(int k, const char *v)
{
	switch (k) {
	case GDBSERVER:
		for (int i = 0; i < 4; i++)
			if (!number(&v, 0, 255) || *v++ != (i < 3 ? '.' : '\0'))
				return false;
		return true;
	case GDBPORT:
		return number(&v, 1, 65535) && *v == '\0';
	case DIAGNOSTICS:
		return strcmp(v, "rescue") == 0 || strcmp(v, "normal") == 0;
	}
	return strcmp(v, "on") == 0 || strcmp(v, "off") == 0;
}

int cmd_set(const char *key, const char *value)
{
	const int k = key_of(key);

	if (k < 0)
		return usage_error("set: not a switch of the launcher: '%s'", key);
	if (!value_meant(k, value))
		return usage_error("set: %s takes %s, not '%s'", key, MEANT[k], value);
	return change_switch(k, value);
}

int cmd_unset(const char *key)
{
	const int k = key_of(key);

	if (k < 0)
		return usage_error("unset: not a switch of the launcher: '%s'", key);
	return change_switch(k, NULL);
}
