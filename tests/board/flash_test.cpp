// The flash module over a fake NOR flash (tests/fakes/fake_mtd.h): the
// geometry the kernel partition reports, reads, and sector-wise writes and
// erases with their console lines, at the top of the 32-bit offset range
// and with the power cut after each device request.
#include "board_api.h"
#include "fake_mtd.h"
#include "flash.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace {

const uint32_t S = 128 << 10;
const uint64_t TOP = UINT64_C(1) << 32;
const flash_desc at_start = theFlash; // before any test changed it

// Runs op; what it printed on standard output goes to *out.
template <typename F> int captured(F op, std::string *out)
{
	fflush(stdout);
	testing::internal::CaptureStdout();
	const int rc = op();
	*out = testing::internal::GetCapturedStdout();
	return rc;
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

std::string limit(uint32_t sector_size)
{
	return "Flash Write refused: sector size " + std::to_string(sector_size) +
	       " is not a power of two of at least 1024\n";
}

struct geometry_case {
	const char *name;
	uint32_t size, erasesize;
	bool refused;
	int rc;
	const char *out, *desc;
	uint32_t sectors, sector_size;
	int32_t shift;
	int write_rc;          // of 4 bytes at 0x10, afterwards
	std::string write_out;
};

TEST(flash_geometry, from_the_kernel_partition)
{
	EXPECT_STREQ(at_start.desc, "unknown");
	EXPECT_EQ(at_start.sectors + at_start.sector_size + at_start.sector_shift + at_start.size, 0u);
	const geometry_case cases[] = {
		{ "4 MiB of 128 KiB", 4 << 20, S, false, 0, "", "4MB w/32-128KB sectors", 32, S, 17, 0,
		  "Flash Write 0x00000010 to 0x00000013 (0x00000000 to 0x0001ffff) 1\n\n.\n" },
		// Whole MiB, truncated; the shift is that of the lowest 1 bit.
		// Sector sizes that are no power of two of at least 1024 bytes
		// are refused: the span and the 1024-byte pieces would leave the
		// sector.
		{ "1.5 MiB of 96 KiB", 0x180000, 98304, false, 0, "", "1MB w/16-96KB sectors", 16, 98304, 15, -1,
		  limit(98304) },
		{ "512-byte sectors", 1 << 20, 512, false, 0, "", "1MB w/2048-0KB sectors", 2048, 512, 9, -1,
		  limit(512) },
		{ "3-byte sectors", 3 << 20, 3, false, 0, "", "3MB w/1048576-0KB sectors", 1 << 20, 3, 0, -1, limit(3) },
		// No sectors, but the flash is there to read.
		{ "erase size 0", 4 << 20, 0, false, 0, "", "4MB w/0-0KB sectors", 0, 0, 5, -1, limit(0) },
		{ "empty", 0, S, false, -1, "NO FLASH !\n", "0MB w/0-128KB sectors", 0, S, 17, -1, "" },
		{ "query refused", 4 << 20, S, true, -1, "Could not get MTD device info \n", "unknown", 0, 0, 5, -1, "" },
	};
	for (const geometry_case &c : cases) {
		SCOPED_TRACE(c.name);
		fresh(0, c.erasesize);
		fake.size = c.size;
		fake.info_refused = c.refused;
		std::string out;

		EXPECT_EQ(captured(api_flash_init, &out), c.rc);
		EXPECT_EQ(out, c.out);
		EXPECT_STREQ(theFlash.desc, c.desc);
		EXPECT_EQ(theFlash.sectors, c.sectors);
		EXPECT_EQ(theFlash.sector_size, c.sector_size);
		EXPECT_EQ(theFlash.sector_shift, c.shift);
		EXPECT_EQ(theFlash.size, c.rc ? 0 : c.size);

		// Reads are served exactly when the flash was found; without it
		// nothing reaches the device and nothing is printed.
		uint8_t buf[4] = { 1, 2, 3, 4 };
		fake.requests.clear();
		EXPECT_EQ(api_flash_read(buf, rescue_fd, 0x100, 4), c.rc);
		EXPECT_EQ(buf[3], c.rc ? 4 : fake_pattern(0x103));
		EXPECT_EQ(captured([&] { return api_flash_write(buf, rfs_fd, 0x10, 4); }, &out), c.write_rc);
		EXPECT_EQ(out, c.write_out);
		if (c.rc) {
			EXPECT_EQ(captured([&] { return api_flash_erase(rfs_fd, 0, 4); }, &out), -1);
			EXPECT_EQ(out, "");
			EXPECT_TRUE(fake.requests.empty());
		}
	}
}

TEST(flash_open, six_partitions_the_rescue_one_without_sync)
{
	const std::vector<std::pair<std::string, int>> opens = {
		{ "/dev/mtd-uboot", O_RDWR | O_SYNC }, { "/dev/mtd-ubootenv", O_RDWR | O_SYNC },
		{ "/dev/mtd-devicetree", O_RDWR | O_SYNC }, { "/dev/mtd-kernel", O_RDWR | O_SYNC },
		{ "/dev/mtd-rfs", O_RDWR | O_SYNC }, { "/dev/mtd-rescue", O_RDWR },
	};
	uint32_t size = 7;

	fresh();
	ASSERT_EQ(api_flash_init(), 0);
	EXPECT_EQ(fake.opens, opens);
	EXPECT_EQ(std::vector<int>({ uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd, flash_fd }),
		  std::vector<int>({ 100, 101, 102, 103, 104, 105, 103 }));
	EXPECT_EQ(mtd_get_size(rescue_fd, &size), 1);
	EXPECT_EQ(size, 4u << 20);
	fake.info_refused = true;
	EXPECT_EQ(mtd_get_size(rescue_fd, &size), 0);
	EXPECT_EQ(size, 4u << 20);
}

// Bytes from..to-1 changed: to the source bytes (fill SRC) or to a fill.
const int SRC = -1;
struct change {
	uint64_t from, to;
	int fill;
};

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
	uint32_t read_limit = UINT32_MAX;
	uint32_t write_limit = UINT32_MAX;
};

