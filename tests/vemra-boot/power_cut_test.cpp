// vemra-boot's writing commands with the power cut after each request in
// turn (flash request, EEPROM write, change to /user), then the board
// booted as it comes up: boot-check, the launcher's own pass, and the
// application, which confirms a trial of its slot or fails. All of it
// runs over the board layer on the fake board (fakes/fake_board.h). After
// every cut each boot hands over to a valid image, a trial not confirmed
// goes back within its boots and one more, a confirmed one stays with the
// new image, no slot but the command's target changes, and the recovery
// image is the old one, the new one, or one the launcher does not boot.
#include "board_api.h"
#include "crc.h"
#include "fake_board.h"
#include "image.h"
#include "launcher_stub.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

int vemra_boot_main(int argc, char **argv);

namespace {

using bytes = std::vector<uint8_t>;

bytes container(const std::string &payload)
{
	bytes c(16 + payload.size());
	image_header h = { 0, static_cast<uint32_t>(payload.size()), IMAGE_MAGIC, 0 };

	std::copy(payload.begin(), payload.end(), c.begin() + 16);
	encode_image_header(&h, c.data());
	h.crc = gen_crc(c.data() + 4, static_cast<uint32_t>(c.size() - 4), 0xFFFFFFFF);
	encode_image_header(&h, c.data());
	return c;
}

const bytes A = container("image 1"), B = container("image 2"), U = container("update"),
	    R = container("recovery");

// U-Boot's environment in a sector of its own: the CRC in the host's (the
// board's) byte order, the variables (one a line), filler.
bytes environment(std::string vars)
{
	bytes sector(128 << 10, 0xFF);

	std::replace(vars.begin(), vars.end(), '\n', '\0');
	vars += std::string(2, '\0');
	std::copy(vars.begin(), vars.end(), sector.begin() + 4);
	const uint32_t crc = crc32_common(sector.data() + 4, 8192 - 4);
	memcpy(sector.data(), &crc, 4);
	return sector;
}

void put(const std::string &path, const bytes &b)
{
	std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), b.size());
}

bytes file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return bytes(std::istreambuf_iterator<char>(f), {});
}

// What the board's programs print is not looked at here.
template <typename F> auto quietly(F run)
{
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	const auto r = run();
	testing::internal::GetCapturedStdout();
	testing::internal::GetCapturedStderr();
	return r;
}

int vemra_boot(const std::string &line)
{
	std::istringstream words("vemra-boot " + line);
	std::vector<std::string> args;
	std::vector<char *> argv;

	for (std::string w; words >> w;)
		args.push_back(w);
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	return quietly([&] { return vemra_boot_main(static_cast<int>(args.size()), argv.data()); });
}

int trial_slot()
{
	const uint8_t b = fake.eeprom[VEMRA_TRIAL_VPD];
	return b == 0xB1 || b == 0xB2 ? b & 3 : 0;
}

// Where the update's signature (version:2.0, by Debian's minisign) and
// its key are made, once.
std::string signer;

// Image 1 selected and booted, image 2 in slot 2, the recovery image, the
// update at /in/update; signed: the board trusts the key, the update is
// signed.
void fresh_board(const std::string &root, const char *vars, bool is_signed)
{
	static std::string slots[2];

	fake_reset(0, 0);
	fake.size = 512 << 10;
	fake.parts = { { "/dev/mtd-ubootenv", environment(vars) }, { "/dev/mtd-rescue", R } };
	fake.parts[1].second.resize(fake.size, 0xFF);
	std::fill(fake.eeprom, fake.eeprom + 256, 0xFF); // as an EEPROM leaves the factory
	fake.eeprom[0] = fake.eeprom[58] = 1;
	fake.root = root;
	ASSERT_EQ(system(("rm -rf " + root + "; mkdir -p " + root + "/user/images " + root + "/etc " + root +
			  "/run " + root + "/in").c_str()), 0);
	std::ofstream(root + "/etc/fw_env.config") << "/dev/mtd-ubootenv 0 0x2000\n";
	put(root + "/in/update", U);
	if (is_signed) {
		ASSERT_EQ(system(("mkdir -p " + root + "/etc/vemra-boot/keys && cp " + signer + "/k.pub " + root +
				  "/etc/vemra-boot/keys && cp " + signer + "/update.minisig " + root + "/in").c_str()), 0);
	}
	for (int n = 0; n < 2; n++) {
		slots[n] = root + slot_path(n + 1);
		put(slots[n], n ? B : A);
		stub.slot[n] = slots[n].c_str();
	}
}

// One boot: boot-check, the launcher, the application. The image handed
// over to (VPD byte 58), 0 when the launcher reached a dead end.
int boot(bool confirms, bool *confirmed)
{
	vemra_boot("boot-check");
	tried_alt_image = 0;
	launch_settings = launch_settings_t{};
	if (quietly([] { return stub_run(launcher_main).end; }) != STUB_EXECED)
		return 0;
	if (confirms && trial_slot() == fake.eeprom[58] && vemra_boot("confirm") == 0)
		*confirmed = true;
	return fake.eeprom[58];
}

struct sweep_case {
	const char *name;
	const char *before; // the command that makes the board's state
	int boots_before;   // then boots of it, the application failing
	const char *command;
	int target;         // the slot it may change (0: none)
	int trial;          // the slot it puts or finds on trial (0: none)
	bool confirms;      // the application on trial confirms it
	const char *vars = "bootcmd=run flash_boot";
	int unreadable = -1; // a VPD byte whose reads fail while the command runs
	bool is_signed = false; // signed 2.0, whose install or confirm raises the floor
};

