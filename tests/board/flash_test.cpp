// Flash partitions over fake NOR partitions: geometry, reads, and
// sector-wise writes and erases checked against a byte model.
#include "board_api.h"
#include "board_test.h"
#include "fake_mtd.h"
#include "flash.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>

namespace {

const uint32_t S = 0x20000; // the fake's erase size

std::string hex(const void *p)
{
	return fake_fmt("0x%08lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
}

// Fresh devices and a fresh flash module; the kernel partition's geometry
// may be changed before the flash is opened.
void fresh(uint32_t kernel_size = 0x400000, uint32_t erasesize = S)
{
	fake_reset();
	fake_mtd("kernel").data.resize(kernel_size);
	fake_mtd("kernel").erasesize = fake_mtd("rfs").erasesize = erasesize;
	theFlash = flash_desc{ "unknown", 0, 0, 9, 0 }; // a shift that must survive where kept
	debug_read = debug_write = debug_erase = 0;
}

struct geometry_case {
	const char *name;
	uint32_t size, erasesize;
	int trouble; // 1: MEMGETINFO refused, 2: kernel partition missing
	int rc;
	const char *out, *desc;
	uint32_t sectors, sector_size;
	int32_t shift;
	uint32_t flash_size;
};

const geometry_case geometry_cases[] = {
	{ "4 MiB of 128 KiB", 0x400000, S, 0, 0, "", "4MB w/32-128KB sectors", 32, S, 17, 0x400000 },
	{ "1.5 MiB", 0x180000, S, 0, 0, "", "1MB w/12-128KB sectors", 12, S, 17, 0x180000 },
	{ "96 KiB sectors", 0x300000, 98304, 0, 0, "", "3MB w/32-96KB sectors", 32, 98304, 15, 0x300000 },
	{ "empty", 0, S, 0, -1, "NO FLASH !\n", "0MB w/0-128KB sectors", 0, S, 17, 0 },
	{ "query refused", 0x400000, S, 1, -1, "Could not get MTD device info \n", "unknown", 0, 0, 9, 0 },
	{ "kernel missing", 0x400000, S, 2, -1, "Could not get MTD device info \n", "unknown", 0, 0, 9, 0 },
	// No sectors for an erase size of 0, but the flash is there to read.
	{ "erase size 0", 0x400000, 0, 0, 0, "", "4MB w/0-0KB sectors", 0, 0, 9, 0x400000 },
};

TEST(flash_geometry, from_the_kernel_partition)
{
	for (const geometry_case &c : geometry_cases) {
		SCOPED_TRACE(c.name);
		fresh(c.size, c.erasesize);
		if (c.trouble == 1)
			fake_fail({ FAKE_GETINFO, -1, 1, EIO, 0 });
		fake_mtd("kernel").present = c.trouble != 2;
		std::string out;

		EXPECT_EQ(run_captured(api_flash_init, &out), c.rc);
		EXPECT_EQ(out, c.out);
		EXPECT_STREQ(theFlash.desc, c.desc);
		EXPECT_EQ(theFlash.sectors, c.sectors);
		EXPECT_EQ(theFlash.sector_size, c.sector_size);
		EXPECT_EQ(theFlash.sector_shift, c.shift);
		EXPECT_EQ(theFlash.size, c.flash_size);

		// Reads are open exactly when the flash was found; without it,
		// writes and erases fail too, silently and without device access.
		uint8_t buf[16];
		memset(buf, 0x11, sizeof buf);
		fake_log.clear();
		EXPECT_EQ(api_flash_read(buf, rescue_fd, 0x100, 16), c.rc);
		EXPECT_EQ(memcmp(buf, c.rc ? std::vector<uint8_t>(16, 0x11).data()
					   : &fake_mtd("rescue").data[0x100], 16), 0);
		if (c.rc) {
			EXPECT_EQ(run_captured([&] { return api_flash_write(buf, rfs_fd, 0, 4); }, &out), -1);
			EXPECT_EQ(run_captured([&] { return api_flash_erase(rfs_fd, 0, 4); }, &out), -1);
			EXPECT_EQ(out, "");
		}
		EXPECT_EQ(fake_log.size(), c.rc ? 0u : 1u);
	}
}

TEST(flash_open, partitions_flags_descriptors_sizes)
{
	fresh();
	fake_mtd("rfs").present = false;
	ASSERT_EQ(api_flash_init(), 0);
	EXPECT_EQ(fake_log, (std::vector<std::string>{ "open /dev/mtd-uboot", "open /dev/mtd-ubootenv",
		"open /dev/mtd-devicetree", "open /dev/mtd-kernel", "open /dev/mtd-rfs failed",
		"open /dev/mtd-rescue", "getinfo kernel" }));
	for (const fake_part &p : fake_parts) {
		SCOPED_TRACE(p.name);
		if (p.present) {
			EXPECT_EQ(p.flags & (O_ACCMODE | O_SYNC | O_CLOEXEC),
				  O_RDWR | (strcmp(p.name, "rescue") ? O_SYNC : 0));
		}
	}
	// The fake's descriptors, from 100 in the order of the opens.
	const std::vector<int> fds = { uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd, flash_fd };
	EXPECT_EQ(fds, (std::vector<int>{ 100, 101, 102, 103, -1, 104, 103 }));

	uint32_t size = 7;
	EXPECT_EQ(mtd_get_size(rescue_fd, &size), 1);
	EXPECT_EQ(size, 0x100000u);
	fake_fail({ FAKE_GETINFO, -1, 1, EIO, 0 });
	EXPECT_EQ(mtd_get_size(uboot_fd, &size), 0);
	EXPECT_EQ(size, 0x100000u);
}

// Bytes from..to-1 of the partition changed: to the source bytes (fill
// SRC) or to a fill byte.
const int SRC = -1;
struct change {
	uint32_t from, to;
	int fill;
};

enum op_kind { READ, WRITE, ERASE };

struct request_case {
	const char *name;
	op_kind op;
	bool trace; // every debug switch on
	uint32_t offset, length;
	fake_fault fault; // nth 0: none
	int rc;
	std::string out; // "%p": the buffer of the first device request
	std::vector<change> changes;
	size_t requests; // preads, erases and pwrites
	uint32_t sector = S;
};

const size_t PER_SECTOR = 2 + S / 1024; // read, erase, write-back pieces
const std::string W2 = "Flash Write 0x0001ff00 to 0x000201ff (0x00000000 to 0x0003ffff) 2\n\n";
const std::string W4 = "Flash Write 0x00010000 to 0x0006ffff (0x00000000 to 0x0007ffff) 4\n\n";

std::string limit(const char *op, unsigned size)
{
	return fake_fmt("Flash %s refused: sector size %u is not a power of two of at least 1024\n", op, size);
}

// Failures of the erase and write steps are in the power-loss test.
//
// Offsets at the top of the 32-bit range show the width of the
// arithmetic: "0x%08lx" values up to 0xffffffff, the sector span that
// wraps modulo 2^32, and offsets from 2 GiB on, which reach the device
// only with a 64-bit off_t on a 32-bit board (the fake refuses a negative
// offset). A value computed in the wrong width shows as 0xffffffffffffffff
// or as a count of 32768 sectors.
const request_case request_cases[] = {
	// A short read, even of no bytes, is no failure; a refused one is.
	{ "read cut short", READ, false, 0x100, 16, { FAKE_PREAD, -1, 1, 0, 4 }, 0, "", {}, 1 },
	{ "read of no bytes", READ, false, 0x100, 16, { FAKE_PREAD, -1, 1, 0, 0 }, 0, "", {}, 1 },
	{ "read refused", READ, false, 0x100, 16, { FAKE_PREAD, -1, 1, EIO, 0 }, -1, "", {}, 1 },
	{ "read of the last 16 bytes below 4 GiB", READ, true, 0xFFFFFFF0, 16, {}, 0,
	  "Flash Read 0xfffffff0 to 0xffffffff\nmtd read  0xfffffff0 to 0xffffffff %p\n", {}, 1 },

	{ "write across two sectors", WRITE, false, 0x1FF00, 0x300, {}, 0, W2 + "..\n",
	  { { 0x1FF00, 0x20200, SRC } }, 2 * PER_SECTOR },
	{ "write one aligned sector", WRITE, false, S, S, {}, 0,
	  "Flash Write 0x00020000 to 0x0003ffff (0x00020000 to 0x0003ffff) 1\n\n.\n", { { S, 2 * S, SRC } },
	  PER_SECTOR },
	{ "write four sectors", WRITE, false, 0x10000, 3 * S, {}, 0, W4 + "....\n",
	  { { 0x10000, 0x70000, SRC } }, 4 * PER_SECTOR },
	{ "write nothing inside a sector", WRITE, false, 0x40010, 0, {}, 0,
	  "Flash Write 0x00040010 to 0x0004000f (0x00040000 to 0x0005ffff) 1\n\n.\n", {}, PER_SECTOR },
	// offset + length - 1 wraps to 0xffffffff, and so does the last sector
	// end: 0 sectors, nothing touched.
	{ "write nothing at 0", WRITE, false, 0, 0, {}, 0,
	  "Flash Write 0x00000000 to 0xffffffff (0x00000000 to 0xffffffff) 0\n\n\n", {}, 0 },
	{ "read fails in the third sector", WRITE, false, 0x10000, 3 * S, { FAKE_PREAD, -1, 3, EIO, 0 },
	  -1, W4 + "..Flash Write mtd read failed.\n\n", { { 0x10000, 2 * S, SRC } }, 2 * PER_SECTOR + 1 },
	// The working buffer is cleared before each sector is read into it.
	{ "short read of the second sector", WRITE, false, 0x1FF00, 0x300, { FAKE_PREAD, -1, 2, 0, 0 },
	  0, W2 + "..\n", { { 0x1FF00, 0x20200, SRC }, { 0x20200, 2 * S, 0x00 } }, 2 * PER_SECTOR },
	// A range that ends exactly at 4 GiB is served (the count comes out of
	// the subtraction modulo 2^32); the fake's 1 MiB partition refuses the
	// erase. One that wraps around is refused.
	{ "write of the last 16 bytes below 4 GiB", WRITE, true, 0xFFFFFFF0, 16, {}, -1,
	  "Flash Write 0xfffffff0 to 0xffffffff (0xfffe0000 to 0xffffffff) 1\n\n"
	  "mtd read  0xfffe0000 to 0xffffffff %p\nmtd erase 0xfffe0000 to 0xffffffff\n"
	  "Flash Write mtd erase failed.\n\n", {}, 2 },
	{ "write past 4 GiB", WRITE, false, 0xFFFFFF00, 0x200, {}, -1,
	  "Flash Write refused: 0x00000200 bytes at 0xffffff00 run past 4 GiB\n", {}, 0 },

	{ "erase three sectors", ERASE, false, 0x30000, 2 * S, {}, 0, "", { { S, 4 * S, 0xFF } }, 3 },
	{ "erase nothing at 0", ERASE, true, 0, 0, {}, 0,
	  "Flash Erase 0x00000000 to 0xffffffff (0x00000000 to 0xffffffff) 0\n", {}, 0 },
	{ "erase of the last two sectors", ERASE, true, 0xFFFC0010, 0x3FFF0, {}, -1,
	  "Flash Erase 0xfffc0010 to 0xffffffff (0xfffc0000 to 0xffffffff) 2\n"
	  "mtd erase 0xfffc0000 to 0xfffdffff\nFlash Erase mtd erase failed.\n", {}, 1 },
	{ "erase past 4 GiB", ERASE, false, 0xFFFFFFF0, 0x20, {}, -1,
	  "Flash Erase refused: 0x00000020 bytes at 0xfffffff0 run past 4 GiB\n", {}, 0 },

	// A sector size that is not a power of two of at least 1024 bytes is
	// refused: the span and the write-back pieces would leave the sector.
	{ "write with no sectors", WRITE, false, 0x10, 4, {}, -1, limit("Write", 0), {}, 0, 0 },
	{ "erase with 512-byte sectors", ERASE, false, 0x10, 4, {}, -1, limit("Erase", 512), {}, 0, 512 },
	{ "write with 96 KiB sectors", WRITE, false, 0x10, 4, {}, -1, limit("Write", 98304), {}, 0, 98304 },
};

TEST(flash_requests, output_contents_and_device_requests)
{
	for (const request_case &c : request_cases) {
		SCOPED_TRACE(c.name);
		fresh(0x400000, c.sector);
		ASSERT_EQ(api_flash_init(), 0);
		std::vector<uint8_t> &flash = fake_mtd("rfs").data, model = flash;
		std::vector<uint8_t> buf(c.length);
		for (size_t i = 0; i < buf.size(); i++)
			buf[i] = static_cast<uint8_t>(0x80 | (i * 5 + 1)); // the fake's bit 7 is clear
		for (const change &ch : c.changes)
			for (uint32_t i = ch.from; i < ch.to; i++)
				model[i] = ch.fill == SRC ? buf[i - c.offset] : static_cast<uint8_t>(ch.fill);
		fake_fail(c.fault);
		fake_log.clear();
		debug_read = debug_write = debug_erase = c.trace;
		std::string out;

		EXPECT_EQ(run_captured([&] {
			return c.op == READ    ? api_flash_read(buf.data(), rfs_fd, c.offset, c.length)
			       : c.op == WRITE ? api_flash_write(buf.data(), rfs_fd, c.offset, c.length)
					       : api_flash_erase(rfs_fd, c.offset, c.length);
		}, &out), c.rc);
		std::string want = c.out;
		if (want.find("%p") != std::string::npos)
			want.replace(want.find("%p"), 2, hex(fake_mtd_buffers.at(0)));
		EXPECT_EQ(out, want);
		EXPECT_EQ(fake_log.size(), c.requests);
		if (c.op == READ) { // straight into the caller's buffer
			EXPECT_EQ(fake_mtd_buffers.at(0), buf.data());
		}
		for (size_t i = 0; i < flash.size(); i++)
			ASSERT_EQ(flash[i], model[i]) << "at 0x" << std::hex << i;
	}
}

TEST(flash_trace, write_with_every_switch)
{
	uint8_t buf[0x900] = {};
	std::string out;

	fresh(0x400000, 0x800);
	api_flash_init();
	debug_read = debug_write = debug_erase = 7;
	EXPECT_EQ(run_captured([&] { return api_flash_write(buf, rfs_fd, 0x700, 0x900); }, &out), 0);

	const uint8_t *work = static_cast<const uint8_t *>(fake_mtd_buffers.at(0));
	std::string want = "Flash Write 0x00000700 to 0x00000fff (0x00000000 to 0x00000fff) 2\n\n";
	for (unsigned s = 0; s < 0x1000; s += 0x800) {
		want += fake_fmt("mtd read  0x%08x to 0x%08x ", s, s + 0x7FF) + hex(work) + "\n";
		want += fake_fmt("mtd erase 0x%08x to 0x%08x\n", s, s + 0x7FF);
		for (unsigned p = 0; p < 0x800; p += 0x400)
			want += fake_fmt("mtd write 0x%08x to 0x%08x ", s + p, s + p + 0x3FF) + hex(work + p) + "\n";
		want += ".";
	}
	EXPECT_EQ(out, want + "\n");
}

} // namespace
