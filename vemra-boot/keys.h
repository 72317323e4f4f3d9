// SPDX-License-Identifier: MIT
// The keys the board trusts (/etc/vemra-boot/keys/*.pub) and an image's
// signature file, checked against them before the image's bytes are read.
#ifndef VEMRA_BOOT_KEYS_H
#define VEMRA_BOOT_KEYS_H

#include "input.h"
#include "minisign.h"

#include <cstddef>
#include <cstdint>

// The board trusts a few keys, not a key ring.
static const int KEYS_MAX = 16;

// The legacy form signs the bytes themselves, not their hash: the image
// must be whole in memory to check it, so it is taken only up to here.
static const uint32_t LEGACY_MAX = 1024 * 1024;

// The trusted keys (at most keys_max). Only a folder that is not there
// holds none: one that cannot be listed or holds no *.pub, a link to
// nothing in its place, or a key that cannot be read, is -1, said, so
// that signatures are never skipped by mistake.
int read_trusted_keys(minisign_key *keys, int keys_max);

// How many keys /etc/vemra-boot/keys holds (*.pub), 0 when there is no
// such folder; -1, said, as read_trusted_keys(). With none, signatures
// are not required.
int trusted_key_count(void);

// With trusted keys, the signature of the image in `in` (the file
// `signature`, or FILE.minisig): parsed, its key trusted, its trusted
// comment signed, the board and version it names allowed on this board.
// What it says is kept in `in`. STATUS_OK (also with no keys, when no
// signature is named), or the refusal or error said.
int check_signature(const char *signature, const destination *to, input *in);

// The whole file of at most max bytes, malloc'd; false, with errno
// (EFBIG: larger), when it cannot be read or held.
bool read_whole(const char *path, uint8_t **bytes, uint32_t *size, size_t max);

#endif
