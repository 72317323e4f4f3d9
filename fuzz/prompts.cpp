// The two console prompts on any input: rescue mode's erase confirmation
// (one line of at most 127 characters) and the recovery image's install
// prompt (at most 7), read one after the other from the same bytes, with a
// valid recovery image on the rescue partition. A model of line input
// ("fgets": up to the newline or the size, NULL only at end of input)
// gives each answer's first character; from those the expected console
// text, shell command lines, VPD writes and installed files follow, and
// are compared byte for byte. The unpack is refused (no shell), so that
// every run ends in the reboot with exit status 0.
#include "board_api.h"
#include "container.h"
#include "fake_board.h"
#include "fake_platform.h"
#include "launch.h"
#include "sandbox_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

static const char TAR_LINE[] = "cd /tmp \ntar mxzf /tmp/vemraimage.tar.gz \nrm /tmp/vemraimage.tar.gz\n";

static int rescue_entry(void)
{
	return run_rescue_mode();
}

// First character of the next line read into a buffer of `size`, or EOF.
static int next_answer(const std::string &in, size_t *pos, size_t size)
{
	if (*pos >= in.size())
		return EOF;
	const int c = (unsigned char)in[*pos];
	const size_t nl = in.find('\n', *pos);
	const size_t line = nl == std::string::npos ? in.size() - *pos : nl - *pos + 1;
	*pos += std::min(line, size - 1);
	return c;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const std::vector<uint8_t> image = make_image({ 0x1F, 0x8B, 'r', 'e', 's', 'c', 'u', 'e' });
	const std::string in(data, data + size);
	size_t pos = 0;
	const int confirm = next_answer(in, &pos, 128);
	const int install = next_answer(in, &pos, 8);
	const bool erase = confirm == 'y' || confirm == 'Y';
	const bool slot = install == '1' || install == '2';

	std::string out = "Entering rescue mode....\n"
			  "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ";
	std::vector<std::string> events;
	if (erase) {
		out += "\nErasing filesystem for clean install\nErasing....\n";
		events.push_back("system flash_eraseall /dev/mtd-user-char");
	}
	out += "Mounting...\nBooting rescue image...\n"
	       "Install recovery image as image 1 or 2 (hit return to just boot image): ";
	events.push_back("system /bin/mount -o sync -t jffs2 /dev/mtd-user /user");
	events.push_back("system mkdir /user/images");
	if (slot) {
		const char d = (char)install;
		out += std::string("\nInstalling recovery image as image") + d + "...\n" +
		       "setting boot image to " + d + "\n";
		events.push_back("system mkdir /user/images");
		events.push_back(std::string("system cp /tmp/image /user/images/image") + d + "\n");
		events.push_back(std::string("vpd 0=") + d);
		events.push_back(std::string("vpd 58=") + d);
	} else if (install != EOF) {
		out += "\nBooting recovery image. You will need to download and install an image before rebooting\n";
		events.push_back("vpd 58=4");
	}
	events.push_back(std::string("system ") + TAR_LINE);
	events.push_back("system reboot");

	platform_begin();
	board_begin();
	board.i2c_open = true;
	api_flash_init();
	board.rescue = image;
	platform.failing_line = TAR_LINE;
	const run_result r = platform_run(rescue_entry, in);

	std::vector<std::string> seen;
	for (const std::string &e : platform.events)
		if (e.rfind("system ", 0) == 0 || e.rfind("vpd ", 0) == 0)
			seen.push_back(e);
	check(r.end == RUN_EXITED && platform.events.back() == "exit 0", "ends in exit 0");
	check(r.console.out == out, "standard output");
	check(r.console.err == "Failed to gunzip Application OS.\n", "standard error");
	check(seen == events, "command lines and VPD writes");
	const std::string whole(image.begin(), image.end());
	check(file("/tmp/image") == (slot ? whole : "(no file)"), "install copy");
	for (char d : { '1', '2' })
		check(file(std::string("/user/images/image") + d) == (install == d ? whole : "(no file)"),
		      "image slots");
	check(file("/tmp/vemraimage.tar.gz") == whole.substr(16), "staged payload");
	platform_end();
	return 0;
}
