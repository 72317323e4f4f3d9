// SPDX-License-Identifier: MIT
#include "recovery.h"

#include "board_api.h"
#include "console.h"
#include "image.h"
#include "input.h"
#include "keep.h"
#include "slots.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>


static const char RESCUE_DEVICE[] = BOARD_MTD_RESCUE;

// The image goes to the partition sector by sector as it arrives, each
// sector gathered first, so that the board layer's read-modify-erase-write
// takes each sector once.
struct rescue_writer {
	input *in;
	uint8_t *sector;
	uint32_t size; // of a sector
	uint32_t base; // where the sector being gathered starts
	uint32_t filled;
};

// The header's 16 bytes stay erased until the image is checked.
static bool write_gathered(rescue_writer *w)
{
	const uint32_t skip = w->base == 0 ? IMAGE_HEADER_SIZE : 0;

	if (w->filled > skip &&
	    api_flash_write(w->sector + skip, rescue_fd, w->base + skip, w->filled - skip) != 0) {
		error("%s: write failed", RESCUE_DEVICE);
		return false;
	}
	w->base += w->filled;
	w->filled = 0;
	return true;
}

static bool put_sector(const image_sink *sink, uint32_t offset, const uint8_t *bytes,
		       uint32_t count)
{
	rescue_writer *w = (rescue_writer *)sink->ctx;
	const uint32_t end = image_size(&w->in->check.header);

	while (count > 0) {
		const uint32_t n = count < w->size - w->filled ? count : w->size - w->filled;

		memcpy(w->sector + w->filled, bytes, n);
		w->filled += n;
		bytes += n;
		count -= n;
		offset += n;
		if ((w->filled == w->size || offset == end) && !write_gathered(w))
			return false;
	}
	return true;
}

// The image as it will be: its header from memory, the rest from the
// partition.
static int64_t headed_read(const image_source *src, uint32_t offset, uint8_t *buf,
			   uint32_t count)
{
	const image_source flash = flash_source(src->fd, src->end);
	const uint32_t head =
		offset >= IMAGE_HEADER_SIZE ? 0
		: IMAGE_HEADER_SIZE - offset < count ? IMAGE_HEADER_SIZE - offset : count;
	int64_t got = 0;

	memcpy(buf, src->bytes + offset, head);
	if (count > head)
		got = flash.read(&flash, offset + head, buf + head, count - head);
	return got < 0 ? -1 : head + got;
}

// Once the header is written: the partition holds the image checked, as
// the launcher will read it (the rest of sector 0 was written again with
// the header).
static int header_holds(const input *in, uint32_t partition)
{
	const image_source src = flash_source(rescue_fd, partition);
	image_check c;

	image_check_all(&src, &c, piece, sizeof piece, NULL);
	if (c.state == IMAGE_VALID && c.header.crc == in->check.header.crc &&
	    c.header.length == in->check.header.length)
		return STATUS_OK;
	error("%s: %s after the header was written", RESCUE_DEVICE, verdict(c.state));
	return STATUS_ERROR;
}

// With trusted keys, the image's signature is kept before its header is
// written: a recovery image that boots has its own signature beside it
// (a cut between them leaves the new signature beside an image that does
// not boot).
static bool keep_signature(const input *in)
{
	kept_record k;
	bool ok;

	if (!read_kept(&k))
		return false;
	free_kept(&k);
	k.signature = in->signature;
	k.signature_size = in->signature_size;
	ok = write_kept(&k);
	k.signature = NULL;
	return ok;
}

// Why a write cut short (power lost, the process killed) never boots:
//
// 1. The erase of bytes 0 to 15 erases the whole sector that holds the
//    header first. From then on the magic reads 0xFFFFFFFF and the
//    launcher finds no recovery image ("Image not found... ").
// 2. The image then goes sector by sector from sector 0, its header left
//    erased, and is read back and checked (and its signature with it)
//    with the header taken from memory. Until then the magic stays erased.
// 3. Only then is the header written: sector 0 is read, erased and
//    written back in 1024-byte pieces, the header in the first. A cut
//    after that piece leaves the rest of the sector erased or partly
//    programmed, so the JAMCRC over the length + 12 bytes that the header
//    covers does not match ("Image CRC failed. Quitting") and the launcher
//    reboots instead of handing over; such an image passes the 32-bit
//    checksum only by chance, once in about 2^32.
//
// No order of writes through the board layer can do without the checksum:
// every write to sector 0 erases it whole and writes its first piece, the
// header, before the rest of the sector.
static int write_rescue(input *in, uint32_t partition, uint32_t sector)
{
	rescue_writer w = { in, (uint8_t *)malloc(sector), sector, 0, 0 };
	const image_sink sink = { put_sector, &w };
	uint8_t head[IMAGE_HEADER_SIZE];
	image_source src = flash_source(rescue_fd, partition);
	int status = STATUS_ERROR;

	encode_image_header(&in->check.header, head);
	src.read = headed_read;
	src.bytes = head;
	if (!w.sector)
		error("%s: %s", RESCUE_DEVICE, strerror(ENOMEM));
	else if (api_flash_erase(rescue_fd, 0, IMAGE_HEADER_SIZE) != 0)
		error("%s: write failed", RESCUE_DEVICE);
	else
		status = receive_input(in, &sink);
	free(w.sector);
	if (status == STATUS_OK)
		status = check_written(in, &src, RESCUE_DEVICE);
	if (status == STATUS_OK && in->signed_image && !keep_signature(in))
		status = STATUS_ERROR;
	if (status == STATUS_OK && api_flash_write(head, rescue_fd, 0, IMAGE_HEADER_SIZE) != 0) {
		error("%s: write failed", RESCUE_DEVICE);
		status = STATUS_ERROR;
	}
	return status == STATUS_OK ? header_holds(in, partition) : status;
}

// A FILE larger than the partition's room (all but the last two sectors,
// where the floor and this signature are kept) is refused before it is
// read; a FILE is checked whole before the partition is touched.
int cmd_recovery(const char *file, const char *signature, bool allow_downgrade)
{
	uint32_t partition = 0, sector = 0;
	input in = {};
	int status = rescue_geometry(&partition, &sector);
	const destination to = { rescue_room(partition, sector), "the rescue partition",
				 allow_downgrade };

	if (status == STATUS_OK)
		status = open_input(file, signature, &to, &in);
	if (status == STATUS_OK)
		status = check_file_first(&in);
	in.progress_lines = true; // the board layer prints its lines between
	if (status == STATUS_OK)
		status = write_rescue(&in, to.room, sector);
	if (status == STATUS_OK)
		printf("recovery image written: length %u, crc 0x%08x\n",
		       (unsigned)in.check.header.length, (unsigned)in.check.header.crc);
	close_input(&in);
	return status;
}
