// SPDX-License-Identifier: MIT
// Flash partitions: the MTD character devices, the flash geometry, reads,
// and sector-wise writes and erases.
//
// Layers, each with its own argument order:
//   api_flash_*  buffer, fd, offset, length   0 / -1
//   flash_*      buffer, fd, length, offset   1 / 0
//   mtd_*        fd, offset, length, buffer   1 / 0
// Offset arithmetic is unsigned 32-bit and wraps modulo 2^32.
#include "board_api.h"
#include "flash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

int uboot_fd;
int uboot_env_fd;
int device_tree_fd;
int kernel_fd;
int rfs_fd;
int rescue_fd;
int flash_fd;

int debug_read;
int debug_write;
int debug_erase;

flash_desc theFlash = { "unknown", 0, 0, 0, 0 };

// Pieces in which a sector is written back.
constexpr uint32_t WRITE_PIECE = 1024;

// The partitions, in the order they are opened. The rescue partition is
// opened without O_SYNC. None is opened close-on-exec: the descriptors
// stay open across the hand-over to the application.
static const struct {
	int *fd;
	const char *path;
	int flags;
} partitions[] = {
	{ &uboot_fd, BOARD_MTD_UBOOT, O_RDWR | O_SYNC },
	{ &uboot_env_fd, BOARD_MTD_ENV, O_RDWR | O_SYNC },
	{ &device_tree_fd, BOARD_MTD_DEVICETREE, O_RDWR | O_SYNC },
	{ &kernel_fd, BOARD_MTD_KERNEL, O_RDWR | O_SYNC },
	{ &rfs_fd, BOARD_MTD_RFS, O_RDWR | O_SYNC },
	{ &rescue_fd, BOARD_MTD_RESCUE, O_RDWR },
};

// "%08lx" takes an unsigned long: 64 bits on the build host, 32 on the board.
static unsigned long ul(uint32_t v)
{
	return v;
}

static unsigned long addr(const void *p)
{
	return reinterpret_cast<uintptr_t>(p);
}

static void mtd_open(void)
{
	for (const auto &p : partitions)
		*p.fd = open(p.path, p.flags);
	flash_fd = kernel_fd;
}

// Reads the geometry of the kernel partition into theFlash.
static int mtd_type(void)
{
	struct mtd_info_user info;

	if (ioctl(flash_fd, MEMGETINFO, &info) != 0) {
		printf("Could not get MTD device info \n");
		return 0;
	}
	// An erase size of 0 has no sectors: sectors and sector_size are 0,
	// sector_shift keeps its value. The partition still serves reads;
	// writes and erases refuse its geometry (see geometry_ok()).
	theFlash.sectors = info.erasesize ? info.size / info.erasesize : 0;
	theFlash.sector_size = info.erasesize;
	for (int i = 0; i < 32; i++) {
		if (info.erasesize & (1u << i)) {
			theFlash.sector_shift = i;
			break;
		}
	}
	snprintf(theFlash.desc, sizeof theFlash.desc, "%dMB w/%ld-%ldKB sectors",
		 static_cast<int>(info.size >> 20), static_cast<long>(theFlash.sectors),
		 static_cast<long>(theFlash.sector_size >> 10));
	theFlash.size = info.size;
	if (theFlash.size == 0) {
		printf("NO FLASH !\n");
		return 0;
	}
	return 1;
}

static int flash_open(void)
{
	mtd_open();
	return mtd_type();
}

int api_flash_init(void)
{
	return flash_open() ? 0 : -1;
}

int mtd_get_size(int fd, uint32_t *size_out)
{
	struct mtd_info_user info;

	if (ioctl(fd, MEMGETINFO, &info) != 0)
		return 0;
	*size_out = info.size;
	return 1;
}

// A short transfer, even of no bytes, is no failure: only a negative
// result is.
static int mtd_read(int fd, uint32_t offset, uint32_t length, uint8_t *buffer)
{
	if (debug_read)
		printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", ul(offset),
		       ul(offset + length - 1), addr(buffer));
	return pread(fd, buffer, length, offset) >= 0;
}

static int mtd_write(int fd, uint32_t offset, uint32_t length, const uint8_t *buffer)
{
	if (debug_write)
		printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", ul(offset),
		       ul(offset + length - 1), addr(buffer));
	return pwrite(fd, buffer, length, offset) >= 0;
}

static int mtd_erase(int fd, uint32_t offset, uint32_t length)
{
	struct erase_info_user erase;

	if (debug_erase)
		printf("mtd erase 0x%08lx to 0x%08lx\n", ul(offset), ul(offset + length - 1));
	erase.start = offset;
	erase.length = length;
	return ioctl(fd, MEMERASE, &erase) >= 0;
}

static int flash_read(uint8_t *buffer, int fd, uint32_t length, uint32_t offset)
{
	if (debug_read)
		printf("Flash Read 0x%08lx to 0x%08lx\n", ul(offset), ul(offset + length - 1));
	return mtd_read(fd, offset, length, buffer);
}

int api_flash_read(uint8_t *buffer, int fd, uint32_t offset, uint32_t length)
{
	if (theFlash.size == 0)
		return -1;
	return flash_read(buffer, fd, length, offset) ? 0 : -1;
}

