// SPDX-License-Identifier: MIT
// vemra-image create: an image container around a gzip-compressed tar
// archive, given or packed here from a tree.
#ifndef VEMRA_IMAGE_CREATE_H
#define VEMRA_IMAGE_CREATE_H

#include <cstdint>

// Exactly one of payload (a file) and dir (a tree to pack) is given.
int cmd_create(const char *out, uint32_t reserved, const char *payload, const char *dir);

#endif
