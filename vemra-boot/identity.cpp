// SPDX-License-Identifier: MIT
#include "identity.h"

#include "board_config.h"
#include "console.h"
#include "image.h"
#include "keep.h"

#include <cerrno>
#include <cstdio>
#include <cstring>


static const char BOARD_FILE[] = "/etc/vemra-boot/board";

// The first line of a small file, its newline dropped; "" when the file
// is not there. False, said, when it cannot be read or the line is not
// what valid() takes.
static bool read_line(const char *path, char *out, bool (*valid)(const char *), const char *what)
{
	FILE *f = fopen(path, "r");
	char line[META_TEXT_MAX + 1] = "";

	out[0] = '\0';
	if (!f && errno == ENOENT)
		return true;
	if (!f || (!fgets(line, sizeof line, f) && ferror(f))) {
		error("%s: %s", path, strerror(f ? EIO : errno));
		if (f)
			fclose(f);
		return false;
	}
	fclose(f);
	line[strcspn(line, "\n")] = '\0';
	if (!valid(line)) {
		error("%s: not %s: '%s'", path, what, line);
		return false;
	}
	memcpy(out, line, strlen(line) + 1); // valid: shorter than META_TEXT_MAX
	return true;
}

bool read_board(char *board)
{
	return read_line(BOARD_FILE, board, board_valid, "a board's string");
}

// Where boards kept the floor before it moved to the rescue partition:
// read still, never written; the higher of the two counts.
static const char LEGACY_FLOOR[] = BOARD_IMAGES_DIR "/floor";

// The higher of two versions, either "" (none).
static const char *higher(const char *a, const char *b)
{
	return !b[0] || (a[0] && version_compare(a, b) >= 0) ? a : b;
}

// The kept record and the legacy floor; false, said, when either cannot
// be read.
static bool read_floors(kept_record *k, char *legacy)
{
	if (!read_kept(k))
		return false;
	if (read_line(LEGACY_FLOOR, legacy, version_valid, "a version"))
		return true;
	free_kept(k);
	return false;
}

bool read_floor(char *version)
{
	kept_record k;
	char legacy[META_TEXT_MAX];

	if (!read_floors(&k, legacy))
		return false;
	memcpy(version, higher(k.floor, legacy), META_TEXT_MAX);
	free_kept(&k);
	return true;
}

bool write_floor(const char *version)
{
	kept_record k;
	char legacy[META_TEXT_MAX];
	const char *floor;
	bool ok = true;

	if (!version_valid(version)) {
		error("not a version for the floor: '%s'", version);
		return false;
	}
	if (!read_floors(&k, legacy))
		return false;
	floor = higher(higher(k.floor, legacy), version);
	if (strcmp(floor, k.floor) != 0) {
		snprintf(k.floor, sizeof k.floor, "%s", floor);
		ok = write_kept(&k);
	}
	free_kept(&k);
	return ok;
}

int check_identity(const char *file, const image_meta *m, bool allow_downgrade)
{
	char board[META_TEXT_MAX], floor[META_TEXT_MAX];

	if (!read_board(board) || !read_floor(floor))
		return STATUS_ERROR;
	if (board[0] && strcmp(board, m->board) != 0) {
		if (m->board[0])
			error("%s: signed for board %s, not for this board (%s)", file, m->board, board);
		else
			error("%s: signed for no board, and this board is %s", file, board);
		return STATUS_REFUSED;
	}
	if (!floor[0] || (m->version[0] && version_compare(m->version, floor) >= 0))
		return STATUS_OK;
	if (!m->version[0]) {
		error("%s: signed without a version, and this board's floor is %s", file, floor);
		return STATUS_REFUSED;
	}
	if (!allow_downgrade) {
		error("%s: version %s is older than this board's floor %s (--allow-downgrade installs it)",
		      file, m->version, floor);
		return STATUS_REFUSED;
	}
	printf("%s: version %s is older than this board's floor %s: installed as asked\n", file,
	       m->version, floor);
	return STATUS_OK;
}
