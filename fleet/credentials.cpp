// SPDX-License-Identifier: MIT
#include "credentials.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "common.h"

// One line of FILE: number n, without its newline. Blank lines and
// comments are skipped; a value is taken as it is, blanks included.
static bool take_line(const char *path, int n, char *line, credentials *c, bool *seen_user,
		      bool *seen_password)
{
	if (line[0] == '\0' || line[0] == '#')
		return true;
	char *eq = strchr(line, '=');

	if (!eq) {
		error("%s:%d: not a key=value line", path, n);
		return false;
	}
	*eq = '\0';
	const char *value = eq + 1;
	const bool is_user = strcmp(line, "user") == 0;

	if (!is_user && strcmp(line, "password") != 0) {
		error("%s:%d: unknown key '%s' (user, password)", path, n, line);
		return false;
	}
	bool *seen = is_user ? seen_user : seen_password;

	if (strlen(value) >= CREDENTIAL_MAX) {
		error("%s:%d: %s longer than %d characters", path, n, line, CREDENTIAL_MAX - 1);
		return false;
	}
	if (*seen || value[0] == '\0') {
		error("%s:%d: %s %s", path, n, line, *seen ? "given twice" : "is empty");
		return false;
	}
	*seen = true;
	snprintf(is_user ? c->user : c->password, CREDENTIAL_MAX, "%s", value);
	return true;
}

static bool read_lines(const char *path, FILE *f, credentials *c)
{
	char line[2 * CREDENTIAL_MAX];
	bool seen_user = false, seen_password = false;
	int n = 0;

	while (fgets(line, sizeof line, f)) {
		n++;
		size_t len = strlen(line);

		if (len > 0 && line[len - 1] == '\n')
			line[--len] = '\0';
		if (len > 0 && line[len - 1] == '\r') // a file written on Windows
			line[--len] = '\0';
		else if (len + 1 >= sizeof line) {
			error("%s:%d: line too long", path, n);
			return false;
		}
		if (!take_line(path, n, line, c, &seen_user, &seen_password))
			return false;
	}
	if (ferror(f)) {
		error("%s: %s", path, strerror(errno));
		return false;
	}
	if (!seen_user || !seen_password) {
		error("%s: no %s= line", path, seen_user ? "password" : "user");
		return false;
	}
	return true;
}

bool credentials_read(const char *path, credentials *c)
{
	FILE *f = fopen(path, "r");
	struct stat st;

	if (!f || fstat(fileno(f), &st) != 0) {
		error("%s: %s", path, strerror(errno));
		if (f)
			fclose(f);
		return false;
	}
	if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IRGRP | S_IROTH))) {
		error("%s: %s", path, S_ISREG(st.st_mode) ? "readable by group or others (chmod 600 it)"
							  : "not a regular file");
		fclose(f);
		return false;
	}
	const bool ok = read_lines(path, f, c);

	fclose(f);
	return ok;
}
