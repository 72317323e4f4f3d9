// Fake MTD partitions "/dev/mtd-<name>" of a NOR flash: MEMGETINFO,
// MEMERASE (whole erase blocks inside the partition, set to 0xFF), pread,
// and pwrite that can only clear bits, so data written over an unerased
// sector comes out corrupted. Requests are logged in fake_log as
// "pread rfs 0x20000 0x20000", "erase ...", "pwrite ..." (offset, length).
#ifndef TESTS_FAKES_FAKE_MTD_H
#define TESTS_FAKES_FAKE_MTD_H

#include "fake_sys.h"

#include <cstdint>

struct fake_part {
	const char *name;          // "kernel" for "/dev/mtd-kernel"
	std::vector<uint8_t> data; // contents; its size is the partition's
	uint32_t erasesize;
	bool present;
	int flags; // as last opened
};

// uboot, ubootenv, devicetree, kernel (4 MiB), rfs and rescue (1 MiB),
// 128 KiB erase blocks, filled with a pattern that is not erased flash
// (bit 7 clear).
extern fake_part fake_parts[6];
fake_part &fake_mtd(const char *name);
// The buffer of each pread and pwrite, in order.
extern std::vector<const void *> fake_mtd_buffers;

#endif
