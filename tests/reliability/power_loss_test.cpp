// Power lost in the middle of a sector-wise flash write or erase. The
// sequence is cut after each erase and after each 1024-byte piece: the
// next flash request fails and nothing after it reaches the flash. At
// every cut no byte outside the touched sectors has changed, the sectors
// before the cut hold the new data, the sector being written holds its
// written pieces and is erased after them, and later sectors are untouched.
#include "board_api.h"
#include "console.h"
#include "fake_mtd.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

const uint32_t SECTOR = 0x2000; // 8 pieces of 1024 bytes
const int PIECES = SECTOR / 1024;
const uint32_t OFFSET = 0x2A00; // inside sector 1
const uint32_t LENGTH = 0x6C00; // ends inside sector 4
const uint32_t FIRST = 1, SECTORS = 4;

void fresh_flash()
{
	fake_reset();
	for (fake_part &p : fake_parts)
		p.erasesize = SECTOR;
	ASSERT_EQ(api_flash_init(), 0);
}

TEST(power_loss, flash_write_cut_after_each_erase_and_piece)
{
	std::vector<uint8_t> src(LENGTH);
	for (uint32_t i = 0; i < LENGTH; i++)
		src[i] = (uint8_t)(0x5A ^ i ^ (i >> 8));
	// In order: after the erase of sector `done` and `pieces` of its
	// pieces, or (pieces -1) before that erase; the last is no cut at all.
	for (uint32_t cut = 1; cut <= SECTORS * (PIECES + 1); cut++) {
		const uint32_t done = cut / (PIECES + 1);
		const int pieces = (int)(cut % (PIECES + 1)) - 1;
		const bool complete = done == SECTORS;
		SCOPED_TRACE(testing::Message() << done << " sectors, then " << pieces << " pieces");
		fresh_flash();
		std::vector<uint8_t> want = fake_mtd("rfs").data;
		std::string tail = std::string(done, '.');

		if (pieces >= 0) {
			fake_fail({ FAKE_PWRITE, -1, (int)done * PIECES + pieces + 1, EIO, 0 });
			tail += "Flash Write mtd write failed.\n\n";
		} else if (!complete) {
			fake_fail({ FAKE_ERASE, -1, (int)done + 1, EIO, 0 });
			tail += "Flash Write mtd erase failed.\n\n";
		} else {
			tail += "\n";
		}
		console_begin();
		const int rc = api_flash_write(src.data(), rfs_fd, OFFSET, LENGTH);
		const console_capture con = console_end();

		EXPECT_EQ(rc, complete ? 0 : -1);
		EXPECT_EQ(con.out, "Flash Write 0x00002a00 to 0x000095ff (0x00002000 to 0x00009fff) 4\n\n" + tail);
		// Sectors before the cut written; the cut one erased and written
		// up to its failed piece.
		const uint32_t at = (FIRST + done) * SECTOR;
		const uint32_t written = pieces < 0 ? at : at + 1024 * pieces;
		for (uint32_t i = FIRST * SECTOR; i < (pieces < 0 ? at : at + SECTOR); i++) {
			if (i >= written)
				want[i] = 0xFF;
			else if (i >= OFFSET && i < OFFSET + LENGTH)
				want[i] = src[i - OFFSET];
		}
		const std::vector<uint8_t> &flash = fake_mtd("rfs").data;
		for (size_t i = 0; i < flash.size(); i++)
			ASSERT_EQ(flash[i], want[i]) << "at 0x" << std::hex << i;
	}
}

TEST(power_loss, flash_erase_cut_after_each_erase)
{
	for (uint32_t done = 0; done <= SECTORS; done++) {
		SCOPED_TRACE(done);
		fresh_flash();
		std::vector<uint8_t> want = fake_mtd("rfs").data;
		if (done < SECTORS)
			fake_fail({ FAKE_ERASE, -1, (int)done + 1, EIO, 0 });
		console_begin();
		const int rc = api_flash_erase(rfs_fd, OFFSET, LENGTH);
		const console_capture con = console_end();

		EXPECT_EQ(rc, done == SECTORS ? 0 : -1);
		EXPECT_EQ(con.out, done == SECTORS ? "" : "Flash Erase mtd erase failed.\n");
		std::fill(want.begin() + FIRST * SECTOR, want.begin() + (FIRST + done) * SECTOR, 0xFF);
		EXPECT_TRUE(fake_mtd("rfs").data == want);
	}
}

} // namespace
