// The board's devices as the board layer and vemra-boot meet them: a NOR
// flash behind the MTD character devices, a VPD EEPROM behind the I2C bus
// devices, and the board's files in a folder of the host. open, ioctl,
// pread, pwrite, fopen, opendir, stat, statvfs, mkdir, rename and unlink
// are wrapped at link time (library test_fake_board brings the options):
// "/dev/mtd-..." opens the fake flash, "/dev/i2c-..." the fake bus; with
// fake.root set, every other absolute path they take but /dev and /proc
// lies under the root, where /user shows as a filesystem of its own.
// Everything else reaches the system.
//
// The flash holds the device to its contract with test failures: an erase
// of whole erase blocks only, no write over bytes that are not erased, no
// request outside the bytes it holds, no negative offset.
#ifndef TESTS_FAKES_FAKE_BOARD_H
#define TESTS_FAKES_FAKE_BOARD_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct fake_request {
	char op; // 'r' pread, 'e' MEMERASE, 'w' pwrite, 'v' EEPROM write, 'f' a change to /user
	int fd;
	uint32_t offset, length;
	const void *buffer; // of a pread or pwrite
};

struct fake_flash {
	uint32_t size, erasesize;  // what MEMGETINFO reports
	bool info_refused;         // MEMGETINFO fails with EIO
	uint32_t base;             // data holds the bytes from offset base on
	std::vector<uint8_t> data; // of every partition that parts does not hold
	// Requests served before the power is cut (-1: never): flash requests,
	// EEPROM writes and, under a root, each change to /user. Once cut, a
	// request fails with EIO and changes nothing.
	long power;
	uint32_t read_limit, write_limit; // most bytes one pread delivers, one pwrite programs
	std::vector<std::pair<std::string, int>> opens; // path and flags, in order
	std::vector<fake_request> requests;             // the refused ones too
	std::vector<std::pair<std::string, std::vector<uint8_t>>> parts; // partitions with bytes of their own
	uint8_t eeprom[256];       // the VPD EEPROM at 0x54 of bus 0; 0x4F takes writes; nothing else answers
	int unreadable;            // an EEPROM register whose reads fail (-1: none)
	std::string root;          // the board's files; empty: the host's
};

extern fake_flash fake;

// 4 MiB, 128 KiB erase blocks; `bytes` bytes of fake_pattern() held from
// offset `base` on; an EEPROM of zeros; no root. Descriptors are handed out
// from 100 up.
void fake_reset(uint32_t base = 0, uint32_t bytes = 1 << 20);
// What the flash holds at `offset` before anything is erased or written.
uint8_t fake_pattern(uint64_t offset);

#endif
