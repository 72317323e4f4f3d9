// SPDX-License-Identifier: MIT
// The board's devices as the board layer and vemra-boot meet them: a NOR
// flash behind the MTD character devices, a VPD EEPROM behind the I2C bus
// devices, and the board's files in a folder of the host. open, close,
// write, ioctl, pread, pwrite, fopen, opendir, stat, statvfs, mkdir,
// rename, unlink, flock and nanosleep are wrapped at link time (library
// test_fake_board brings the options): "/dev/mtd-..." opens the fake
// flash, "/dev/i2c-..." the fake bus; with fake.root set, every other
// absolute path they take but /dev and /proc lies under the root, where
// /user shows as a filesystem of its own. Everything else reaches the
// system.
//
// The parts behave as badly as real ones: the EEPROM answers nothing
// during the write cycle after each write, and a power cut inside one
// leaves the byte at any value; a flash program or erase cut short is
// half done; jffs2 renames in two steps (the new name, then the old
// one's removal); a write to a file on /user cut short leaves half of it.
// Time is the board's own: nanosleep moves its clock on at once.
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
	char op; // 'r' pread, 'e' MEMERASE, 'w' pwrite, 'v' EEPROM write, 'f' a change to /user,
	         // 'd' a write to a file on /user
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
	// EEPROM writes and, under a root, each change to /user and write to
	// a file there. Once cut, a request fails with EIO and changes
	// nothing, the EEPROM answers no read, and dark is set.
	long power;
	// What the request that the power is cut in leaves: -1 nothing; for
	// an EEPROM write, the byte (0 to 255); for a flash program or erase
	// or a write to a file, any value: its first half done.
	int torn;
	bool dark;
	uint32_t read_limit, write_limit; // most bytes one pread delivers, one pwrite programs
	std::vector<std::pair<std::string, int>> opens; // path and flags, in order
	std::vector<fake_request> requests;             // the refused ones too
	std::vector<std::pair<std::string, std::vector<uint8_t>>> parts; // partitions with bytes of their own
	// An EEPROM register whose reads get no answer (-1: none; 256: every
	// register), how many of them (-1: every one).
	int unreadable, unreadable_reads;
	std::string root;          // the board's files; empty: the host's
	int lock_waits;            // a pipe: a process that waits for a lock writes 'W' to it first (-1: none)
	// Before the EEPROM write numbered beside (from 0; -1: none), a
	// second program on the board runs: beside_run().
	long beside;
	void (*beside_run)(void);
};

// The VPD EEPROM at 0x54 of bus 0 (0x4F takes writes; nothing else
// answers) and the board's clock, in memory that a process forked from
// the test's shares: a second program on the board.
struct fake_vpd {
	uint8_t bytes[256];
	uint32_t write_cycle_us;  // no answer for this long after each write
	uint64_t now_us;          // the clock: nanosleep and fake_wait() move it on
	uint64_t busy_until_us;
};

extern fake_flash fake;
extern fake_vpd &vpd;

// 4 MiB, 128 KiB erase blocks; `bytes` bytes of fake_pattern() held from
// offset `base` on; an EEPROM of zeros without a write cycle; no root.
// Descriptors are handed out from 100 up.
void fake_reset(uint32_t base = 0, uint32_t bytes = 1 << 20);
// What the flash holds at `offset` before anything is erased or written.
uint8_t fake_pattern(uint64_t offset);
// Time passes on the board (between programs): the EEPROM's write cycle
// ends.
void fake_wait(uint64_t us);

#endif
