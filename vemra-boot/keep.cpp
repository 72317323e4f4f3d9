// SPDX-License-Identifier: MIT
#include "keep.h"

#include "board_api.h"
#include "console.h"
#include "crc.h"
#include "minisign.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

static const char RESCUE_DEVICE[] = BOARD_MTD_RESCUE;

// The most bytes the board layer's write holds at a time: one sector.
static const uint32_t SECTOR_MAX = 1024 * 1024;

// A record, big-endian: magic, sequence number, body length, CRC-32
// (JAMCRC) of the body; the body: the floor in FLOOR_FIELD bytes, NUL
// padded, the signature's length, the signature's bytes.
static const uint32_t MAGIC = 0x56424B52; // "VBKR"
static const uint32_t HEAD_SIZE = 16, FLOOR_FIELD = META_TEXT_MAX;
static const uint32_t BODY_MAX = FLOOR_FIELD + 4 + MINISIGN_FILE_MAX;

struct slot_read {
	bool valid, erased; // a whole record; a head that was never written
	uint32_t sequence;
};

int rescue_geometry(uint32_t *partition, uint32_t *sector)
{
	mtd_info_user info = {};

	if (api_flash_init() != 0) {
		error("no flash (cannot read the flash geometry)");
		return STATUS_ERROR;
	}
	if (rescue_fd < 0) {
		error("%s: cannot open", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	if (ioctl(rescue_fd, MEMGETINFO, &info) != 0) {
		error("%s: cannot read its size", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	*partition = info.size;
	*sector = info.erasesize;
	if (*sector == 0 || *sector > SECTOR_MAX || (*sector & (*sector - 1)) != 0 ||
	    *partition < 3 * *sector) {
		error("%s: %u bytes in erase sectors of %u bytes are not taken", RESCUE_DEVICE,
		      (unsigned)*partition, (unsigned)*sector);
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

uint32_t rescue_room(uint32_t partition, uint32_t sector)
{
	return partition - 2 * sector;
}

static uint32_t get_be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

// The record at offset parsed into k when it is whole (k's signature then
// malloc'd); false when the flash cannot be read.
static bool read_slot(uint32_t offset, uint32_t sector, uint8_t *buf, slot_read *s,
		      kept_record *k)
{
	uint32_t length, size;

	*s = slot_read{};
	if (api_flash_read(buf, rescue_fd, offset, HEAD_SIZE) != 0)
		return false;
	s->erased = get_be32(buf) == 0xFFFFFFFF && get_be32(buf + 4) == 0xFFFFFFFF;
	length = get_be32(buf + 8);
	if (get_be32(buf) != MAGIC || length < FLOOR_FIELD + 4 || length > BODY_MAX ||
	    length > sector - HEAD_SIZE)
		return true;
	if (api_flash_read(buf + HEAD_SIZE, rescue_fd, offset + HEAD_SIZE, length) != 0)
		return false;
	size = get_be32(buf + HEAD_SIZE + FLOOR_FIELD);
	if (gen_crc(buf + HEAD_SIZE, length, 0xFFFFFFFF) != get_be32(buf + 12) ||
	    size != length - FLOOR_FIELD - 4 || buf[HEAD_SIZE + FLOOR_FIELD - 1] != '\0')
		return true;
	memcpy(k->floor, buf + HEAD_SIZE, FLOOR_FIELD);
	if (k->floor[0] && !version_valid(k->floor))
		return true;
	if (size) {
		k->signature = (char *)malloc(size);
		if (!k->signature)
			return false;
		memcpy(k->signature, buf + HEAD_SIZE + FLOOR_FIELD + 4, size);
	}
	k->signature_size = size;
	s->valid = true;
	s->sequence = get_be32(buf + 4);
	return true;
}

// Both sectors read: the newest record into k, its sector's index into
// *newest (-1: none). False, said, as read_kept().
static bool read_both(uint32_t partition, uint32_t sector, kept_record *k, int *newest,
		      uint32_t *sequence)
{
	uint8_t *buf = (uint8_t *)malloc(HEAD_SIZE + BODY_MAX);
	kept_record r[2] = {};
	slot_read s[2];
	bool ok = buf != NULL;

	*k = kept_record{};
	for (int i = 0; ok && i < 2; i++)
		ok = read_slot(partition - (2 - i) * sector, sector, buf, &s[i], &r[i]);
	free(buf);
	*newest = -1;
	if (ok)
		*newest = s[0].valid && (!s[1].valid || s[0].sequence > s[1].sequence) ? 0
			  : s[1].valid ? 1 : -1;
	if (*newest >= 0) {
		*k = r[*newest];
		*sequence = s[*newest].sequence;
		free_kept(&r[1 - *newest]);
	} else {
		free_kept(&r[0]);
		free_kept(&r[1]);
	}
	if (!ok)
		error("%s: cannot read the floor and the recovery signature", RESCUE_DEVICE);
	// Writes go to the first sector while neither holds a record, so the
	// second is written only beside a whole record in the first.
	else if (*newest < 0 && !s[1].erased) {
		error("%s: its last two sectors hold no floor that reads whole", RESCUE_DEVICE);
		ok = false;
	}
	return ok;
}

bool read_kept(kept_record *k)
{
	uint32_t partition, sector, sequence;
	int newest;

	*k = kept_record{};
	return rescue_geometry(&partition, &sector) == STATUS_OK &&
	       read_both(partition, sector, k, &newest, &sequence);
}

// The record's bytes (size bytes, malloc'd), or NULL.
static uint8_t *encode(const kept_record *k, uint32_t sequence, uint32_t size)
{
	const uint32_t length = size - HEAD_SIZE;
	uint8_t *buf = (uint8_t *)calloc(1, size);

	if (!buf)
		return NULL;
	put_be32(buf, MAGIC);
	put_be32(buf + 4, sequence);
	put_be32(buf + 8, length);
	memcpy(buf + HEAD_SIZE, k->floor, strnlen(k->floor, FLOOR_FIELD - 1));
	put_be32(buf + HEAD_SIZE + FLOOR_FIELD, k->signature_size);
	if (k->signature_size)
		memcpy(buf + HEAD_SIZE + FLOOR_FIELD + 4, k->signature, k->signature_size);
	put_be32(buf + 12, gen_crc(buf + HEAD_SIZE, length, 0xFFFFFFFF));
	return buf;
}

// The record read back is the one written, in the sector it went to.
static bool written_whole(uint32_t partition, uint32_t sector, const kept_record *k, int target)
{
	kept_record back;
	uint32_t sequence;
	int newest;
	bool same = read_both(partition, sector, &back, &newest, &sequence) && newest == target &&
		    strcmp(back.floor, k->floor) == 0 && back.signature_size == k->signature_size &&
		    (!k->signature_size || memcmp(back.signature, k->signature, k->signature_size) == 0);

	free_kept(&back);
	return same;
}

bool write_kept(const kept_record *k)
{
	const uint32_t size = HEAD_SIZE + FLOOR_FIELD + 4 + k->signature_size;
	uint32_t partition, sector, sequence = 0;
	kept_record old;
	int newest, target, saved, written;
	uint8_t *buf;

	if (rescue_geometry(&partition, &sector) != STATUS_OK ||
	    !read_both(partition, sector, &old, &newest, &sequence))
		return false;
	free_kept(&old);
	if (k->signature_size > MINISIGN_FILE_MAX || size > sector) {
		error("%s: %u bytes of floor and signature do not fit a sector", RESCUE_DEVICE,
		      (unsigned)size);
		return false;
	}
	buf = encode(k, newest < 0 ? 1 : sequence + 1, size);
	if (!buf) {
		error("%s: %s", RESCUE_DEVICE, strerror(ENOMEM));
		return false;
	}
	target = newest == 0 ? 1 : 0;
	saved = quiet_stdout();
	written = api_flash_write(buf, rescue_fd, partition - (2 - target) * sector, size);
	restore_stdout(saved);
	free(buf);
	if (written != 0 || !written_whole(partition, sector, k, target)) {
		error("%s: the floor and the recovery signature could not be written", RESCUE_DEVICE);
		return false;
	}
	return true;
}

void free_kept(kept_record *k)
{
	free(k->signature);
	k->signature = NULL;
	k->signature_size = 0;
}
