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
	fake_mtd("kernel").erasesize = erasesize;
	fake_mtd("rfs").erasesize = erasesize;
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

		// Reads are open exactly when the flash was found.
		uint8_t buf[16];
		memset(buf, 0x11, sizeof buf);
		fake_log.clear();
		EXPECT_EQ(api_flash_read(buf, rescue_fd, 0x100, 16), c.rc);
		EXPECT_EQ(memcmp(buf, c.rc ? std::vector<uint8_t>(16, 0x11).data()
					   : &fake_mtd("rescue").data[0x100], 16), 0);
		EXPECT_EQ(fake_log.size(), c.rc ? 0u : 1u);
	}
}

TEST(flash_open, partitions_flags_and_descriptors)
{
	fresh();
	fake_mtd("rfs").present = false;
	ASSERT_EQ(api_flash_init(), 0);
	EXPECT_EQ(fake_log, (std::vector<std::string>{ "open /dev/mtd-uboot", "open /dev/mtd-ubootenv",
		"open /dev/mtd-devicetree", "open /dev/mtd-kernel", "open /dev/mtd-rfs failed",
		"open /dev/mtd-rescue", "getinfo kernel" }));
	for (const fake_part &p : fake_parts) {
		if (!p.present)
			continue;
		SCOPED_TRACE(p.name);
		EXPECT_EQ(p.flags & O_ACCMODE, O_RDWR);
		EXPECT_EQ(p.flags & O_CLOEXEC, 0);
		EXPECT_EQ(p.flags & O_SYNC, strcmp(p.name, "rescue") ? O_SYNC : 0);
	}
	EXPECT_EQ(rfs_fd, -1);
	EXPECT_EQ(flash_fd, kernel_fd);
	std::vector<int> fds = { uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rescue_fd };
	for (size_t i = 0; i < fds.size(); i++)
		for (size_t j = 0; j < i; j++)
			EXPECT_NE(fds[i], fds[j]);
}

TEST(flash_read, before_init_and_transfer_results)
{
	uint8_t buf[16];

	fresh();
	memset(buf, 0x11, sizeof buf);
	EXPECT_EQ(api_flash_read(buf, rescue_fd, 0, 16), -1);
	EXPECT_EQ(buf[0], 0x11);
	EXPECT_TRUE(fake_log.empty());

	const struct {
		fake_fault fault;
		int rc;
	} cases[] = {
		{ { FAKE_PREAD, -1, 99, 0, 0 }, 0 }, // no fault
		{ { FAKE_PREAD, -1, 1, 0, 4 }, 0 },  // short
		{ { FAKE_PREAD, -1, 1, 0, 0 }, 0 },  // nothing transferred
		{ { FAKE_PREAD, -1, 1, EIO, 0 }, -1 },
	};
	for (const auto &c : cases) {
		fresh();
		api_flash_init();
		fake_fail(c.fault);
		std::string out;
		EXPECT_EQ(run_captured([&] { return api_flash_read(buf, rescue_fd, 0x100, 16); }, &out), c.rc);
		EXPECT_EQ(out, "");
	}
	EXPECT_EQ(0, memcmp(buf, &fake_mtd("rescue").data[0x100], 4));
}

TEST(flash_read, partition_size)
{
	uint32_t size = 7;

	fresh();
	api_flash_init();
	EXPECT_EQ(mtd_get_size(rfs_fd, &size), 1);
	EXPECT_EQ(size, 0x100000u);
	fake_fail({ FAKE_GETINFO, -1, 1, EIO, 0 });
	EXPECT_EQ(mtd_get_size(rescue_fd, &size), 0);
	EXPECT_EQ(size, 0x100000u);
}

struct range_case {
	const char *name;
	bool erase;
	uint32_t offset, length;
	std::vector<fake_fault> faults;
	int rc;
	std::string out;
	uint32_t data_end;         // new data lands in offset to data_end - 1
	uint32_t fill_from, fill_to; // then these bytes read fill
	size_t requests;             // preads, erases and pwrites
	uint8_t fill = 0xFF;
};

