// The container check as the launcher makes it, on a slot file
// (extract_image) and on the rescue partition (extract_image_from_flash).
// Input: byte 0 picks the place (bit 0: rescue partition) and, for a slot,
// the attempt (bit 1: second attempt); the rest is the file or partition.
// Memory above 256 KiB is refused (the board's memory ends somewhere); a read of the rescue
// partition past its end is short, and the launcher counts the missing
// bytes as zeros (its buffer is cleared before the read).
// Checked beyond "no crash", against an independent model (crc_model.h):
//  - the verdict: invalid header, checksum failure or valid, shown by the
//    exact messages on standard error and nothing on standard output but
//    the install prompt;
//  - how the run ends (returned to try the other slot, exit 0 after the
//    reboot command, or on to the launch);
//  - a valid image's payload, exactly length bytes, in the staging archive,
//    and the booted-image record; an invalid one leaves it empty;
//  - no fault of the fake platform (unflushed console at system/exec/exit,
//    unexpected command lines, descriptors left open).
#include "board_api.h"
#include "crc_model.h"
#include "fake_alloc.h"
#include "fake_board.h"
#include "fake_platform.h"
#include "launch.h"
#include "sandbox_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>

static const size_t MEMORY = 256 << 10;
static const char TAR_LINE[] = "cd /tmp \ntar mxzf /tmp/vemraimage.tar.gz \nrm /tmp/vemraimage.tar.gz\n";

static int slot_entry(void)
{
	return extract_image(1);
}

static int rescue_entry(void)
{
	return extract_image_from_flash();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const bool rescue = data[0] & 1, second = data[0] & 2;
	const uint8_t *img = data + 1;
	const size_t n = size - 1;
	// The rescue partition reads as zeros past its end.
	std::vector<uint8_t> image(img, img + n);
	if (rescue && n < 16)
		image.resize(16);
	uint64_t length = 0;
	model_verdict v = model_container(image.data(), image.size(), &length);

	if (rescue && v == M_BAD_CRC && length + 16 <= MEMORY && length + 16 > image.size()) {
		image.resize(length + 16);
		v = model_container(image.data(), image.size(), &length);
	}
	if (length + 16 > MEMORY && v == M_VALID)
		v = M_BAD_CRC;

	platform_begin();
	board_begin();
	board.i2c_open = true;
	api_flash_init();
	if (rescue)
		board.rescue.assign(img, img + n);
	else
		std::ofstream(sandbox("/user/images/image1"), std::ios::binary).write((const char *)img, n);
	tried_alt_image = second;
	// A valid image goes on to the unpack; the shell is refused there, so
	// that the run ends in the reboot with the staging archive still in
	// place to be looked at.
	platform.failing_line = TAR_LINE;
	fake_alloc_arm(MEMORY);
	const run_result r = platform_run(rescue ? rescue_entry : slot_entry, "");
	fake_alloc_disarm();

	std::string err, out;
	run_end end = RUN_EXITED;
	if (v == M_VALID) {
		out = rescue ? "Install recovery image as image 1 or 2 (hit return to just boot image): " : "";
		err = "Failed to gunzip Application OS.\n";
	} else if (rescue) {
		err = v == M_BAD_HEADER ? "Image not found... \n" : "Image CRC failed. Quitting\n";
		end = RUN_RETURNED;
	} else if (!second) {
		err = v == M_BAD_HEADER ? "Image1 has invalid header... trying Image2.\n"
					: "Image1 CRC failed, trying Image2 now.\n";
		end = RUN_RETURNED;
	} else {
		// The rescue partition is empty: the recovery image is not found.
		err = v == M_BAD_HEADER ? "No valid application image found. Trying rescue image\nImage not found... \n"
					: "Both image1 and image2 failed.\n";
	}
	check(r.end == end, "how the run ends");
	check(r.console.err == err, "standard error");
	check(r.console.out == out, "standard output");
	const std::string staged = file("/tmp/vemraimage.tar.gz");
	if (v == M_VALID) {
		check(staged == std::string(image.begin() + 16, image.begin() + 16 + length), "staged payload");
		const bool recorded = std::find(platform.events.begin(), platform.events.end(),
						"vpd 58=1") != platform.events.end();
		check(recorded == !rescue, "booted-image record");
	} else {
		check(staged.empty(), "staging archive left empty");
	}
	if (end == RUN_EXITED)
		check(platform.events.back() == "exit 0", "exit status 0");
	platform_end();
	return 0;
}