const char TRIAL[] = "select 2 --trial --boots 2", INSTALL_TRIAL[] = "install /in/update 2 --trial --boots 2";
const int BOOTS = 2;

const sweep_case cases[] = {
	{ "install", "", 0, "install /in/update 2", 2, 0, false },
	{ "install --select", "", 0, "install /in/update 2 --select", 2, 0, false },
	{ "install --trial, failing", "", 0, INSTALL_TRIAL, 2, 2, false },
	{ "install --trial, confirmed", "", 0, INSTALL_TRIAL, 2, 2, true },
	{ "select", "", 0, "select 2", 0, 0, false },
	{ "select --trial, failing", "", 0, TRIAL, 0, 2, false },
	{ "select --trial, confirmed", "", 0, TRIAL, 0, 2, true },
	// The selection's read-back cannot be told from a failed read.
	{ "select --trial, read back unclear", "", 0, TRIAL, 0, 2, false, "bootcmd=run flash_boot", 0 },
	{ "install, signed", "", 0, "install /in/update 2", 2, 0, false, "bootcmd=run flash_boot", -1, true },
	{ "install --trial, signed, confirmed", "", 0, INSTALL_TRIAL, 2, 2, true, "bootcmd=run flash_boot", -1, true },
	{ "confirm, signed", INSTALL_TRIAL, 1, "confirm", 0, 2, true, "bootcmd=run flash_boot", -1, true },
	{ "confirm", TRIAL, 1, "confirm", 0, 2, true },
	{ "reject", TRIAL, 1, "reject", 0, 2, false },
	{ "boot-check, first boot of a trial", TRIAL, 0, "boot-check", 0, 2, false },
	{ "boot-check, trial used up", TRIAL, BOOTS, "boot-check", 0, 2, false },
	{ "set", "", 0, "set gdb on", 0, 0, false },
	{ "unset", "", 0, "unset gdb", 0, 0, false, "bootcmd=run flash_boot\ngdb=on" },
	{ "recovery", "", 0, "recovery /in/update", 0, 0, false },
};

void check_after_cut(const sweep_case &c, bool done, int status, const bytes *slots)
{
	bool confirmed = !strcmp(c.command, "confirm") && status == 0;
	int boots = 0, booted;

	do
		ASSERT_NE(booted = boot(c.confirms, &confirmed), 0) << "boot " << boots << " hands over nothing";
	while (++boots <= BOOTS && trial_slot());
	EXPECT_EQ(trial_slot(), 0) << "a trial pending after " << boots << " boots";
	if (c.trial) {
		EXPECT_EQ(booted, confirmed ? c.trial : 3 - c.trial);
	} else if (done) { // the whole command: what it selected boots
		EXPECT_EQ(booted, strstr(c.command, "select") ? 2 : 1);
	}
	if (done && c.target) {
		EXPECT_EQ(file(stub.slot[c.target - 1]), U);
	}
	// The floor is raised by the signed update's install without a trial
	// or its confirm, and never otherwise.
	const bytes floor = file(fake.root + "/user/images/floor");
	EXPECT_TRUE(floor.empty() || (c.is_signed && floor == bytes{ '2', '.', '0', '\n' }));
	if (c.is_signed && (confirmed || (done && !c.trial))) {
		EXPECT_EQ(floor, (bytes{ '2', '.', '0', '\n' }));
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
	uint8_t piece[4096];
	if (image_check_all(&src, &rescue, piece, sizeof piece, nullptr) == IMAGE_VALID) {
		EXPECT_TRUE(rescue.header.crc == decode_image_header(R.data()).crc ||
			    rescue.header.crc == decode_image_header(U.data()).crc);
	}
}

TEST(power_cut, at_every_request_of_every_writing_command)
{
	char dir[] = "/tmp/vemra-sweep-XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	const std::string root = std::string(dir) + "/board";
	ASSERT_TRUE(freopen("/dev/null", "r", stdin)); // the launcher's prompts read end of input
	signer = std::string(dir) + "/signer";
	ASSERT_EQ(system(("mkdir " + signer + " && minisign -GW -p " + signer + "/k.pub -s " + signer +
			  "/k.key >/dev/null").c_str()), 0);
	put(signer + "/update", U);
	ASSERT_EQ(system(("minisign -S -s " + signer + "/k.key -m " + signer + "/update -t version:2.0").c_str()), 0);

	for (const sweep_case &c : cases) {
		long cut = 0;
		for (bool done = false; !done && !HasFailure(); cut++) {
			SCOPED_TRACE(testing::Message() << c.name << ", power cut after request " << cut);
			bool confirmed;
			fresh_board(root, c.vars, c.is_signed);
			ASSERT_EQ(*c.before ? vemra_boot(c.before) : 0, 0);
			for (int b = 0; b < c.boots_before; b++)
				ASSERT_NE(boot(false, &confirmed), 0);
			const bytes slots[2] = { file(stub.slot[0]), file(stub.slot[1]) };

			fake.power = cut;
			fake.unreadable = c.unreadable;
			const int status = vemra_boot(c.command);
			done = fake.power != 0;
			fake.power = fake.unreadable = -1;
			ASSERT_FALSE(HasFailure()) << "the fake board refused a request";
			check_after_cut(c, done, status, slots);
		}
		printf("%s: %ld cut points\n", c.name, cut - 1);
	}
	EXPECT_EQ(system(("rm -rf " + std::string(dir)).c_str()), 0);
}

} // namespace
