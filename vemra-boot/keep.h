// SPDX-License-Identifier: MIT
// What vemra-boot keeps beyond the reach of /user (wiped from the rescue
// console, not mounted, a file system that failed): the board's floor and
// the recovery image's signature. They live in a record in the last two
// erase sectors of the rescue partition, which a recovery image never
// reaches and the launcher never reads.
//
// Each write goes to the sector that does not hold the newest record,
// with a sequence number one higher and a CRC over its body, then is read
// back: a power cut, in an erase or in a program, leaves the newest record
// whole in the other sector, and the one cut short fails its CRC.
#ifndef VEMRA_BOOT_KEEP_H
#define VEMRA_BOOT_KEEP_H

#include "meta.h"

#include <cstdint>

struct kept_record {
	char floor[META_TEXT_MAX]; // a valid version, or "" when there is none
	char *signature;           // the recovery image's signature file (malloc'd), or NULL
	uint32_t signature_size;
};

// The rescue partition's size and erase sector, the flash opened
// (api_flash_init()); STATUS_OK, or the error said.
int rescue_geometry(uint32_t *partition, uint32_t *sector);
// The bytes from the start of the rescue partition that a recovery image
// may take: all but the record's two sectors.
uint32_t rescue_room(uint32_t partition, uint32_t sector);

// The newest record; an empty one on a board that never completed a
// write of it. False, said, when the sectors cannot be read, or hold
// something other than records (not what a write cut short leaves).
bool read_kept(kept_record *k);
// k as the newest record. False, said, when it could not be written
// whole, or does not fit a sector.
bool write_kept(const kept_record *k);
void free_kept(kept_record *k);

#endif
