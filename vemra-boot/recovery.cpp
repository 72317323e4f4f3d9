#include "recovery.h"

#include "board_api.h"
#include "console.h"
#include "image.h"
#include "input.h"
#include "slots.h"

#include <cstdio>

static const char RESCUE_DEVICE[] = "/dev/mtd-rescue";

// The flash and the rescue partition are there, and their size known.
static int rescue_ready(uint32_t *partition)
{
	if (api_flash_init() != 0) {
		error("no flash (cannot read the flash geometry)");
		return STATUS_ERROR;
	}
	if (rescue_fd < 0) {
		error("%s: cannot open", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	if (!mtd_get_size(rescue_fd, partition)) {
		error("%s: cannot read its size", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

// Why a write cut short (power lost, the process killed) never boots:
//
// 1. The erase of bytes 0 to 15 erases the whole sector that holds the
//    header first. From then on the magic reads 0xFFFFFFFF and the
//    launcher finds no recovery image ("Image not found... ").
// 2. The write then goes sector by sector from sector 0, each sector read,
//    erased and written back in 1024-byte pieces; the first piece carries
//    the header. Until that piece is on the flash there is no magic.
//    After it, the bytes not yet written hold erased flash (0xFF), a
//    partly programmed piece or the old image, so the JAMCRC over the
//    length + 12 bytes that the header covers does not match ("Image CRC
//    failed. Quitting") and the launcher reboots instead of handing over.
//    A cut image whose bytes differ from the new one passes the 32-bit
//    checksum only by chance, once in about 2^32.
//
// No order of writes through the board layer can do without the
// checksum: every write to sector 0 erases it whole and writes its first
// piece, the header, before the rest of the sector.
static int write_rescue(const uint8_t *image, uint32_t size)
{
	if (api_flash_erase(rescue_fd, 0, IMAGE_HEADER_SIZE) != 0 ||
	    api_flash_write(image, rescue_fd, 0, size) != 0) {
		error("%s: write failed", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

struct expected_bytes {
	const uint8_t *image;
	uint32_t size;
	uint32_t differs_at; // UINT32_MAX: no difference yet
};

// Notes the first byte read back that differs from the image written (or
// lies beyond it, when the length read back is larger).
static bool compare_piece(const image_sink *sink, uint32_t offset, const uint8_t *bytes,
			  uint32_t count)
{
	expected_bytes *e = (expected_bytes *)sink->ctx;

	for (uint32_t i = 0; i < count && e->differs_at == UINT32_MAX; i++)
		if (offset + i >= e->size || bytes[i] != e->image[offset + i])
			e->differs_at = offset + i;
	return true;
}

// Reads the image back from the flash, checks it and compares it with
// what was written.
static int verify_rescue(const uint8_t *image, uint32_t size, uint32_t partition)
{
	expected_bytes e = { image, size, UINT32_MAX };
	const image_sink sink = { compare_piece, &e };
	const image_source src = flash_source(rescue_fd, partition);
	image_check c;

	image_check_all(&src, &c, piece, sizeof piece, &sink);
	if (e.differs_at != UINT32_MAX) {
		error("%s: read back differs at byte %u", RESCUE_DEVICE, (unsigned)e.differs_at);
		return STATUS_ERROR;
	}
	if (c.state != IMAGE_VALID) {
		error("%s: %s after the write", RESCUE_DEVICE, verdict(c.state));
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

// A FILE larger than the partition is refused before it is read.
int cmd_recovery(const char *file, const char *signature, bool allow_downgrade)
{
	uint32_t partition = 0, size;
	input in = {};
	int status = rescue_ready(&partition);
	const destination to = { partition, "the rescue partition", allow_downgrade };

	if (status == STATUS_OK)
		status = load_input(file, signature, &to, &in);
	size = image_size(&in.check.header);
	if (status == STATUS_OK)
		status = write_rescue(in.bytes, size);
	if (status == STATUS_OK)
		status = verify_rescue(in.bytes, size, partition);
	if (status == STATUS_OK)
		printf("recovery image written: length %u, crc 0x%08x\n",
		       (unsigned)in.check.header.length, (unsigned)in.check.header.crc);
	free_input(&in);
	return status;
}
