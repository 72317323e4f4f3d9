#include "meta.h"

#include "minisign.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

static const int VERSION_PARTS_MAX = 8, PART_DIGITS_MAX = 9;

void meta_from_comment(const char *comment, image_meta *m)
{
	if (!minisign_word(comment, "version", m->version, sizeof m->version))
		m->version[0] = '\0';
	if (!minisign_word(comment, "board", m->board, sizeof m->board))
		m->board[0] = '\0';
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

int version_compare(const char *a, const char *b)
{
	while (*a || *b) {
		char *end_a, *end_b;
		const unsigned long x = *a ? strtoul(a, &end_a, 10) : 0;
		const unsigned long y = *b ? strtoul(b, &end_b, 10) : 0;

		if (x != y)
			return x < y ? -1 : 1;
		a = *a ? end_a + (*end_a == '.') : a;
		b = *b ? end_b + (*end_b == '.') : b;
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
