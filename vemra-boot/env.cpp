// SPDX-License-Identifier: MIT
#include "env.h"

#include "board_api.h"
#include "console.h"
#include "crc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

static const char CONFIG[] = "/etc/fw_env.config";
// The CRC in front of the variables, and the filler after them (mkenvimage's).
static const uint32_t CRC_SIZE = 4;
static const uint8_t FILLER = 0xFF;

// The partitions the board API reaches, by the device names a
// configuration line may give.
struct partition {
	const char *device;
	const int *fd;
};

static const partition PARTITIONS[] = {
	{ BOARD_MTD_UBOOT, &uboot_fd },   { BOARD_MTD_ENV, &uboot_env_fd },
	{ BOARD_MTD_DEVICETREE, &device_tree_fd }, { BOARD_MTD_KERNEL, &kernel_fd },
	{ BOARD_MTD_RFS, &rfs_fd },       { BOARD_MTD_RESCUE, &rescue_fd },
};

static const int *partition_fd(const char *device)
{
	for (const partition &p : PARTITIONS)
		if (strcmp(p.device, device) == 0)
			return p.fd;
	return NULL;
}

static bool parse_number(const char *text, uint32_t *value)
{
	char *end;
	unsigned long long n;

	errno = 0;
	n = strtoull(text, &end, 0);
	if (errno || end == text || *end || n > UINT32_MAX)
		return false;
	*value = (uint32_t)n;
	return true;
}

// The one line of the configuration that is not blank or a comment, read
// as fw_printenv reads it: device, offset, size (sector size and count
// after them are the flash's, not needed here). A second line would be a
// redundant environment, which the launcher cannot read.
static bool read_config(char *device, size_t device_size, uint32_t *offset, uint32_t *size)
{
	FILE *f = fopen(CONFIG, "r");
	char line[256], dev[128], off[32], len[32];
	int found = 0;

	if (!f) {
		error("%s: %s", CONFIG, strerror(errno));
		return false;
	}
	while (fgets(line, sizeof line, f)) {
		const int n = sscanf(line, " %127s %31s %31s", dev, off, len);

		if (n <= 0 || dev[0] == '#')
			continue;
		if (++found > 1 || n < 3 || !parse_number(off, offset) || !parse_number(len, size))
			break;
		snprintf(device, device_size, "%s", dev);
	}
	fclose(f);
	if (found == 1 && *size > CRC_SIZE)
		return true;
	error("%s: %s", CONFIG, found > 1 ? "two environment copies; the board keeps one"
					  : "no line 'device offset size'");
	return false;
}

static uint32_t stored_crc(const uint8_t *image)
{
	uint32_t crc;

	memcpy(&crc, image, sizeof crc); // the board's byte order, as U-Boot keeps it
	return crc;
}

bool env_open(uboot_env *e)
{
	char device[128];
	const int *fd;

	*e = uboot_env{};
	if (!read_config(device, sizeof device, &e->offset, &e->size))
		return false;
	fd = partition_fd(device);
	if (!fd) {
		error("%s: %s is no partition of the board", CONFIG, device);
		return false;
	}
	e->image = (uint8_t *)malloc(e->size);
	if (!e->image) {
		error("%s: no memory for %u bytes", device, (unsigned)e->size);
		return false;
	}
	e->fd = *fd;
	if (e->fd < 0 || api_flash_read(e->image, e->fd, e->offset, e->size) != 0) {
		error("%s: cannot read the environment", device);
		env_close(e);
		return false;
	}
	e->crc_ok = stored_crc(e->image) == crc32_common(e->image + CRC_SIZE, e->size - CRC_SIZE);
	return true;
}

int env_open_to_write(uboot_env *e)
{
	if (!env_open(e))
		return STATUS_ERROR;
	if (e->crc_ok)
		return STATUS_OK;
	error("the environment's checksum does not match: it is not replaced");
	env_close(e);
	return STATUS_REFUSED;
}

