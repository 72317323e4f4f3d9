// Flash offsets at the top of the 32-bit range, where the width of the
// arithmetic shows: "0x%08lx" values up to 0xffffffff, the sector span that
// wraps modulo 2^32, and offsets from 2 GiB on, which reach the device
// unchanged only with a 64-bit off_t on a 32-bit board. The same cases run
// natively (64-bit long) and on the board's powerpc (32-bit long); a value
// computed in the wrong width shows as 0xffffffffffffffff, as a count of
// 32768 sectors, or as a negative offset in the device log.
#include "board_api.h"
#include "console.h"
#include "fake_mtd.h"
#include "flash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

const uint32_t S = 0x20000; // the fake's erase size

enum op_kind { READ, WRITE, ERASE };

struct wide_case {
	const char *name;
	op_kind op;
	uint32_t offset, length;
	int rc;
	std::string out; // "%p": the buffer of the first device read
	std::vector<std::string> log;
};

const wide_case wide_cases[] = {
	{ "read of the last 16 bytes below 4 GiB", READ, 0xFFFFFFF0, 16, 0,
	  "Flash Read 0xfffffff0 to 0xffffffff\nmtd read  0xfffffff0 to 0xffffffff %p\n",
	  { "pread rescue 0xfffffff0 0x10" } },
	{ "read at 2 GiB", READ, 0x80000000, 16, 0,
	  "Flash Read 0x80000000 to 0x8000000f\nmtd read  0x80000000 to 0x8000000f %p\n",
	  { "pread rescue 0x80000000 0x10" } },
	// offset + length - 1 wraps to 0xffffffff, and so does the last sector
	// end: 0 sectors, nothing touched.
	{ "write of nothing at 0", WRITE, 0, 0, 0,
	  "Flash Write 0x00000000 to 0xffffffff (0x00000000 to 0xffffffff) 0\n\n\n", {} },
	{ "erase of nothing at 0", ERASE, 0, 0, 0,
	  "Flash Erase 0x00000000 to 0xffffffff (0x00000000 to 0xffffffff) 0\n", {} },
	// Ranges that end exactly at 4 GiB: the last sector end is 0xffffffff
	// and the count comes out of the subtraction modulo 2^32. The fake's
	// 1 MiB partition refuses the erase, which ends each request.
	{ "write of the last 16 bytes below 4 GiB", WRITE, 0xFFFFFFF0, 16, -1,
	  "Flash Write 0xfffffff0 to 0xffffffff (0xfffe0000 to 0xffffffff) 1\n\n"
	  "mtd read  0xfffe0000 to 0xffffffff %p\nmtd erase 0xfffe0000 to 0xffffffff\n"
	  "Flash Write mtd erase failed.\n\n",
	  { "pread rfs 0xfffe0000 0x20000", "erase rfs 0xfffe0000 0x20000" } },
	{ "erase of the last sector", ERASE, 0xFFFE0000, S, -1,
	  "Flash Erase 0xfffe0000 to 0xffffffff (0xfffe0000 to 0xffffffff) 1\n"
	  "mtd erase 0xfffe0000 to 0xffffffff\nFlash Erase mtd erase failed.\n",
	  { "erase rfs 0xfffe0000 0x20000" } },
	{ "erase of the last two sectors", ERASE, 0xFFFC0010, 0x3FFF0, -1,
	  "Flash Erase 0xfffc0010 to 0xffffffff (0xfffc0000 to 0xffffffff) 2\n"
	  "mtd erase 0xfffc0000 to 0xfffdffff\nFlash Erase mtd erase failed.\n",
	  { "erase rfs 0xfffc0000 0x20000" } },
};

// The buffer address as the trace lines print it.
std::string with_address(std::string out)
{
	const size_t at = out.find("%p");

	if (at != std::string::npos && !fake_mtd_buffers.empty())
		out.replace(at, 2, fake_fmt("0x%08lx", static_cast<unsigned long>(
					reinterpret_cast<uintptr_t>(fake_mtd_buffers[0]))));
	return out;
}

TEST(wide_offsets, traces_spans_and_device_offsets)
{
	for (const wide_case &c : wide_cases) {
		SCOPED_TRACE(c.name);
		fake_reset();
		theFlash = flash_desc{ "unknown", 0, 0, 0, 0 };
		debug_read = debug_write = debug_erase = 0;
		ASSERT_EQ(api_flash_init(), 0);
		ASSERT_EQ(theFlash.sector_size, S);
		debug_read = debug_write = debug_erase = 1;
		fake_log.clear();
		fake_mtd_buffers.clear();
		std::vector<uint8_t> buf(c.length, 0x5A);
		const std::vector<uint8_t> rfs = fake_mtd("rfs").data;

		console_begin();
		int rc = c.op == READ    ? api_flash_read(buf.data(), rescue_fd, c.offset, c.length)
			 : c.op == WRITE ? api_flash_write(buf.data(), rfs_fd, c.offset, c.length)
					 : api_flash_erase(rfs_fd, c.offset, c.length);
		const console_capture con = console_end();
		debug_read = debug_write = debug_erase = 0;

		EXPECT_EQ(rc, c.rc);
		EXPECT_EQ(con.out, with_address(c.out));
		EXPECT_EQ(con.err, "");
		EXPECT_EQ(fake_log, c.log);
		EXPECT_TRUE(fake_mtd("rfs").data == rfs);
		if (c.op == READ) {
			EXPECT_EQ(fake_mtd_buffers, std::vector<const void *>{ buf.data() });
		}
	}
}

} // namespace
