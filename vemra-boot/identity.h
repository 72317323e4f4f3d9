// SPDX-License-Identifier: MIT
// Which images this board takes, when it trusts keys: the board's own
// string, against the board: word of an image's signed comment, and its
// floor, the version of the last image confirmed or installed without a
// trial, against the version: word.
#ifndef VEMRA_BOOT_IDENTITY_H
#define VEMRA_BOOT_IDENTITY_H

#include "meta.h"

// The board's string (META_TEXT_MAX bytes): the one line of
// /etc/vemra-boot/board, "" when there is no such file. False, said, when
// it cannot be read or holds no board's string.
bool read_board(char *board);
// The floor (META_TEXT_MAX bytes), kept in the rescue partition; "" on
// a board that never had one. False, said, when it cannot be read.
bool read_floor(char *version);
// The floor raised to version when that is higher; a lower one leaves it
// as it is. False, said, when it could not be written whole (the old
// floor then holds).
bool write_floor(const char *version);

// An image signed for this board and not older than its floor, unless a
// person allows the downgrade (said on stdout): STATUS_OK, or the refusal
// or the error said in one line.
int check_identity(const char *file, const image_meta *m, bool allow_downgrade);

#endif