const std::string W2 = "Flash Write 0x0001ff00 to 0x000201ff (0x00000000 to 0x0003ffff) 2\n\n";

// The values of the "0x%08lx" lines reach 0xffffffff, and the sector span
// wraps modulo 2^32: computed in a wider type they show as
// 0xffffffffffffffff or as a count of 32768 sectors. Offsets from 2 GiB on
// reach the device only with a 64-bit off_t on the 32-bit board (the fake
// fails a negative one).
const request_case request_cases[] = {
	{ .name = "read of the last 16 bytes below 4 GiB, straight into the buffer", .op = READ,
	  .offset = 0xFFFFFFF0, .length = 16,
	  .out = "Flash Read 0xfffffff0 to 0xffffffff\nmtd read  0xfffffff0 to 0xffffffff %p\n", .trace = true },
	{ .name = "read refused", .op = READ, .offset = 0x100, .length = 16, .out = "", .rc = -1, .power = 0 },
	{ .name = "write across two sectors", .op = WRITE, .offset = 0x1FF00, .length = 0x300, .out = W2 + "..\n",
	  .changes = { { 0x1FF00, 0x20200, SRC } } },
	// A short transfer, even of no bytes, is no failure; the working
	// buffer is cleared before each sector is read into it.
	{ .name = "write over reads that deliver nothing", .op = WRITE, .offset = 0x1FF00, .length = 0x300,
	  .out = W2 + "..\n", .changes = { { 0, 0x1FF00, 0 }, { 0x1FF00, 0x20200, SRC }, { 0x20200, 2 * S, 0 } },
	  .read_limit = 0 },
	{ .name = "write whose pieces program nothing", .op = WRITE, .offset = 0x1FF00, .length = 0x300,
	  .out = W2 + "..\n", .changes = { { 0, 2 * S, 0xFF } }, .write_limit = 0 },
	{ .name = "write of the last 16 bytes below 4 GiB, 1 KiB sectors", .op = WRITE, .offset = 0xFFFFFFF0,
	  .length = 16,
	  .out = "Flash Write 0xfffffff0 to 0xffffffff (0xfffffc00 to 0xffffffff) 1\n\n"
		 "mtd read  0xfffffc00 to 0xffffffff %p\nmtd erase 0xfffffc00 to 0xffffffff\n"
		 "mtd write 0xfffffc00 to 0xffffffff %p\n.\n",
	  .changes = { { 0xFFFFFFF0, TOP, SRC } }, .sector = 1024, .trace = true },
	// Length 0 at a sector boundary touches no sector (the end value is
	// the offset - 1); inside a sector it touches that one.
	{ .name = "write of nothing at 0", .op = WRITE, .offset = 0, .length = 0,
	  .out = "Flash Write 0x00000000 to 0xffffffff (0x00000000 to 0xffffffff) 0\n\n\n" },
	{ .name = "write of nothing inside a sector", .op = WRITE, .offset = 0x40010, .length = 0,
	  .out = "Flash Write 0x00040010 to 0x0004000f (0x00040000 to 0x0005ffff) 1\n\n.\n" },
	{ .name = "write past 4 GiB", .op = WRITE, .offset = 0xFFFFFF00, .length = 0x200,
	  .out = "Flash Write refused: 0x00000200 bytes at 0xffffff00 run past 4 GiB\n", .rc = -1 },
	{ .name = "erase of nothing at 0", .op = ERASE, .offset = 0, .length = 0,
	  .out = "Flash Erase 0x00000000 to 0xffffffff (0x00000000 to 0xffffffff) 0\n", .trace = true },
	{ .name = "erase of the last two sectors", .op = ERASE, .offset = 0xFFFC0010, .length = 0x3FFF0,
	  .out = "Flash Erase 0xfffc0010 to 0xffffffff (0xfffc0000 to 0xffffffff) 2\n"
		 "mtd erase 0xfffc0000 to 0xfffdffff\nmtd erase 0xfffe0000 to 0xffffffff\n",
	  .changes = { { 0xFFFC0000, TOP, 0xFF } }, .trace = true },
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
			buf[i] = static_cast<uint8_t>(i * 5 + 0x81);
		for (const change &ch : c.changes)
			for (uint64_t i = ch.from; i < ch.to; i++)
				want[i - fake.base] = ch.fill == SRC ? buf[i - c.offset] : static_cast<uint8_t>(ch.fill);
		fake.requests.clear();
		fake.power = c.power;
		fake.read_limit = c.read_limit;
		fake.write_limit = c.write_limit;
		debug_read = debug_write = debug_erase = c.trace;
		std::string out;

		EXPECT_EQ(captured([&] {
			return c.op == READ    ? api_flash_read(buf.data(), rfs_fd, c.offset, c.length)
			       : c.op == WRITE ? api_flash_write(buf.data(), rfs_fd, c.offset, c.length)
					       : api_flash_erase(rfs_fd, c.offset, c.length);
		}, &out), c.rc);
		std::string expect = c.out;
		for (size_t at; (at = expect.find("%p")) != std::string::npos;) {
			char hex[20];
			snprintf(hex, sizeof hex, "0x%08lx", (unsigned long)(uintptr_t)fake.requests.at(0).buffer);
			expect.replace(at, 2, hex);
		}
		EXPECT_EQ(out, expect);
		for (const fake_request &r : fake.requests)
			EXPECT_EQ(r.fd, rfs_fd);
		if (c.op == READ && c.rc == 0) {
			EXPECT_EQ(fake.requests.at(0).buffer, buf.data());
			EXPECT_TRUE(std::equal(buf.begin(), buf.end(), fake.data.begin() + (c.offset - fake.base)));
		}
		EXPECT_TRUE(fake.data == want);
	}
}