const std::string W4 = "Flash Write 0x00010000 to 0x0006ffff (0x00000000 to 0x0007ffff) 4\n\n";

const range_case range_cases[] = {
	{ "write across two sectors", false, 0x1FF00, 0x300, {}, 0,
	  "Flash Write 0x0001ff00 to 0x000201ff (0x00000000 to 0x0003ffff) 2\n\n..\n",
	  0x20200, 0, 0, 2 * 130 },
	{ "write one aligned sector", false, S, S, {}, 0,
	  "Flash Write 0x00020000 to 0x0003ffff (0x00020000 to 0x0003ffff) 1\n\n.\n", 2 * S, 0, 0, 130 },
	{ "write four sectors", false, 0x10000, 3 * S, {}, 0, W4 + "....\n", 0x70000, 0, 0, 4 * 130 },
	{ "write nothing at a sector start", false, 2 * S, 0, {}, 0,
	  "Flash Write 0x00040000 to 0x0003ffff (0x00040000 to 0x0003ffff) 0\n\n\n", 2 * S, 0, 0, 0 },
	{ "write nothing inside a sector", false, 0x40010, 0, {}, 0,
	  "Flash Write 0x00040010 to 0x0004000f (0x00040000 to 0x0005ffff) 1\n\n.\n", 0x40010, 0, 0, 130 },
	{ "read fails in the third sector", false, 0x10000, 3 * S, { { FAKE_PREAD, -1, 3, EIO, 0 } }, -1,
	  W4 + "..Flash Write mtd read failed.\n\n", 2 * S, 0, 0, 2 * 130 + 1 },
	{ "erase fails in the third sector", false, 0x10000, 3 * S, { { FAKE_ERASE, -1, 3, EIO, 0 } }, -1,
	  W4 + "..Flash Write mtd erase failed.\n\n", 2 * S, 0, 0, 2 * 130 + 2 },
	{ "write fails in the third sector", false, 0x10000, 3 * S, { { FAKE_PWRITE, -1, 257, EIO, 0 } }, -1,
	  W4 + "..Flash Write mtd write failed.\n\n", 2 * S, 2 * S, 3 * S, 2 * 130 + 3 },
	{ "short read of the second sector", false, 0x1FF00, 0x300, { { FAKE_PREAD, -1, 2, 0, 0 } }, 0,
	  "Flash Write 0x0001ff00 to 0x000201ff (0x00000000 to 0x0003ffff) 2\n\n..\n",
	  0x20200, 0x20200, 2 * S, 2 * 130, 0x00 },
	{ "write past the partition end", false, 0xFFF00, 0x200, {}, -1,
	  "Flash Write 0x000fff00 to 0x001000ff (0x000e0000 to 0x0011ffff) 2\n\n"
	  ".Flash Write mtd erase failed.\n\n", 0x100000, 0, 0, 130 + 2 },
	// A range that wraps around the 32-bit offsets is refused.
	{ "write past 4 GiB", false, 0xFFFFFF00, 0x200, {}, -1,
	  "Flash Write refused: 0x00000200 bytes at 0xffffff00 run past 4 GiB\n", 0xFFFFFF00, 0, 0, 0 },
	{ "erase inside one sector", true, 0x20010, 0x10, {}, 0, "", 0, S, 2 * S, 1 },
	{ "erase three sectors", true, 0x30000, 2 * S, {}, 0, "", 0, S, 4 * S, 3 },
	{ "erase nothing at a sector start", true, 2 * S, 0, {}, 0, "", 0, 0, 0, 0 },
	{ "erase fails in the second sector", true, 0, 3 * S, { { FAKE_ERASE, -1, 2, EIO, 0 } }, -1,
	  "Flash Erase mtd erase failed.\n", 0, 0, S, 2 },
	{ "erase past 4 GiB", true, 0xFFFFFFF0, 0x20, {}, -1,
	  "Flash Erase refused: 0x00000020 bytes at 0xfffffff0 run past 4 GiB\n", 0, 0, 0, 0 },
};

