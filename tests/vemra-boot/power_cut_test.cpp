// vemra-boot's writing commands with the power cut after each request in
// turn (flash request, EEPROM write, change to /user), then the board
// booted as it comes up: boot-check, the launcher's own pass (its choice
// and fallback), and the application, which confirms a trial of its slot
// or fails. Everything runs over the board layer on the fake board
// (fakes/fake_board.h). After every cut each boot hands over to a valid
// image, a trial that is not confirmed goes back within its boots and
// one more, a confirmed one stays, no slot but the command's target
// changes, and the recovery image is the old one, the new one, or none
// the launcher boots.
#include "board_api.h"
#include "crc.h"
#include "fake_board.h"
#include "image.h"
#include "launcher_stub.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

int vemra_boot_main(int argc, char **argv);

namespace {

const int BOOTS = 2; // of every trial here
const uint8_t MARK = 0xB0;

std::vector<uint8_t> container(const std::string &payload)
{
	std::vector<uint8_t> c(16 + payload.size());
	image_header h = { 0, static_cast<uint32_t>(payload.size()), IMAGE_MAGIC, 0 };

	std::copy(payload.begin(), payload.end(), c.begin() + 16);
	encode_image_header(&h, c.data());
	h.crc = gen_crc(c.data() + 4, static_cast<uint32_t>(c.size() - 4), 0xFFFFFFFF);
	encode_image_header(&h, c.data());
	return c;
}

const std::vector<uint8_t> A = container("image 1"), B = container("image 2"),
			   U = container("update"), R = container("recovery");

// The environment U-Boot keeps: its CRC in the host's order (the board's),
// then the variables and filler, in a sector of its own.
std::vector<uint8_t> environment(const std::string &vars)
{
	std::vector<uint8_t> sector(128 << 10, 0xFF);
	const std::string text = vars + '\0' + '\0';

	std::copy(text.begin(), text.end(), sector.begin() + 4);
	const uint32_t crc = crc32_common(sector.data() + 4, 8192 - 4);
	memcpy(sector.data(), &crc, 4);
	return sector;
}

void put_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
	std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

std::vector<uint8_t> file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Standard output and error go nowhere while the board's programs run.
struct muted {
	int out = dup(1), err = dup(2);
	muted()
	{
		const int null = open("/dev/null", O_WRONLY);
		fflush(stdout);
		dup2(null, 1);
		dup2(null, 2);
		close(null);
	}
	~muted()
	{
		fflush(stdout);
		dup2(out, 1);
		dup2(err, 2);
		close(out);
		close(err);
	}
};

int vemra_boot(const std::string &line)
{
	std::istringstream words(line);
	std::vector<std::string> args{ "vemra-boot" };
	std::vector<char *> argv;

	for (std::string w; words >> w;)
		args.push_back(w);
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	const muted quiet;
	return vemra_boot_main(static_cast<int>(args.size()), argv.data());
}

int trial_slot()
{
	const uint8_t b = fake.eeprom[VEMRA_TRIAL_VPD];
	return b == (MARK | 1) || b == (MARK | 2) ? b & 3 : 0;
}

// A board booting image 1, with image 2 in slot 2, the recovery image, and
// the environment's variables (one a line).
void fresh_board(const std::string &root, std::string vars)
{
	static std::string slots[2];

	std::replace(vars.begin(), vars.end(), '\n', '\0');
	fake_reset(0, 0);
	fake.size = 512 << 10;
	fake.parts = { { "/dev/mtd-ubootenv", environment(vars) }, { "/dev/mtd-rescue", R } };
	fake.parts[1].second.resize(fake.size, 0xFF);
	fake.eeprom[0] = fake.eeprom[58] = 1;
	fake.root = root;
	ASSERT_EQ(system(("rm -rf " + root + " && mkdir -p " + root + "/user/images " + root + "/etc " + root +
			  "/run " + root + "/in").c_str()), 0);
	std::ofstream(root + "/etc/fw_env.config") << "/dev/mtd-ubootenv 0x0000 0x2000 0x20000\n";
	put_file(root + "/in/update", U);
	for (int n = 1; n <= 2; n++) {
		slots[n - 1] = root + slot_path(n);
		put_file(slots[n - 1], n == 1 ? A : B);
		stub.slot[n - 1] = slots[n - 1].c_str();
	}
}

// One boot: boot-check, the launcher, the application. The image handed
// over to (VPD byte 58), or 0 when the launcher reached a dead end.
int boot(bool confirms, bool *confirmed)
{
	stub_result r;

	vemra_boot("boot-check");
	tried_alt_image = 0;
	launch_settings = launch_settings_t{};
	{
		const muted quiet;
		r = stub_run(launcher_main);
	}
	if (r.end != STUB_EXECED)
		return 0;
	if (confirms && trial_slot() == fake.eeprom[58] && vemra_boot("confirm") == 0)
		*confirmed = true;
	return fake.eeprom[58];
}

struct sweep_case {
	const char *name;
	const char *before; // what makes the board's state, ';' between commands
	int boots_before;   // then boots of it, the application failing
	const char *command;
	int target;         // the slot it may change (0: none)
	int trial;          // the slot it puts or finds on trial (0: none)
	bool confirms;      // the application on trial confirms it
	const char *vars = "bootcmd=run flash_boot";
};

const char TRIAL[] = "select 2 --trial --boots 2";

const sweep_case cases[] = {
	{ "install", "", 0, "install /in/update 2", 2, 0, false },
	{ "install --select", "", 0, "install /in/update 2 --select", 2, 0, false },
	{ "install --trial, failing", "", 0, "install /in/update 2 --trial --boots 2", 2, 2, false },
	{ "install --trial, confirmed", "", 0, "install /in/update 2 --trial --boots 2", 2, 2, true },
	{ "select", "", 0, "select 2", 0, 0, false },
	{ "select --trial, failing", "", 0, TRIAL, 0, 2, false },
	{ "select --trial, confirmed", "", 0, TRIAL, 0, 2, true },
	{ "confirm", TRIAL, 1, "confirm", 0, 2, true },
	{ "reject", TRIAL, 1, "reject", 0, 2, false },
	{ "boot-check, first boot of a trial", TRIAL, 0, "boot-check", 0, 2, false },
	{ "boot-check, trial used up", TRIAL, BOOTS, "boot-check", 0, 2, false },
	{ "set", "", 0, "set gdb on", 0, 0, false },
	{ "unset", "", 0, "unset gdb", 0, 0, false, "bootcmd=run flash_boot\ngdb=on" },
	{ "recovery", "", 0, "recovery /in/update", 0, 0, false },
};

TEST(power_cut, at_every_request_of_every_writing_command)
{
	char dir[] = "/tmp/vemra-sweep-XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	const std::string root = std::string(dir) + "/board";
	ASSERT_TRUE(freopen("/dev/null", "r", stdin)); // the launcher's prompts read end of input

	for (const sweep_case &c : cases) {
		long cut = 0;
		for (bool done = false; !done && !HasFailure(); cut++) {
			SCOPED_TRACE(testing::Message() << c.name << ", power cut after request " << cut);
			bool confirmed = false;
			fresh_board(root, c.vars);
			std::istringstream before(c.before);
			for (std::string line; std::getline(before, line, ';');)
				ASSERT_EQ(vemra_boot(line), 0) << line;
			for (int b = 0; b < c.boots_before; b++)
				ASSERT_NE(boot(false, &confirmed), 0);
			const std::vector<uint8_t> slots[2] = { file(stub.slot[0]), file(stub.slot[1]) };

			fake.power = cut;
			const int status = vemra_boot(c.command);
			done = fake.power != 0;
			fake.power = -1;
			ASSERT_FALSE(HasFailure()) << "the fake board refused a request";
			confirmed = strcmp(c.command, "confirm") == 0 && status == 0;

			// Boots until no trial is pending.
			int boots = 0, booted;
			do
				ASSERT_NE(booted = boot(c.confirms, &confirmed), 0) << "boot " << boots << " hands over nothing";
			while (++boots <= BOOTS && trial_slot());
			EXPECT_EQ(trial_slot(), 0) << "a trial pending after " << boots << " boots";
			// The trial's own image stays once confirmed; the way back otherwise.
			if (c.trial) {
				EXPECT_EQ(booted, confirmed ? c.trial : 3 - c.trial);
			}
			if (confirmed && c.target) {
				EXPECT_EQ(file(stub.slot[c.target - 1]), U);
			}
			for (int n = 1; n <= 2; n++) {
				if (n != c.target) {
					EXPECT_EQ(file(stub.slot[n - 1]), slots[n - 1]) << "slot " << n;
				}
			}
			EXPECT_TRUE(file(stub.slot[1]) == B || file(stub.slot[1]) == U);

			image_check rescue;
			const image_source src = memory_source(fake.parts[1].second.data(), fake.size);
			uint8_t buf[4096];
			if (image_check_all(&src, &rescue, buf, sizeof buf, nullptr) == IMAGE_VALID) {
				EXPECT_TRUE(rescue.header.crc == decode_image_header(R.data()).crc ||
					    rescue.header.crc == decode_image_header(U.data()).crc);
			}
		}
		printf("%s: %ld cut points\n", c.name, cut - 1);
	}
	EXPECT_EQ(system(("rm -rf " + std::string(dir)).c_str()), 0);
}

} // namespace
