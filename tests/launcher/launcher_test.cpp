// The launcher's whole pass, from main to the exec or the reboot, on a
// fake board over a sandboxed platform: boot outcomes, launch lines,
// recovery image and rescue mode. Each case states the console bytes
// stream by stream, the logged calls in order, how the run ended and the
// files left behind.
#include "fake_alloc.h"
#include "fake_board.h"
#include "fake_platform.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <unistd.h>

extern "C" int launcher_main(void);

namespace {

using events = std::vector<std::string>;

const std::string MOUNT = "system /bin/mount -o sync -t jffs2 /dev/mtd-user /user";
const std::string UNPACK_LINE = "cd /tmp \ntar mxzf /tmp/vemraimage.tar.gz \nrm /tmp/vemraimage.tar.gz\n";
const std::string UNPACK = "system " + UNPACK_LINE;
const std::string MOVE = "system mv /tmp/home/bin/mp.elf.strip /tmp";
const std::string SHELL = "system /bin/sh\n";
const std::string MKDIR = "system mkdir /user/images";
const std::string ERASE = "system flash_eraseall /dev/mtd-user-char";
const std::string MONITOR = "execve /bin/zid-Monitor {/bin/zid-Monitor}";
const std::string HEADER_READ = "read rescue 0+16";
const events START = {"i2c_init", "flash_init", "read env 4+1280"};
const events RESET = {"sleep 10", "system reboot", "exit 0"};

const std::string B1 = "Booting image '1'\n", B2 = "Booting image '2'\n", B12 = B1 + B2;
const std::string FALLBACK = "Failed to open Application image 1. Trying image 2.\n"
			     "Failed to open Application image 2. Trying rescue image\n";
const std::string INSTALL = "Install recovery image as image 1 or 2 (hit return to just boot image): ";
const std::string JUST_BOOT = "\nBooting recovery image. You will need to download and install an image before rebooting\n";
const std::string RESCUE = "Entering rescue mode....\n"
			   "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ";
const std::string ERASING = "\nErasing filesystem for clean install\nErasing....\n";
const std::string RESCUE_BOOT = "Mounting...\nBooting rescue image...\n";

events launch(const std::string &exec = MONITOR)
{
	return {"sleep 1", UNPACK, MOVE, "i2c_close", exec};
}

events cat(events a, const events &b, const events &c = {})
{
	a.insert(a.end(), b.begin(), b.end());
	a.insert(a.end(), c.begin(), c.end());
	return a;
}

// Both reads of a recovery image with the magic: header, then the whole
// container.
events recovery_reads(image_kind kind)
{
	return {HEADER_READ, "read rescue 0+" + std::to_string(image(kind, "rescue").size())};
}

events installs(char digit)
{
	return {MKDIR, std::string("system cp /tmp/image /user/images/image") + digit + "\n",
		std::string("vpd 0=") + digit, std::string("vpd 58=") + digit};
}

std::string installing(char digit)
{
	return std::string("\nInstalling recovery image as image") + digit + "...\nsetting boot image to " + digit + "\n";
}

struct boot_case {
	const char *name;
	int vpd0 = 1;                     // -1: no I2C bus
	image_kind slot1 = NONE, slot2 = NONE, rescue = NONE;
	const char *env = "";             // boot-loader variables, one a line
	std::string input{};              // console answers
	const char *blocked = nullptr;    // made a directory: cannot be created
	const char *failing = "";         // a command line that returns failing_status
	int failing_status = -1;          // -1: its shell cannot run
	int exec_errno = 0;
	size_t memory = SIZE_MAX;         // largest allocation the launcher gets
	int failing_alloc = 0;            // its nth allocation fails (from 1)
	std::string out{}, err{};
	events log{};                     // after START
	const char *started = nullptr;    // payload whose program is in /tmp
	const char *staging = nullptr;    // payload left staged, "" for empty
	char installed = 0;               // slot digit holding the recovery image
	const char *line = nullptr;       // stringbuff at the end
};

void check_boot(const boot_case &c)
{
	SCOPED_TRACE(c.name);
	const bytes slot[2] = {image(c.slot1, "image1"), image(c.slot2, "image2")};
	const std::string recovery = as_text(image(c.rescue, "rescue"));

	platform_begin();
	board_begin();
	board.vpd_selected = c.vpd0;
	board.env = env_image(c.env);
	board.rescue = image(c.rescue, "rescue");
	board.rescue.resize(board.rescue.size() + 4096, 0xFF);
	for (int i = 0; i < 2; i++)
		if (!slot[i].empty())
			put_file(sandbox("/user/images/image" + std::to_string(i + 1)), slot[i]);
	if (c.blocked)
		std::filesystem::create_directory(sandbox(c.blocked));
	platform.failing_line = c.failing;
	platform.failing_status = c.failing_status;
	platform.exec_errno = c.exec_errno;
	launch_settings = {};
	tried_alt_image = 0;

	fake_alloc_arm(c.memory, c.failing_alloc);
	const run_result r = platform_run(launcher_main, c.input);
	fake_alloc_disarm();

	EXPECT_EQ(r.console.out, c.out);
	EXPECT_EQ(r.console.err, c.err);
	EXPECT_EQ(platform.events, cat(START, c.log));
	EXPECT_EQ(r.end, c.log.back().rfind("exit", 0) == 0 ? RUN_EXITED : RUN_EXECED);
	EXPECT_EQ(contents(sandbox("/tmp/mp.elf.strip")), c.started ? program_of(c.started) : "(no file)");
	EXPECT_EQ(contents(sandbox("/tmp/vemraimage.tar.gz")),
		  !c.staging ? "(no file)" : *c.staging ? as_text(payload(c.staging)) : "");
	for (int i = 0; i < 2; i++) {
		const char digit = (char)('1' + i);
		const std::string want = c.installed == digit ? recovery : slot[i].empty() ? "(no file)" : as_text(slot[i]);
		EXPECT_EQ(contents(sandbox("/user/images/image") + digit), want) << "slot " << digit;
	}
	EXPECT_EQ(contents(sandbox("/tmp/image")), c.installed ? recovery : "(no file)");
	if (c.line) {
		EXPECT_STREQ(stringbuff, c.line);
	}
	if (r.end == RUN_EXECED) { // the inherited environment, DUMA preloaded with memchk
		const bool preload = strstr(c.env, "memchk=on");
		std::multiset<std::string> want;
		for (char **e = environ; *e; e++)
			if (!preload || strncmp(*e, "LD_PRELOAD=", 11) != 0)
				want.insert(*e);
		if (preload)
			want.insert("LD_PRELOAD=libduma.so.0.0.0");
		EXPECT_EQ(std::multiset<std::string>(platform.exec_env.begin(), platform.exec_env.end()), want);
	}
	platform_end();
}

TEST(Boot, Outcomes)
{
	const events image1 = cat({MOUNT, "vpd 58=1"}, launch()), image2 = cat({MOUNT, "vpd 58=2"}, launch());
	const events to_recovery = cat({MOUNT, HEADER_READ}, RESET);
	const boot_case cases[] = {
		{.name = "slot 1 chosen", .slot1 = VALID, .slot2 = VALID, .out = B1, .log = image1, .started = "image1",
		 .line = "/bin/zid-Monitor"},
		{.name = "slot 2 chosen", .vpd0 = 2, .slot1 = VALID, .slot2 = VALID, .out = B2, .log = image2, .started = "image2"},
		{.name = "VPD 0 picks 1", .vpd0 = 0, .slot1 = VALID, .slot2 = VALID, .out = B1, .log = image1, .started = "image1"},
		{.name = "VPD 3 picks 1", .vpd0 = 3, .slot1 = VALID, .slot2 = VALID, .out = B1, .log = image1, .started = "image1"},
		{.name = "no I2C bus: 255 picks 1", .vpd0 = -1, .slot1 = VALID, .slot2 = VALID, .out = B1, .log = image1, .started = "image1"},
		{.name = "slot 1 missing: slot 2's file, recorded as 1", .slot2 = VALID, .out = B1,
		 .err = "Failed to open Application image 1. Trying image 2.\n", .log = image1, .started = "image2"},
		{.name = "slot 2 missing: slot 1's file, recorded as 2", .vpd0 = 2, .slot1 = VALID, .out = B2,
		 .err = "Failed to open Application image 2. Trying image 1.\n", .log = image2, .started = "image1"},
		{.name = "little-endian magic, then slot 2", .slot1 = BAD_MAGIC, .slot2 = VALID, .out = B12,
		 .err = "Image1 has invalid header... trying Image2.\n", .log = image2, .started = "image2"},
		{.name = "file shorter than a header", .slot1 = SHORT, .slot2 = VALID, .out = B12,
		 .err = "Image1 has invalid header... trying Image2.\n", .log = image2, .started = "image2"},
		{.name = "slot 2 fails the checksum, then slot 1", .vpd0 = 2, .slot1 = VALID, .slot2 = BAD_CRC,
		 .out = B2 + B1, .err = "Image2 CRC failed, trying Image1 now.\n", .log = image1, .started = "image1"},
		{.name = "file ends before length + 16", .slot1 = TRUNCATED, .slot2 = VALID, .out = B12,
		 .err = "Image1 CRC failed, trying Image2 now.\n", .log = image2, .started = "image2"},
		{.name = "length + 16 wraps 32 bits", .slot1 = WRAPPED, .slot2 = VALID, .out = B12,
		 .err = "Image1 CRC failed, trying Image2 now.\n", .log = image2, .started = "image2"},
		{.name = "both fail the checksum: recovery not read", .slot1 = BAD_CRC, .slot2 = BAD_CRC, .rescue = VALID,
		 .out = B12, .err = "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n",
		 .log = cat({MOUNT}, RESET), .staging = ""},
		{.name = "both fail the checksum, shell on, no reboot", .slot1 = BAD_CRC, .slot2 = BAD_CRC, .env = "shell=on",
		 .failing = "reboot", .out = B12 + "# ",
		 .err = "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"
			"System reboot failed, please power-cycle.\n",
		 .log = cat({MOUNT, SHELL}, RESET), .staging = ""},
		{.name = "checksum, then invalid header: recovery", .slot1 = BAD_CRC, .slot2 = BAD_MAGIC, .out = B12,
		 .err = "Image1 CRC failed, trying Image2 now.\nNo valid application image found. Trying rescue image\n"
			"Image not found... \n",
		 .log = to_recovery, .staging = ""},
		{.name = "no file: recovery at once", .out = B1, .err = FALLBACK + "Image not found... \n",
		 .log = to_recovery, .staging = ""},
		{.name = "no file, slot 2 chosen", .vpd0 = 2, .out = B2,
		 .err = "Failed to open Application image 2. Trying image 1.\n"
			"Failed to open Application image 1. Trying rescue image\nImage not found... \n",
		 .log = to_recovery, .staging = ""},
		{.name = "no memory for the image buffers", .slot1 = VALID, .slot2 = VALID, .memory = 64, .out = B12,
		 .err = "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n",
		 .log = cat({MOUNT}, RESET), .staging = ""},
		{.name = "empty payload, unpack exits 1: the launch goes on", .slot1 = EMPTY, .failing = UNPACK_LINE.c_str(),
		 .failing_status = 1 << 8, .out = B1, .log = image1, .staging = ""},
		{.name = "staging archive cannot be created", .slot1 = VALID, .env = "shell=on", .blocked = "/tmp/vemraimage.tar.gz",
		 .out = B1 + "# ", .err = "Failed to open application image output file.\n", .log = cat({MOUNT, SHELL}, RESET)},
	};
	for (const boot_case &c : cases)
		check_boot(c);
}

TEST(Boot, LaunchLines)
{
	const events head = {MOUNT, "vpd 58=1"};
	const boot_case cases[] = {
		{.name = "gdb", .slot1 = VALID, .env = "gdb=on\ngdbserver=10.0.0.1\ngdbport=2345", .out = B1,
		 .log = cat(head, launch("execve /bin/gdbserver {/bin/gdbserver, 10.0.0.1:2345, /tmp/mp.elf.strip}")),
		 .started = "image1", .line = "/bin/gdbserver 10.0.0.1:2345 /tmp/home/bin/mp.elf.strip\n"},
		{.name = "gdb and memchk", .slot1 = VALID,
		 .env = "gdb=on\ngdbserver=255.254.129.128\ngdbport=-1\nmemchk=on", .out = B1,
		 .log = cat(head, launch("execve /bin/gdbserver {/bin/gdbserver, 255.254.129.128:-1, /tmp/mp.elf.strip}")),
		 .started = "image1",
		 .line = "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver 255.254.129.128:-1 /tmp/home/bin/mp.elf.strip\n"},
		{.name = "memchk", .slot1 = VALID, .env = "memchk=on", .out = B1,
		 .log = cat(head, launch("execve /tmp/mp.elf.strip {/tmp/mp.elf.strip}")), .started = "image1",
		 .line = "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n"},
		{.name = "shell, its prompt between the two lines", .slot1 = VALID, .env = "shell=on",
		 .out = B1 + "Dropping into shell\n# Dropping out of shell\n",
		 .log = cat(head, {"sleep 1", UNPACK, MOVE, SHELL, "i2c_close", MONITOR}),
		 .started = "image1", .line = "/bin/zid-Monitor"},
		{.name = "no memory for the DUMA environment", .slot1 = VALID, .env = "memchk=on", .failing_alloc = 2, .out = B1,
		 .err = "Failed to start Application OS.\n", .log = cat(head, {"sleep 1", UNPACK, MOVE, "i2c_close"}, RESET),
		 .started = "image1"},
		{.name = "program cannot be started", .slot1 = VALID, .exec_errno = ENOENT, .out = B1,
		 .err = "Failed to start Application OS.\n", .log = cat(head, launch(), RESET), .started = "image1"},
		{.name = "no shell for the unpack", .slot1 = VALID, .failing = UNPACK_LINE.c_str(), .out = B1,
		 .err = "Failed to gunzip Application OS.\n", .log = cat(head, {"sleep 1", UNPACK}, RESET),
		 .staging = "image1"},
	};
	for (const boot_case &c : cases)
		check_boot(c);
}

TEST(Boot, RecoveryAndRescue)
{
	const events reads = recovery_reads(VALID), boot = cat(reads, launch());
	const std::string asked = B1 + INSTALL;
	const char *const rescue = "diagnostics=rescue";
	const boot_case cases[] = {
		{.name = "end of input: no VPD write", .rescue = VALID, .out = asked, .err = FALLBACK,
		 .log = cat({MOUNT}, boot), .started = "rescue"},
		{.name = "empty line", .rescue = VALID, .input = "\n", .out = asked + JUST_BOOT, .err = FALLBACK,
		 .log = cat({MOUNT}, reads, cat({"vpd 58=4"}, launch())), .started = "rescue"},
		{.name = "blank before the digit", .rescue = VALID, .input = " 2\n", .out = asked + JUST_BOOT, .err = FALLBACK,
		 .log = cat({MOUNT}, reads, cat({"vpd 58=4"}, launch())), .started = "rescue"},
		{.name = "install as 2", .rescue = VALID, .input = "2\n", .out = asked + installing('2'), .err = FALLBACK,
		 .log = cat({MOUNT}, reads, cat(installs('2'), launch())), .started = "rescue", .installed = '2'},
		{.name = "length 0 installs a bare header, whatever follows the 1", .rescue = EMPTY, .input = "1 and then some\n",
		 .out = asked + installing('1'), .err = FALLBACK,
		 .log = cat({MOUNT, HEADER_READ, HEADER_READ}, installs('1'), launch()), .installed = '1'},
		{.name = "install copy cannot be created", .rescue = VALID, .input = "2\n", .blocked = "/tmp/image",
		 .out = asked + "\nInstalling recovery image as image2...\n", .err = FALLBACK + "Failed to open image file.\n",
		 .log = cat({MOUNT}, reads, RESET), .staging = "rescue"},
		{.name = "checksum fails", .rescue = BAD_CRC, .out = B1, .err = FALLBACK + "Image CRC failed. Quitting\n",
		 .log = cat({MOUNT}, recovery_reads(BAD_CRC), RESET), .staging = ""},
		{.name = "no memory for the image buffer: no second read", .rescue = VALID, .memory = 64, .out = B1,
		 .err = FALLBACK + "Image CRC failed. Quitting\n", .log = cat({MOUNT, HEADER_READ}, RESET), .staging = ""},
		{.name = "staging archive cannot be created", .rescue = VALID, .blocked = "/tmp/vemraimage.tar.gz", .out = B1,
		 .err = FALLBACK + "Failed to open AppOS tarfile.\n", .log = cat({MOUNT}, RESET)},
		{.name = "rescue: yes erases before the mount, then install as 2", .rescue = VALID, .env = rescue,
		 .input = "yes\n2\n", .out = RESCUE + ERASING + RESCUE_BOOT + INSTALL + installing('2'),
		 .log = cat({ERASE, MOUNT, MKDIR}, reads, cat(installs('2'), launch())), .started = "rescue", .installed = '2'},
		{.name = "rescue: Y", .rescue = VALID, .env = rescue, .input = "Y\n", .out = RESCUE + ERASING + RESCUE_BOOT + INSTALL,
		 .log = cat({ERASE, MOUNT, MKDIR}, boot), .started = "rescue"},
		{.name = "rescue: blank, then y", .rescue = VALID, .env = rescue, .input = " y\n", .out = RESCUE + RESCUE_BOOT + INSTALL,
		 .log = cat({MOUNT, MKDIR}, boot), .started = "rescue"},
		{.name = "rescue: end of input", .rescue = VALID, .env = rescue, .out = RESCUE + RESCUE_BOOT + INSTALL,
		 .log = cat({MOUNT, MKDIR}, boot), .started = "rescue"},
		{.name = "rescue: past 127 characters the answer runs on", .rescue = VALID, .env = rescue,
		 .input = "n" + std::string(126, 'y') + "2\n", .out = RESCUE + RESCUE_BOOT + INSTALL + installing('2'),
		 .log = cat({MOUNT, MKDIR}, reads, cat(installs('2'), launch())), .started = "rescue", .installed = '2'},
		{.name = "rescue: no recovery image, normal boot, one mount", .slot1 = VALID, .env = rescue, .input = "\n",
		 .out = RESCUE + RESCUE_BOOT + B1, .err = "Image not found... \n",
		 .log = cat({MOUNT, MKDIR, HEADER_READ, "vpd 58=1"}, launch()), .started = "image1"},
		{.name = "rescue: nothing bootable, recovery read twice", .env = rescue, .input = "\n",
		 .out = RESCUE + RESCUE_BOOT + B1, .err = "Image not found... \n" + FALLBACK + "Image not found... \n",
		 .log = cat({MOUNT, MKDIR, HEADER_READ, HEADER_READ}, RESET), .staging = ""},
	};
	for (const boot_case &c : cases)
		check_boot(c);
}

TEST(CheckCrc, SenseAndVariant)
{
	const uint8_t *check = (const uint8_t *)"123456789";

	EXPECT_EQ(CheckCrc(check, 9, 0x340BC6D9), 0); // CRC-32/JAMCRC check value
	EXPECT_EQ(CheckCrc(check, 9, 0xCBF43926), 1); // the common CRC-32: a mismatch, 1
	EXPECT_EQ(CheckCrc(check, 0, 0xFFFFFFFF), 0); // nothing covered: the preset
}

} // namespace