// The sectors that bytes offset to offset + length - 1 touch. A length of
// 0 at a sector boundary touches none; inside a sector it touches that one.
struct sector_span {
	uint32_t first;    // start of the first sector
	uint32_t last_end; // last byte of the last sector
	uint32_t count;
};

static sector_span span_of(uint32_t offset, uint32_t length)
{
	const uint32_t mask = 0u - theFlash.sector_size;
	sector_span s;

	s.first = offset & mask;
	s.last_end = ((offset + length - 1) & mask) + theFlash.sector_size - 1;
	s.count = (s.last_end - s.first + 1) >> theFlash.sector_shift;
	return s;
}

// The span arithmetic follows sector boundaries only for a power-of-two
// sector size, and the write-back pieces cover a sector exactly only for
// a multiple of their size. Any other geometry (an erase size of 0
// included) is refused rather than bent: a write or erase must never
// reach a byte outside the sectors its range touches.
static bool geometry_ok(void)
{
	const uint32_t size = theFlash.sector_size;

	return size >= WRITE_PIECE && (size & (size - 1)) == 0;
}

// A range that runs past the last 32-bit offset would wrap around to the
// start of the partition; no partition reaches that far, so it is refused.
static bool range_ok(uint32_t offset, uint32_t length)
{
	return static_cast<uint64_t>(offset) + length <= UINT64_C(1) << 32;
}

static bool request_ok(const char *what, uint32_t offset, uint32_t length)
{
	if (!geometry_ok()) {
		printf("Flash %s refused: sector size %lu is not a power of two of at least %lu\n",
		       what, ul(theFlash.sector_size), ul(WRITE_PIECE));
		return false;
	}
	if (!range_ok(offset, length)) {
		printf("Flash %s refused: 0x%08lx bytes at 0x%08lx run past 4 GiB\n",
		       what, ul(length), ul(offset));
		return false;
	}
	return true;
}

// Read-modify-erase-write of one sector: count bytes of src go to position
// pos of the sector; the other bytes keep their contents.
static int write_sector(int fd, uint32_t sector, uint8_t *work,
			const uint8_t *src, uint32_t pos, uint32_t count)
{
	const uint32_t size = theFlash.sector_size;

	memset(work, 0, size);
	if (!mtd_read(fd, sector, size, work)) {
		printf("Flash Write mtd read failed.\n");
		return 0;
	}
	if (count)
		memcpy(work + pos, src, count);
	if (!mtd_erase(fd, sector, size)) {
		printf("Flash Write mtd erase failed.\n");
		return 0;
	}
	for (uint32_t p = 0; p < size; p += WRITE_PIECE) {
		if (!mtd_write(fd, sector + p, WRITE_PIECE, work + p)) {
			printf("Flash Write mtd write failed.\n");
			return 0;
		}
	}
	printf(".");
	fflush(stdout); // progress shows sector by sector
	return 1;
}

static int flash_write(const uint8_t *buffer, int fd, uint32_t length, uint32_t offset)
{
	const uint32_t size = theFlash.sector_size;
	const sector_span span = span_of(offset, length);
	uint8_t *work = static_cast<uint8_t *>(malloc(static_cast<size_t>(size) + WRITE_PIECE));
	uint32_t sector = span.first, done = 0;
	int ok = 1;

	printf("Flash Write 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", ul(offset),
	       ul(offset + length - 1), ul(span.first), ul(span.last_end),
	       static_cast<long>(span.count));
	if (!work) {
		printf("Flash Write malloc failed\n");
		return 0;
	}
	printf("\n");
	for (uint32_t i = 0; i < span.count; i++) {
		uint32_t pos = 0, count = size;

		if (span.count == 1) {
			pos = offset - sector;
			count = length;
		} else if (i == 0) {
			pos = offset - sector;
			count = size - pos;
		} else if (i == span.count - 1) {
			count = length - done;
		}
		if (!write_sector(fd, sector, work, buffer + done, pos, count)) {
			ok = 0;
			break;
		}
		sector += size;
		done += count;
	}
	printf("\n");
	free(work);
	return ok;
}

static int flash_erase(int fd, uint32_t length, uint32_t offset)
{
	const uint32_t size = theFlash.sector_size;
	const sector_span span = span_of(offset, length);
	uint32_t sector = span.first;

	if (debug_erase)
		printf("Flash Erase 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", ul(offset),
		       ul(offset + length - 1), ul(span.first), ul(span.last_end),
		       static_cast<long>(span.count));
	for (uint32_t i = 0; i < span.count; i++, sector += size) {
		if (!mtd_erase(fd, sector, size)) {
			printf("Flash Erase mtd erase failed.\n");
			return 0;
		}
	}
	return 1;
}

int api_flash_write(const uint8_t *buffer, int fd, uint32_t offset, uint32_t length)
{
	if (theFlash.size == 0)
		return -1;
	if (!request_ok("Write", offset, length))
		return -1;
	return flash_write(buffer, fd, length, offset) ? 0 : -1;
}

int api_flash_erase(int fd, uint32_t offset, uint32_t length)
{
	if (theFlash.size == 0)
		return -1;
	if (!request_ok("Erase", offset, length))
		return -1;
	return flash_erase(fd, length, offset) ? 0 : -1;
}
