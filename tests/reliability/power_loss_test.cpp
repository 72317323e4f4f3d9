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
const uint32_t PIECES = SECTOR / 1024;
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

// The partition after `done` whole sectors, with the next one untouched
// (pieces < 0) or erased and written up to `pieces` pieces.
std::vector<uint8_t> at_cut(std::vector<uint8_t> flash, const std::vector<uint8_t> &src,
			    uint32_t done, int pieces)
{
	const uint32_t cut = (FIRST + done) * SECTOR;
	const uint32_t end = pieces < 0 ? cut : cut + SECTOR;
	const uint32_t written = pieces < 0 ? cut : cut + 1024u * pieces;

	for (uint32_t i = FIRST * SECTOR; i < end; i++) {
		if (i >= written)
			flash[i] = 0xFF;
		else if (i >= OFFSET && i < OFFSET + LENGTH)
			flash[i] = src[i - OFFSET];
	}
	return flash;
}

struct cut_point {
	uint32_t done; // sectors finished
	int pieces;    // of the next one; -1: not erased yet
};

TEST(power_loss, flash_write_cut_after_each_erase_and_piece)
{
	std::vector<cut_point> cuts;
	for (uint32_t s = 0; s < SECTORS; s++)
		for (int p = 0; p <= (int)PIECES; p++)
			cuts.push_back(p == (int)PIECES ? cut_point{ s + 1, -1 } : cut_point{ s, p });
	ASSERT_EQ(cuts.size(), SECTORS * (PIECES + 1)); // the last one: no cut

	std::vector<uint8_t> src(LENGTH);
	for (uint32_t i = 0; i < LENGTH; i++)
		src[i] = (uint8_t)(0x5A ^ i ^ (i >> 8));
	for (const cut_point &c : cuts) {
		SCOPED_TRACE(testing::Message() << c.done << " sectors, then " << c.pieces << " pieces");
		fresh_flash();
		const std::vector<uint8_t> old = fake_mtd("rfs").data;
		const bool complete = c.done == SECTORS;
		std::string tail = std::string(c.done, '.');

		if (c.pieces >= 0) {
			fake_fail({ FAKE_PWRITE, -1, (int)(c.done * PIECES + c.pieces + 1), EIO, 0 });
			tail += "Flash Write mtd write failed.\n\n";
		} else if (!complete) {
			fake_fail({ FAKE_ERASE, -1, (int)c.done + 1, EIO, 0 });
			tail += "Flash Write mtd erase failed.\n\n";
		} else {
			tail += "\n";
		}
		console_begin();
		const int rc = api_flash_write(src.data(), rfs_fd, OFFSET, LENGTH);
		const console_capture con = console_end();

		EXPECT_EQ(rc, complete ? 0 : -1);
		EXPECT_EQ(con.out, "Flash Write 0x00002a00 to 0x000095ff (0x00002000 to 0x00009fff) 4\n\n" + tail);
		const std::vector<uint8_t> want = at_cut(old, src, c.done, c.pieces);
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
		console_end();

		EXPECT_EQ(rc, done == SECTORS ? 0 : -1);
		std::fill(want.begin() + FIRST * SECTOR, want.begin() + (FIRST + done) * SECTOR, 0xFF);
		EXPECT_TRUE(fake_mtd("rfs").data == want);
	}
}

} // namespace
