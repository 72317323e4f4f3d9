// SPDX-License-Identifier: MIT
// vemra-image sign: a minisign signature whose trusted comment says the
// image's version and the board it is for, as vemra-boot checks them.
#ifndef VEMRA_IMAGE_SIGN_H
#define VEMRA_IMAGE_SIGN_H

int cmd_sign(const char *path, const char *key, const char *version, const char *board);

#endif
