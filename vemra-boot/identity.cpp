#include "identity.h"

#include "console.h"
#include "image.h"
#include "slots.h"

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

static const char FLOOR_NAME[] = "floor";

bool read_floor(char *version)
{
	char path[64];

	snprintf(path, sizeof path, "%s/%s", IMAGES_DIR, FLOOR_NAME);
	return read_line(path, version, version_valid, "a version");
}

bool write_floor(const char *version)
{
	char path[64], text[META_TEXT_MAX + 1];
	const int n = snprintf(text, sizeof text, "%s\n", version);

	snprintf(path, sizeof path, "%s/%s", IMAGES_DIR, FLOOR_NAME);
	return replace_file(path, (const uint8_t *)text, (uint32_t)n);
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
