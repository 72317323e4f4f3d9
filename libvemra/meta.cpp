// SPDX-License-Identifier: MIT
#include "meta.h"

#include "minisign.h"

#include <cctype>
#include <cstring>

static const int VERSION_PARTS_MAX = 8, PART_DIGITS_MAX = 9;

// The word into value: true when it is not there, or is whole and valid.
static bool take_word(const char *comment, const char *name, char *value, bool (*valid)(const char *))
{
	bool whole = true;

	if (!minisign_word(comment, name, value, META_TEXT_MAX, &whole)) {
		value[0] = '\0';
		return true;
	}
	return whole && valid(value);
}

const char *meta_from_comment(const char *comment, image_meta *m)
{
	const bool version = take_word(comment, "version", m->version, version_valid);
	const bool board = take_word(comment, "board", m->board, board_valid);

	return !version ? "version" : !board ? "board" : NULL;
}

bool version_valid(const char *v)
{
	if (strlen(v) >= META_TEXT_MAX)
		return false;
	for (int part = 0; part < VERSION_PARTS_MAX; part++) {
		const size_t digits = strspn(v, "0123456789");

		if (digits == 0 || digits > PART_DIGITS_MAX)
			return false;
		v += digits;
		if (*v == '\0')
			return true;
		if (*v++ != '.')
			return false;
	}
	return false;
}

// One part of a version: its bytes up to the next dot, leading zeros
// dropped; *next is past the dot.
static void version_part(const char *v, const char **part, size_t *len, const char **next)
{
	const size_t n = strcspn(v, ".");
	size_t zeros = 0;

	while (zeros < n && v[zeros] == '0')
		zeros++;
	*part = v + zeros;
	*len = n - zeros;
	*next = v + n + (v[n] == '.');
}

// Part by part, the longer number the larger, else byte by byte: no
// conversion that can overflow, and every step consumes a part, so that
// any two strings compare and the comparison ends.
int version_compare(const char *a, const char *b)
{
	while (*a || *b) {
		const char *pa, *pb;
		size_t la, lb;
		int d;

		version_part(a, &pa, &la, &a);
		version_part(b, &pb, &lb, &b);
		if (la != lb)
			return la < lb ? -1 : 1;
		d = memcmp(pa, pb, la);
		if (d)
			return d < 0 ? -1 : 1;
	}
	return 0;
}

bool board_valid(const char *b)
{
	const size_t n = strlen(b);

	if (n == 0 || n >= META_TEXT_MAX)
		return false;
	for (size_t i = 0; i < n; i++)
		if (!isgraph((unsigned char)b[i]))
			return false;
	return true;
}
