// SPDX-License-Identifier: MIT
#include "config.h"

#include "fleet_words.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

static const char NET_DIR[] = "/sys/class/net";

// Printable, without blanks: a user name or a path.
static bool word_valid(const char *s)
{
	if (!*s)
		return false;
	for (; *s; s++)
		if (*s <= ' ' || *s > '~')
			return false;
	return true;
}

// A decimal number from lo to hi.
static bool number(const char *s, int lo, int hi, int *out)
{
	char *end;
	long v;

	if (*s < '0' || *s > '9')
		return false;
	errno = 0;
	v = strtol(s, &end, 10);
	if (*end || errno || v < lo || v > hi)
		return false;
	*out = (int)v;
	return true;
}

static bool copy(char *dst, size_t size, const char *src)
{
	return (size_t)snprintf(dst, size, "%s", src) < size;
}

// HOST or HOST:PORT (port 1 to 65535).
static bool parse_broker(const char *v, agent_config *c)
{
	char host[VALUE_SIZE];
	char *colon;

	if (!copy(host, sizeof host, v))
		return false;
	c->port = 1883;
	colon = strrchr(host, ':');
	if (colon) {
		*colon = '\0';
		if (!number(colon + 1, 1, 65535, &c->port))
			return false;
	}
	return word_valid(host) && copy(c->host, sizeof c->host, host);
}

// One key's value into c; false with the reason.
static bool set_key(agent_config *c, const char *key, const char *v, const char **why)
{
	*why = "not a valid value";
	if (strcmp(key, "broker") == 0)
		return parse_broker(v, c) || (*why = "not HOST or HOST:PORT (1 to 65535)", false);
	if (strcmp(key, "group") == 0 || strcmp(key, "id") == 0 || strcmp(key, "board") == 0) {
		*why = "not 1 to 63 characters of A-Z a-z 0-9 . _ -";
		char *dst = key[0] == 'g' ? c->group : key[0] == 'i' ? c->id : c->board;
		return fleet_name_valid(v) && copy(dst, NAME_SIZE, v);
	}
	if (strcmp(key, "user") == 0)
		return word_valid(v) && copy(c->user, sizeof c->user, v);
	if (strcmp(key, "password") == 0)
		return *v && copy(c->password, sizeof c->password, v);
	if (strcmp(key, "keepalive") == 0)
		return number(v, 5, 65535, &c->keepalive) || (*why = "not 5 to 65535 seconds", false);
	if (strcmp(key, "vemra_boot") == 0 || strcmp(key, "reboot") == 0) {
		*why = "not an absolute path";
		return v[0] == '/' && word_valid(v) &&
		       copy(key[0] == 'v' ? c->vemra_boot : c->reboot, VALUE_SIZE, v);
	}
	*why = "unknown key";
	return false;
}

static void defaults(agent_config *c)
{
	memset(c, 0, sizeof *c);
	c->keepalive = 120;
	// The installed vemra-boot (CMake's sbin folder).
	strcpy(c->vemra_boot, VEMRA_BOOT_PATH);
	strcpy(c->reboot, "/sbin/reboot");
}

// The lines of f into c: false with "FILE:LINE: why".
static bool read_lines(FILE *f, const char *file, agent_config *c, char *err, size_t err_size)
{
	char line[512];
	const char *why;

	for (int n = 1; fgets(line, sizeof line, f); n++) {
		size_t len = strlen(line);
		char *eq, *key = line;

		if (len && line[len - 1] == '\n')
			line[--len] = '\0';
		else if (!feof(f))
			return snprintf(err, err_size, "%s:%d: line too long", file, n), false;
		while (*key == ' ' || *key == '\t')
			key++;
		if (*key == '#' || *key == '\0')
			continue;
		eq = strchr(key, '=');
		if (!eq)
			return snprintf(err, err_size, "%s:%d: not key=value", file, n), false;
		*eq = '\0';
		if (!set_key(c, key, eq + 1, &why))
			return snprintf(err, err_size, "%s:%d: %s: %s", file, n, key, why), false;
	}
	if (ferror(f))
		return snprintf(err, err_size, "%s: %s", file, strerror(errno)), false;
	return true;
}

// The MAC address of the first interface in name order but lo, as 12
// lowercase hex digits.
// A network card's address as /sys gives it: six pairs of hex digits
// separated by colons.
static bool mac_bytes(const char *s, unsigned b[6])
{
	for (int i = 0; i < 6; i++, s += 3) {
		char *end;

		if (!isxdigit((unsigned char)s[0]) || !isxdigit((unsigned char)s[1]))
			return false;
		b[i] = (unsigned)strtoul(s, &end, 16);
		if (end != s + 2 || (i < 5 && *end != ':'))
			return false;
	}
	return true;
}

static bool id_from_mac(char *id)
{
	struct dirent **names;
	const int n = scandir(NET_DIR, &names, NULL, alphasort);
	bool found = false;

	for (int i = 0; i < n; i++) {
		char path[300], mac[32];
		unsigned b[6];
		FILE *f;

		snprintf(path, sizeof path, "%s/%s/address", NET_DIR, names[i]->d_name);
		if (!found && names[i]->d_name[0] != '.' && strcmp(names[i]->d_name, "lo") != 0 &&
		    (f = fopen(path, "re"))) {
			if (fgets(mac, sizeof mac, f) &&
			    mac_bytes(mac, b) &&
			    (b[0] | b[1] | b[2] | b[3] | b[4] | b[5]) != 0) {
				snprintf(id, NAME_SIZE, "%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
				found = true;
			}
			fclose(f);
		}
		free(names[i]);
	}
	if (n >= 0)
		free(names);
	return found;
}

static bool complete(const char *file, agent_config *c, char *err, size_t err_size)
{
	if (!c->host[0])
		return snprintf(err, err_size, "%s: no broker=HOST[:PORT]", file), false;
	if (!c->group[0])
		return snprintf(err, err_size, "%s: no group=", file), false;
	if (!c->id[0] && !id_from_mac(c->id))
		return snprintf(err, err_size, "%s: no id=, and no network interface's address in %s",
				file, NET_DIR), false;
	if (!c->user[0])
		snprintf(c->user, sizeof c->user, "%s", c->id);
	return true;
}

bool config_load(const char *file, agent_config *c, char *err, size_t err_size)
{
	FILE *f = fopen(file, "re");
	struct stat st;
	bool ok;

	defaults(c);
	if (!f)
		return snprintf(err, err_size, "%s: %s", file, strerror(errno)), false;
	ok = read_lines(f, file, c, err, err_size);
	if (ok && c->password[0] && fstat(fileno(f), &st) == 0 && (st.st_mode & 077)) {
		snprintf(err, err_size, "%s: holds a password but is open to group or others (mode %03o): chmod 600 it",
			 file, (unsigned)(st.st_mode & 0777));
		ok = false;
	}
	fclose(f);
	return ok && complete(file, c, err, err_size);
}
