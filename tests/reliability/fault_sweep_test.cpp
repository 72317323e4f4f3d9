// Fault sweep of the boot: the launcher's whole pass from main, over the
// real board layer on fake devices and the sandboxed C library, with each
// platform call of a clean run failed in turn (the 1st, 2nd, ... nth of
// each kind). Every faulty run must end by exec, or by exit status 0 after
// the reboot command; it must stay within a bounded number of calls; and
// everything it prints must be one of the system's own texts.
#include "fake_alloc.h"
#include "fake_i2c.h"
#include "fake_mtd.h"
#include "fake_platform.h"
#include "fixtures.h"
#include "flash.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <regex>
#include <unistd.h>

extern "C" int launcher_main(void);

// File reads and writes of the launcher: only streams on sandbox files
// (image slots, staging archive, install copy) are counted and failed.
static int fail_fread, fail_fwrite, freads, fwrites;

extern "C" {
size_t __real_fread(void *p, size_t size, size_t n, FILE *f);
size_t __real_fwrite(const void *p, size_t size, size_t n, FILE *f);
}

static bool launcher_file(FILE *f)
{
	char link[64], path[PATH_MAX];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(f));
	const ssize_t n = readlink(link, path, sizeof path - 1);
	return n > 0 && !platform.root.empty() && std::string(path, n).rfind(platform.root + "/", 0) == 0;
}

extern "C" size_t __wrap_fread(void *p, size_t size, size_t n, FILE *f)
{
	return launcher_file(f) && ++freads == fail_fread ? 0 : __real_fread(p, size, n, f);
}

extern "C" size_t __wrap_fwrite(const void *p, size_t size, size_t n, FILE *f)
{
	return launcher_file(f) && ++fwrites == fail_fwrite ? 0 : __real_fwrite(p, size, n, f);
}