TEST(flash_write_erase, byte_model)
{
	for (const range_case &c : range_cases) {
		SCOPED_TRACE(c.name);
		fresh();
		ASSERT_EQ(api_flash_init(), 0);
		std::vector<uint8_t> &flash = fake_mtd("rfs").data, model = flash;
		std::vector<uint8_t> src(c.length);
		for (size_t i = 0; i < src.size(); i++)
			src[i] = static_cast<uint8_t>(0x80 | (i * 5 + 1)); // the fake's bit 7 is clear
		for (uint32_t i = c.offset; !c.erase && i < c.data_end; i++)
			model[i] = src[i - c.offset];
		std::fill(model.begin() + c.fill_from, model.begin() + c.fill_to, c.fill);
		for (const fake_fault &f : c.faults)
			fake_fail(f);
		fake_log.clear();
		std::string out;

		int rc = run_captured([&] {
			return c.erase ? api_flash_erase(rfs_fd, c.offset, c.length)
				       : api_flash_write(src.data(), rfs_fd, c.offset, c.length);
		}, &out);
		EXPECT_EQ(rc, c.rc);
		EXPECT_EQ(out, c.out);
		EXPECT_EQ(fake_log.size(), c.requests);
		for (size_t i = 0; i < flash.size(); i++)
			ASSERT_EQ(flash[i], model[i]) << "at 0x" << std::hex << i;
	}
}

TEST(flash_write_erase, closed_without_flash)
{
	uint8_t buf[4] = {};
	std::string out;

	fresh(0);
	EXPECT_EQ(run_captured(api_flash_init, &out), -1);
	fake_log.clear();
	EXPECT_EQ(run_captured([&] { return api_flash_write(buf, rfs_fd, 0, 4); }, &out), -1);
	EXPECT_EQ(run_captured([&] { return api_flash_erase(rfs_fd, 0, 4); }, &out), -1);
	EXPECT_EQ(out, "");
	EXPECT_TRUE(fake_log.empty());
}

// Sector sizes that are not a power of two of at least 1024 bytes are
// refused: the span and the write-back pieces would leave the sector.
TEST(flash_write_erase, geometry_outside_the_limit)
{
	for (uint32_t size : { 0u, 512u, 3000u, 0x18000u }) {
		SCOPED_TRACE(size);
		fresh(0x400000, size);
		ASSERT_EQ(api_flash_init(), 0);
		const std::vector<uint8_t> before = fake_mtd("rfs").data;
		uint8_t buf[4] = {};
		std::string out, out2;
		fake_log.clear();

		EXPECT_EQ(run_captured([&] { return api_flash_write(buf, rfs_fd, 0x10, 4); }, &out), -1);
		EXPECT_EQ(run_captured([&] { return api_flash_erase(rfs_fd, 0x10, 4); }, &out2), -1);
		const std::string why = fake_fmt(" refused: sector size %u is not a power of two of at least 1024\n", size);
		EXPECT_EQ(out, "Flash Write" + why);
		EXPECT_EQ(out2, "Flash Erase" + why);
		EXPECT_TRUE(fake_log.empty());
		EXPECT_TRUE(fake_mtd("rfs").data == before);
	}
}

TEST(flash_trace, read)
{
	uint8_t buf[16];
	std::string out;

	fresh();
	api_flash_init();
	debug_read = 1;
	EXPECT_EQ(run_captured([&] { return api_flash_read(buf, rescue_fd, 0, 16); }, &out), 0);
	EXPECT_EQ(out, "Flash Read 0x00000000 to 0x0000000f\nmtd read  0x00000000 to 0x0000000f " + hex(buf) + "\n");
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

TEST(flash_trace, erase)
{
	std::string out;

	fresh();
	api_flash_init();
	debug_erase = 1;
	EXPECT_EQ(run_captured([] { return api_flash_erase(rfs_fd, 0x1FF00, 0x300); }, &out), 0);
	EXPECT_EQ(out, "Flash Erase 0x0001ff00 to 0x000201ff (0x00000000 to 0x0003ffff) 2\n"
		       "mtd erase 0x00000000 to 0x0001ffff\nmtd erase 0x00020000 to 0x0003ffff\n");
}

} // namespace