// The power cut after each device request of a write over four 8 KiB
// sectors (part, whole, whole, part) and of an erase of the same range:
// the request after the cut fails and nothing after it reaches the flash.
// Finished sectors hold the new data and, outside the range, their old
// bytes; the sector of the cut keeps its old bytes until its erase, then
// holds its written pieces and 0xFF after them; later sectors are
// untouched. The console shows one dot per finished sector, then the
// failing step's message and an empty line.
TEST(flash_power_cut, after_each_request)
{
	const uint32_t SEC = 0x2000, PIECES = SEC / 1024, FIRST = SEC, OFF = 0x2A00, LEN = 0x6C00;
	const char *const failed[] = { "Flash Write mtd read failed.\n", "Flash Write mtd erase failed.\n",
				       "Flash Write mtd write failed.\n" };
	std::vector<uint8_t> src(LEN);
	for (uint32_t i = 0; i < LEN; i++)
		src[i] = static_cast<uint8_t>(0x5A ^ i ^ (i >> 8));

	for (const bool erase : { false, true }) {
		const long per_sector = erase ? 1 : 2 + PIECES;
		for (long cut = 0; cut <= 4 * per_sector; cut++) {
			const long k = cut / per_sector, step = cut % per_sector; // the sector cut, its request
			SCOPED_TRACE(testing::Message() << (erase ? "erase" : "write") << ", cut in sector " << k
							<< " at request " << step);
			fresh(0, SEC, 0x10000);
			ASSERT_EQ(api_flash_init(), 0);
			fake.power = cut;
			std::string out;
			const int rc = captured([&] {
				return erase ? api_flash_erase(rfs_fd, OFF, LEN) : api_flash_write(src.data(), rfs_fd, OFF, LEN);
			}, &out);

			EXPECT_EQ(rc, k == 4 ? 0 : -1);
			if (erase)
				EXPECT_EQ(out, k == 4 ? "" : "Flash Erase mtd erase failed.\n");
			else
				EXPECT_EQ(out, "Flash Write 0x00002a00 to 0x000095ff (0x00002000 to 0x00009fff) 4\n\n" +
						       std::string(k, '.') + (k == 4 ? "" : failed[std::min(step, 2L)]) + "\n");
			for (uint32_t i = 0; i < fake.data.size(); i++) {
				const long s = i < FIRST ? -1 : (i - FIRST) / SEC, piece = i % SEC / 1024;
				const bool done = s >= 0 && (s < k || (s == k && !erase && piece < step - 2));
				const bool erased = s == k && !erase && step >= 2;
				uint8_t want = fake_pattern(i);
				if (done)
					want = erase ? 0xFF : i >= OFF && i < OFF + LEN ? src[i - OFF] : want;
				else if (erased)
					want = 0xFF;
				ASSERT_EQ(fake.data[i], want) << "at 0x" << std::hex << i;
			}
		}
	}
}

} // namespace