namespace {

enum fault_kind { OPEN, SELECT, XFER, GETINFO, PREAD, FOPEN, FREAD, FWRITE, ALLOC, SYSTEM, EXEC, KINDS };
const char *const KIND_NAMES[KINDS] = { "device open", "I2C select", "I2C transfer", "MEMGETINFO",
					"flash read", "fopen", "fread", "fwrite", "allocation",
					"system", "exec" };

struct scenario {
	const char *name;
	const char *env; // variables, one a line
	int selected;    // VPD byte 0
	image_kind slot1, slot2, rescue;
	const char *input;
};

const scenario scenarios[] = {
	{ "image 1 boots", "", 1, VALID, VALID, VALID, "" },
	{ "image 1 damaged, image 2 boots", "", 1, BAD_CRC, VALID, NONE, "" },
	{ "no slot, recovery installed as 2", "shell=on", 2, NONE, NONE, VALID, "2\n" },
	{ "rescue mode, erase, recovery boots", "diagnostics=rescue", 1, VALID, NONE, VALID, "y\n\n" },
	{ "nothing bootable: shell and reboot", "shell=on", 1, BAD_MAGIC, BAD_CRC, BAD_CRC, "" },
	{ "debugger and DUMA launch line", "gdb=on\ngdbserver=10.0.0.1\ngdbport=2345\nmemchk=on", 1,
	  VALID, NONE, NONE, "" },
};

// Any sequence of the texts: %d stands for a number, %c for a character,
// %s for a word.
std::regex any_of(std::initializer_list<const char *> texts)
{
	std::string re;
	for (const char *t : texts) {
		std::string e = std::regex_replace(t, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
		e = std::regex_replace(e, std::regex("%d"), "-?[0-9]+");
		e = std::regex_replace(e, std::regex("%c"), ".");
		re += (re.empty() ? "" : "|") + std::regex_replace(e, std::regex("%s"), "[^ \n]+");
	}
	return std::regex("(" + re + ")*");
}

// The texts the launcher, the board layer and the console shell print.
const std::regex OUT_TEXTS = any_of({
	"Booting image '%d'\n", "Dropping into shell\n", "Dropping out of shell\n", "# ",
	"Entering rescue mode....\n",
	"Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ",
	"\nErasing filesystem for clean install\n", "Erasing....\n", "Mounting...\n",
	"Booting rescue image...\n",
	"Install recovery image as image 1 or 2 (hit return to just boot image): ",
	"\nInstalling recovery image as image%c...\n", "setting boot image to %d\n",
	"\nBooting recovery image. You will need to download and install an image before rebooting\n",
	"ERROR: driver %s couldn't be opened\n", "I2C error when writing bus %d offset %d: %d\n",
	"Could not get MTD device info \n", "NO FLASH !\n",
});
const std::regex ERR_TEXTS = any_of({
	"Failed to open Application image %d. Trying image %d.\n",
	"Failed to open Application image %d. Trying rescue image\n",
	"Failed to open application image output file.\n",
	"Image%d has invalid header... trying Image%d.\n",
	"No valid application image found. Trying rescue image\n",
	"Image%d CRC failed, trying Image%d now.\n", "Both image1 and image2 failed.\n",
	"Failed to open AppOS tarfile.\n", "Image not found... \n", "Image CRC failed. Quitting\n",
	"Failed to open image file.\n", "Failed to gunzip Application OS.\n",
	"Failed to start Application OS.\n", "System reboot failed, please power-cycle.\n",
});

struct outcome {
	run_result r;
	int counts[KINDS + 1]; // calls of each kind made; [KINDS]: others
	size_t calls;
	std::vector<std::string> events;
};

// Puts `data` at the start of a fake partition.
void place(const char *partition, const bytes &data)
{
	std::copy(data.begin(), data.end(), fake_mtd(partition).data.begin());
}

// One run of the scenario with the nth call of kind k failing (n 0: none).
outcome run(const scenario &s, fault_kind k, int n)
{
	outcome o{};

	fake_reset();
	platform_begin();
	launch_settings = launch_settings_t{};
	tried_alt_image = 0;
	theFlash = flash_desc{ "unknown", 0, 0, 0, 0 };
	fake_eeprom[0] = (uint8_t)s.selected;
	place("ubootenv", env_image(s.env));
	place("rescue", image(s.rescue, "recovery"));
	if (s.slot1 != NONE)
		put_file(sandbox("/user/images/image1"), image(s.slot1, "one"));
	if (s.slot2 != NONE)
		put_file(sandbox("/user/images/image2"), image(s.slot2, "two"));

	// Device opens: i2c-0, i2c-1, then the six partitions, each opened once.
	if (k == OPEN && n <= 2)
		fake_i2c_present[n - 1] = false;
	else if (k == OPEN)
		fake_parts[n - 3].present = false;
	const fake_op ops[] = { FAKE_SELECT, FAKE_XFER, FAKE_GETINFO, FAKE_PREAD };
	if (k >= SELECT && k <= PREAD)
		fake_fail({ ops[k - SELECT], -1, n, EIO, 0 });
	platform.fail_fopen = k == FOPEN ? n : 0;
	platform.fail_system = k == SYSTEM ? n : 0;
	platform.exec_errno = k == EXEC ? ENOEXEC : 0;
	fail_fread = k == FREAD ? n : 0;
	fail_fwrite = k == FWRITE ? n : 0;
	freads = fwrites = 0;
	fake_alloc_arm(SIZE_MAX, k == ALLOC ? n : 0);
	o.r = platform_run(launcher_main, s.input);
	fake_alloc_disarm();

	for (const std::string &line : fake_log) {
		const std::string op = line.substr(0, line.find(' '));
		o.counts[op == "open" ? OPEN : op == "getinfo" ? GETINFO : op == "pread" ? PREAD
			 : op == "close" || op == "erase" || op == "pwrite" ? KINDS : XFER]++;
	}
	o.counts[SELECT] = o.counts[XFER]; // each I2C transfer is addressed by a selection of its own
	o.counts[FOPEN] = platform.fopens;
	o.counts[FREAD] = freads;
	o.counts[FWRITE] = fwrites;
	o.counts[ALLOC] = fake_alloc.calls;
	o.counts[SYSTEM] = platform.systems;
	for (const std::string &e : platform.events)
		o.counts[EXEC] += e.rfind("execve ", 0) == 0;
	o.calls = fake_log.size() + platform.events.size();
	o.events = platform.events;
	platform_end();
	return o;
}

// What every run must show, faulty or not, with the message `due` to the
// failed call.
void check_ending(const outcome &o, size_t bound, const std::string &due = "")
{
	const std::vector<std::string> &ev = o.events;

	ASSERT_NE(o.r.end, RUN_RETURNED) << "main returned";
	if (o.r.end == RUN_EXITED) {
		ASSERT_GE(ev.size(), 3u);
		EXPECT_EQ(std::vector<std::string>(ev.end() - 3, ev.end()),
			  (std::vector<std::string>{ "sleep 10", "system reboot", "exit 0" }));
	}
	EXPECT_LE(o.calls, bound) << "calls without bound";
	EXPECT_TRUE(std::regex_match(o.r.console.out, OUT_TEXTS)) << "standard output:\n" << o.r.console.out;
	EXPECT_TRUE(std::regex_match(o.r.console.err, ERR_TEXTS)) << "standard error:\n" << o.r.console.err;
	EXPECT_NE(o.r.console.err.find(due), std::string::npos) << "no " << due;
}

TEST(fault_sweep, every_platform_call_of_the_boot_fails_in_turn)
{
	int points = 0, per_kind[KINDS] = {};

	for (const scenario &s : scenarios) {
		SCOPED_TRACE(s.name);
		const outcome clean = run(s, KINDS, 0);
		std::vector<std::string> systems;
		for (const std::string &e : clean.events)
			if (e.rfind("system ", 0) == 0)
				systems.push_back(e.substr(7));
		ASSERT_EQ(clean.counts[OPEN], 8);
		ASSERT_NO_FATAL_FAILURE(check_ending(clean, SIZE_MAX));
		for (int k = 0; k < KINDS; k++) {
			for (int n = 1; n <= clean.counts[k]; n++, points++, per_kind[k]++) {
				SCOPED_TRACE(testing::Message() << KIND_NAMES[k] << " #" << n);
				const std::string line = k == SYSTEM ? systems[n - 1] : "";
				const char *due = k == EXEC ? "Failed to start Application OS.\n"
						  : line == "reboot" ? "System reboot failed, please power-cycle.\n"
						  : line.rfind("cd /tmp \ntar", 0) == 0 ? "Failed to gunzip Application OS.\n" : "";
				ASSERT_NO_FATAL_FAILURE(check_ending(run(s, (fault_kind)k, n), 2 * clean.calls + 40, due));
			}
		}
	}
	printf("fault points swept: %d (", points);
	for (int k = 0; k < KINDS; k++)
		printf("%s%s %d", k ? ", " : "", KIND_NAMES[k], per_kind[k]);
	printf(")\n");
	for (int k = 0; k < KINDS; k++) // every kind of call is met by some scenario
		EXPECT_GT(per_kind[k], 0) << KIND_NAMES[k];
}

} // namespace
