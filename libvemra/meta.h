// SPDX-License-Identifier: MIT
// What a signed image says of itself, in its signature's trusted comment:
// the words version:V and board:B (vemra-image sign writes them). Versions
// are dot-separated decimal numbers, compared number by number, a missing
// one counting as 0: 1.10 is newer than 1.9, and 2.4 is 2.4.0.
#ifndef LIBVEMRA_META_H
#define LIBVEMRA_META_H

#include <cstddef>

constexpr size_t META_TEXT_MAX = 64; // a version or a board's string, with its NUL

struct image_meta {
	char version[META_TEXT_MAX]; // "" when the comment has none
	char board[META_TEXT_MAX];
};

// The words of a trusted comment, "" for one that is not there: NULL, or
// the name of a word that is there but is no valid version or board's
// string (empty, too long: cut to fit, or with other characters).
const char *meta_from_comment(const char *comment, image_meta *m);

// One to 8 numbers of 1 to 9 digits, separated by single dots, shorter
// than META_TEXT_MAX.
bool version_valid(const char *v);
// Below, equal to or above 0 as a is older than, the same as or newer
// than b. Total on any two strings (parts that are not numbers compare
// by their bytes), but only valid versions mean anything.
int version_compare(const char *a, const char *b);

// A board's string: 1 to 63 printable characters, no blank.
bool board_valid(const char *b);

#endif