void env_close(uboot_env *e)
{
	free(e->image);
	e->image = NULL;
}

/* Variables: NUL-ended strings from after the CRC to an empty one. */

static char *vars(const uboot_env *e)
{
	return (char *)e->image + CRC_SIZE;
}

static uint32_t data_size(const uboot_env *e)
{
	return e->size - CRC_SIZE;
}

// The string at position at, or NULL at the empty one that ends the list
// (or at the end of the data, should that come first).
static const char *var_at(const uboot_env *e, uint32_t at)
{
	const char *v = vars(e) + at;

	if (at >= data_size(e) || *v == '\0')
		return NULL;
	return memchr(v, '\0', data_size(e) - at) ? v : NULL;
}

// Where name=... starts, or -1; *end receives where the empty string that
// ends the list stands.
static long find_var(const uboot_env *e, const char *name, uint32_t *end)
{
	const size_t len = strlen(name);
	long found = -1;
	uint32_t at = 0;

	for (const char *v; (v = var_at(e, at)); at += (uint32_t)strlen(v) + 1)
		if (found < 0 && strncmp(v, name, len) == 0 && v[len] == '=')
			found = at;
	*end = at;
	return found;
}

const char *env_get(const uboot_env *e, const char *name)
{
	uint32_t end;
	const long at = find_var(e, name, &end);

	return at < 0 ? NULL : vars(e) + at + strlen(name) + 1;
}

// The list ends at `end` (its empty string); what follows is filler.
static void end_list(uboot_env *e, uint32_t end, uint32_t old_end)
{
	// A full list may have had no room for its empty string.
	if (old_end >= data_size(e))
		old_end = data_size(e) - 1;
	vars(e)[end] = '\0';
	if (old_end > end)
		memset(vars(e) + end + 1, FILLER, old_end - end);
}

void env_unset(uboot_env *e, const char *name)
{
	uint32_t end;
	const long at = find_var(e, name, &end);
	char *v;
	size_t len;

	if (at < 0)
		return;
	v = vars(e) + at;
	len = strlen(v) + 1;
	memmove(v, v + len, end - at - len);
	end_list(e, end - (uint32_t)len, end);
}

bool env_set(uboot_env *e, const char *name, const char *value)
{
	const uint32_t need = (uint32_t)(strlen(name) + 1 + strlen(value) + 1);
	uint32_t end, old = 0, new_end;
	long at = find_var(e, name, &end);
	char *v;

	if (at < 0)
		at = end;
	else
		old = (uint32_t)strlen(vars(e) + at) + 1;
	new_end = end - old + need;
	// The empty string after the last variable needs its byte too.
	if (new_end >= data_size(e))
		return false;
	v = vars(e) + at;
	memmove(v + need, v + old, end - at - old);
	snprintf(v, need, "%s=%s", name, value);
	end_list(e, new_end, end);
	return true;
}

/* Writing */

static bool read_back_matches(const uboot_env *e)
{
	uint8_t *back = (uint8_t *)malloc(e->size);
	bool same;

	if (!back)
		return false;
	same = api_flash_read(back, e->fd, e->offset, e->size) == 0 &&
	       memcmp(back, e->image, e->size) == 0;
	free(back);
	return same;
}

bool env_store(uboot_env *e)
{
	const uint32_t crc = crc32_common(e->image + CRC_SIZE, e->size - CRC_SIZE);
	int saved, written;

	memcpy(e->image, &crc, sizeof crc); // the board's byte order
	saved = quiet_stdout();
	written = api_flash_write(e->image, e->fd, e->offset, e->size);
	restore_stdout(saved);
	if (written != 0) {
		error("the environment: write failed");
		return false;
	}
	if (!read_back_matches(e)) {
		error("the environment: read back differs");
		return false;
	}
	e->crc_ok = true;
	return true;
}
