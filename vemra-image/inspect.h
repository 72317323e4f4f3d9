// SPDX-License-Identifier: MIT
// vemra-image list, verify and extract: what an image is, whether the
// launcher boots it (and the board takes its signature), its payload.
#ifndef VEMRA_IMAGE_INSPECT_H
#define VEMRA_IMAGE_INSPECT_H

int cmd_list(const char *path);
// key: a minisign public key, or nullptr; signature: the signature file,
// or nullptr for path.minisig.
int cmd_verify(const char *path, const char *key, const char *signature);
int cmd_extract(const char *path, const char *out);

#endif
