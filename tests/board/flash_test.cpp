// SPDX-License-Identifier: MIT
// The flash module over a fake NOR flash (tests/fakes/fake_board.h): the
// partitions opened and the geometry the kernel partition reports, reads,
// and sector-wise writes and erases with their console lines, at the top of
// the 32-bit offset range. (A power cut after each request of the writes
// that vemra-boot makes: tests/vemra-boot/power_cut_test.cpp.)
#include "board_api.h"
#include "fake_board.h"
#include "flash.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <tuple>

namespace {

const uint32_t S = 128 << 10;
const flash_desc at_start = theFlash; // before any test changed it

// Runs op: its result and what it printed on standard output.
using result = std::pair<int, std::string>;
template <typename F> result captured(F op)
{
	testing::internal::CaptureStdout(); // flushes what was printed before
	const int rc = op();
	return { rc, testing::internal::GetCapturedStdout() };
}

// A fresh fake holding `bytes` from `base` on, and a flash module as at
// start-up, with a sector shift that must survive where it is kept.
void fresh(uint32_t base = 0, uint32_t erasesize = S, uint32_t bytes = 1 << 20)
{
	fake_reset(base, bytes);
	fake.erasesize = erasesize;
	theFlash = flash_desc{ "unknown", 0, 0, 5, 0 };
	debug_read = debug_write = debug_erase = 0;
}

// The partition reports the size and sector size theFlash is to hold,
// unless MEMGETINFO is refused.
struct geometry_case {
	const char *name;
	bool refused;
	const char *out; // of api_flash_init, which fails when it prints
	flash_desc want;
	int write_rc;    // of 4 bytes at 0x10, afterwards
	std::string write_out;
};

// Every partition is opened read-write with O_SYNC but the rescue one; the
// geometry comes from the kernel partition; mtd_get_size asks the
// partition it is given, whatever api_flash_init found.
TEST(flash_geometry, from_the_kernel_partition)
{
	auto fields = [](const flash_desc &f) {
		return std::make_tuple(std::string(f.desc), f.sectors, f.sector_size, f.sector_shift, f.size);
	};
	EXPECT_EQ(fields(at_start), fields(flash_desc{ "unknown", 0, 0, 0, 0 }));
	const int sync = O_RDWR | O_SYNC;
	const std::vector<std::pair<std::string, int>> opens = { { "/dev/mtd-uboot", sync }, { "/dev/mtd-ubootenv", sync },
		{ "/dev/mtd-devicetree", sync }, { "/dev/mtd-kernel", sync }, { "/dev/mtd-rfs", sync },
		{ "/dev/mtd-rescue", O_RDWR } };
	auto limit = [](uint32_t n) { return "Flash Write refused: sector size " + std::to_string(n) +
					     " is not a power of two of at least 1024\n"; };
	const geometry_case cases[] = {
		{ "4 MiB of 128 KiB", false, "", { "4MB w/32-128KB sectors", 32, S, 17, 4 << 20 }, 0,
		  "Flash Write 0x00000010 to 0x00000013 (0x00000000 to 0x0001ffff) 1\n\n.\n" },
		// Whole MiB, truncated; the shift is that of the lowest 1 bit.
		// Sector sizes that are no power of two of at least 1024 bytes
		// are refused: the span and the 1024-byte pieces would leave the
		// sector.
		{ "1.5 MiB of 96 KiB", false, "", { "1MB w/16-96KB sectors", 16, 98304, 15, 3 << 19 }, -1, limit(98304) },
		{ "512-byte sectors", false, "", { "1MB w/2048-0KB sectors", 2048, 512, 9, 1 << 20 }, -1, limit(512) },
		{ "3-byte sectors", false, "", { "3MB w/1048576-0KB sectors", 1 << 20, 3, 0, 3 << 20 }, -1, limit(3) },
		// No sectors, but the flash is there to read.
		{ "erase size 0", false, "", { "4MB w/0-0KB sectors", 0, 0, 5, 4 << 20 }, -1, limit(0) },
		{ "empty", false, "NO FLASH !\n", { "0MB w/0-128KB sectors", 0, S, 17, 0 }, -1, "" },
		{ "query refused", true, "Could not get MTD device info \n", { "unknown", 0, 0, 5, 0 }, -1, "" },
	};
	for (const geometry_case &c : cases) {
		SCOPED_TRACE(c.name);
		fresh(0, c.want.sector_size);
		fake.size = c.want.size;
		fake.info_refused = c.refused;
		const int rc = *c.out ? -1 : 0;
		uint32_t size = 7;

		EXPECT_EQ(captured(api_flash_init), result(rc, c.out));
		EXPECT_EQ(fields(theFlash), fields(c.want));
		EXPECT_EQ(fake.opens, opens);
		EXPECT_EQ(std::vector<int>({ uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd,
					     flash_fd }), std::vector<int>({ 100, 101, 102, 103, 104, 105, 103 }));
		EXPECT_EQ(mtd_get_size(rescue_fd, &size), c.refused ? 0 : 1);
		EXPECT_EQ(size, c.refused ? 7 : c.want.size);

		// Reads are served exactly when the flash was found; without it
		// nothing reaches the device and nothing is printed.
		uint8_t buf[4] = { 1, 2, 3, 4 };
		EXPECT_EQ(api_flash_read(buf, rescue_fd, 0x100, 4), rc);
		EXPECT_EQ(buf[3], rc ? 4 : fake_pattern(0x103));
		EXPECT_EQ(captured([&] { return api_flash_write(buf, rfs_fd, 0x10, 4); }), result(c.write_rc, c.write_out));
		if (rc) {
			EXPECT_EQ(captured([&] { return api_flash_erase(rfs_fd, 0, 4); }), result(-1, ""));
			EXPECT_TRUE(fake.requests.empty());
		}
	}
}

// Bytes from..to-1 changed: to the source bytes (fill SRC) or to a fill.
const int SRC = -1;
struct change { uint64_t from, to; int fill; };

enum op_kind { READ, WRITE, ERASE };

struct request_case {
	const char *name;
	op_kind op;
	uint32_t offset, length;
	std::string out;             // "%p": the buffer of the first request
	int rc = 0;
	std::vector<change> changes = {};
	uint32_t sector = S;
	bool trace = false;          // every debug switch on
	long power = -1;             // requests served before the power is cut
	uint32_t read_limit = UINT32_MAX, write_limit = UINT32_MAX;
};

const std::string W2 = "Flash Write 0x0001ff00 to 0x000201ff (0x00000000 to 0x0003ffff) 2\n\n..\n";

// The values of the "0x%08lx" lines reach 0xffffffff, and the sector span
// wraps modulo 2^32: computed in a wider type they show as
// 0xffffffffffffffff or as a count of 32768 sectors. Offsets from 2 GiB on
// reach the device only with a 64-bit off_t on the 32-bit board (the fake
// fails a negative one).
const request_case request_cases[] = {
	{ .name = "read of the last 16 bytes below 4 GiB, straight into the buffer", .op = READ, .offset = 0xFFFFFFF0,
	  .length = 16, .out = "Flash Read 0xfffffff0 to 0xffffffff\nmtd read  0xfffffff0 to 0xffffffff %p\n",
	  .trace = true },
	{ .name = "read refused", .op = READ, .offset = 0x100, .length = 16, .out = "", .rc = -1, .power = 0 },
	// A short transfer, even of no bytes, is no failure; the working
	// buffer is cleared before each sector is read into it (and the bytes
	// around the range are kept: power-cut sweep, top 1 KiB sector).
	{ .name = "write across two sectors, reads delivering nothing", .op = WRITE, .offset = 0x1FF00, .length = 0x300,
	  .out = W2, .changes = { { 0, 0x1FF00, 0 }, { 0x1FF00, 0x20200, SRC }, { 0x20200, 2 * S, 0 } }, .read_limit = 0 },
	{ .name = "write whose pieces program nothing", .op = WRITE, .offset = 0x1FF00, .length = 0x300, .out = W2,
	  .changes = { { 0, 2 * S, 0xFF } }, .write_limit = 0 },
	{ .name = "write of the last 16 bytes below 4 GiB, 1 KiB sectors", .op = WRITE, .offset = 0xFFFFFFF0,
	  .length = 16, .out = "Flash Write 0xfffffff0 to 0xffffffff (0xfffffc00 to 0xffffffff) 1\n\n"
		 "mtd read  0xfffffc00 to 0xffffffff %p\nmtd erase 0xfffffc00 to 0xffffffff\n"
		 "mtd write 0xfffffc00 to 0xffffffff %p\n.\n",
	  .changes = { { 0xFFFFFFF0, 1ull << 32, SRC } }, .sector = 1024, .trace = true },
	// Length 0 at a sector boundary touches no sector (the end value is
	// the offset - 1); inside a sector it touches that one.
	{ .name = "write of nothing at 0", .op = WRITE, .offset = 0, .length = 0,
	  .out = "Flash Write 0x00000000 to 0xffffffff (0x00000000 to 0xffffffff) 0\n\n\n" },
	{ .name = "write of nothing inside a sector", .op = WRITE, .offset = 0x40010, .length = 0,
	  .out = "Flash Write 0x00040010 to 0x0004000f (0x00040000 to 0x0005ffff) 1\n\n.\n" },
	{ .name = "write past 4 GiB", .op = WRITE, .offset = 0xFFFFFF00, .length = 0x200,
	  .out = "Flash Write refused: 0x00000200 bytes at 0xffffff00 run past 4 GiB\n", .rc = -1 },
	{ .name = "erase of the last two sectors", .op = ERASE, .offset = 0xFFFC0010, .length = 0x3FFF0,
	  .out = "Flash Erase 0xfffc0010 to 0xffffffff (0xfffc0000 to 0xffffffff) 2\n"
		 "mtd erase 0xfffc0000 to 0xfffdffff\nmtd erase 0xfffe0000 to 0xffffffff\n",
	  .changes = { { 0xFFFC0000, 1ull << 32, 0xFF } }, .trace = true },
	{ .name = "erase past 4 GiB", .op = ERASE, .offset = 0xFFFFFFF0, .length = 0x20,
	  .out = "Flash Erase refused: 0x00000020 bytes at 0xfffffff0 run past 4 GiB\n", .rc = -1 },
};

TEST(flash_requests, console_contents_and_device_requests)
{
	for (const request_case &c : request_cases) {
		SCOPED_TRACE(c.name);
		fresh(c.offset & 0xFFF00000, c.sector);
		ASSERT_EQ(api_flash_init(), 0);
		std::vector<uint8_t> buf(c.length), want = fake.data;
		for (size_t i = 0; i < buf.size(); i++)
			buf[i] = static_cast<uint8_t>(~fake_pattern(c.offset + i)); // no byte as the flash holds it
		for (const change &ch : c.changes)
			for (uint64_t i = ch.from; i < ch.to; i++)
				want[i - fake.base] = ch.fill == SRC ? buf[i - c.offset] : static_cast<uint8_t>(ch.fill);
		fake.power = c.power;
		fake.read_limit = c.read_limit;
		fake.write_limit = c.write_limit;
		debug_read = debug_write = debug_erase = c.trace;

		const auto r = captured([&] {
			return c.op == READ    ? api_flash_read(buf.data(), rfs_fd, c.offset, c.length)
			       : c.op == WRITE ? api_flash_write(buf.data(), rfs_fd, c.offset, c.length)
					       : api_flash_erase(rfs_fd, c.offset, c.length);
		});
		std::string expect = c.out;
		char hex[20];
		snprintf(hex, sizeof hex, "0x%08lx",
			 fake.requests.empty() ? 0 : (unsigned long)(uintptr_t)fake.requests[0].buffer);
		for (size_t at; (at = expect.find("%p")) != std::string::npos;)
			expect.replace(at, 2, hex);
		EXPECT_EQ(r, result(c.rc, expect));
		EXPECT_TRUE(std::all_of(fake.requests.begin(), fake.requests.end(), [](auto &q) { return q.fd == rfs_fd; }));
		EXPECT_TRUE(c.op != READ || c.rc || (fake.requests.at(0).buffer == buf.data() &&
			    std::equal(buf.begin(), buf.end(), fake.data.begin() + (c.offset - fake.base))));
		EXPECT_TRUE(fake.data == want);
	}
}

} // namespace
