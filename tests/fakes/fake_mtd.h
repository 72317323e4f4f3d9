// A NOR flash behind the MTD character devices, for the flash module's
// tests and benchmark. open, ioctl, pread and pwrite (and their 64-bit
// names) are wrapped at link time (library test_fake_mtd brings the
// options): a path under "/dev/mtd-" opens the fake, every other path and
// descriptor reaches the system. All partitions show the same geometry
// and the same bytes.
//
// The fake holds the device to its contract with test failures: an erase
// of whole erase blocks only, no write over bytes that are not erased, no
// request outside the bytes it holds, no negative offset.
#ifndef TESTS_FAKES_FAKE_MTD_H
#define TESTS_FAKES_FAKE_MTD_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct fake_request {
	char op; // 'r' pread, 'e' MEMERASE, 'w' pwrite
	int fd;
	uint32_t offset, length;
	const void *buffer; // of a pread or pwrite
	long shown;         // bytes on standard output by then, when it is a file
};

struct fake_flash {
	uint32_t size, erasesize;  // what MEMGETINFO reports
	bool info_refused;         // MEMGETINFO fails with EIO
	uint32_t base;             // data holds the bytes from offset base on
	std::vector<uint8_t> data;
	long power;                // requests served before the power is cut; -1: never cut
	uint32_t read_limit, write_limit; // most bytes one pread delivers, one pwrite programs
	std::vector<std::pair<std::string, int>> opens; // path and flags, in order
	std::vector<fake_request> requests;             // the refused ones too
};

extern fake_flash fake;

// 4 MiB, 128 KiB erase blocks; `bytes` bytes of fake_pattern() held from
// offset `base` on. Descriptors are handed out from 100 up.
void fake_reset(uint32_t base = 0, uint32_t bytes = 1 << 20);
// What the flash holds at `offset` before anything is erased or written.
uint8_t fake_pattern(uint64_t offset);

#endif
