// SPDX-License-Identifier: MIT
// The image slots /user/images/image1 and image2 as the launcher reads
// them, and the buffer that vemra-boot reads every image through.
#ifndef VEMRA_BOOT_SLOTS_H
#define VEMRA_BOOT_SLOTS_H

#include "image.h"

#include <cstdint>

// Images are read in pieces of this buffer's size, whatever their length.
extern uint8_t piece[64 * 1024];

// What the launcher makes of an image: "valid", "invalid-header" (it goes
// on to the next image) or "checksum-failed" (every other failure).
const char *verdict(image_state s);

// Checks the image in a file. False, with errno, when the file cannot be
// opened or read.
bool check_file(const char *path, image_check *c);

// The image in slot n: STATUS_OK when the launcher boots it, otherwise
// the refusal or the error said in one line.
int check_slot(int n, image_check *c);

// /user is the mounted filesystem the slots live on (said when not).
bool user_mounted(void);

// Puts a directory's entries on disk; false with errno.
bool sync_dir(const char *path);

// count bytes written whole; false with errno.
bool write_all(int fd, const uint8_t *buf, uint32_t count);

// A file made anew at path, open for reading and writing, or -1 with
// errno: what the name held is removed first, since a power cut inside a
// rename can leave it as a second link to the file renamed over, and the
// new file is created exclusively, never through a link.
int create_anew(const char *path);
// Bytes into a new file temp beside their place, on disk; removed with the
// reason said when they cannot be written whole.
bool write_beside(const char *temp, const uint8_t *bytes, uint32_t size);
// A file of /user/images replaced whole: the bytes written beside it
// (path.new), renamed over it, the folder put on disk. A power cut leaves
// the old file or the new one. False, said.
bool replace_file(const char *path, const uint8_t *bytes, uint32_t size);

#endif
