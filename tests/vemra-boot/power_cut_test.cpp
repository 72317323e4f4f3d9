// SPDX-License-Identifier: MIT
// vemra-boot's writing commands, and the boots after them, with the power
// cut at each request in turn: every flash request, EEPROM write, change
// to /user and write to a file there, of the command, of boot-check, of
// the launcher and of the application's confirm or reject. A cut inside an
// EEPROM write leaves the byte at each of its 256 values in turn; one
// inside a flash program or erase, or a write to a file, half of it done.
// The EEPROM is busy for 5 ms after each write, as serial EEPROMs are, and
// jffs2 renames in two steps. Then the power comes back and the board
// boots on: boot-check, the launcher's own pass (launcher_stub: its main
// with the shell lines not run and the exec ending the run), and the
// application, which confirms, rejects or fails a trial of its slot. All
// of it runs over the board layer on the fake board (fakes/fake_board.h).
//
// After every cut and torn value:
// - each boot hands over to a slot's image; no slot but the command's
//   target changes, and the target holds its old image or the new one,
//   whole; a whole command's selection boots;
// - a trial not confirmed runs its image at most its N boots, then the way
//   back for good; a confirmed one stays;
// - the floor never drops, and the recovery image is the old one, the new
//   one (with its signature kept, when signed), or one the launcher does
//   not boot; without keys, the sectors where the floor is kept are never
//   written.
// boot-check also runs beside each trial's command, as a second program,
// at each of the command's EEPROM writes in turn.
#include "board_api.h"
#include "crc.h"
#include "fake_board.h"
#include "image.h"
#include "launcher_stub.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

int vemra_boot_main(int argc, char **argv);

namespace {

namespace fs = std::filesystem;
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

// The rescue partition (4 sectors of 128 KiB); the floor's record is kept
// in the last two.
const uint32_t SECTOR = 128 << 10, RESCUE = 4 * SECTOR, KEPT = RESCUE - 2 * SECTOR;

// A record of the floor as a board written by vemra-boot holds it:
// "VBKR", its sequence number, the body's length and its JAMCRC, all
// big-endian; the body: the floor in 64 bytes, NUL padded, and a
// signature of 0 bytes. Torn: the floor's first byte half programmed, a
// bit of it still erased ('1' reads as '9'), as a cut leaves it.
bytes floor_record(const std::string &floor, uint32_t sequence, bool torn)
{
	bytes r(16 + 68, 0);
	const uint32_t head[3] = { 0x56424B52, sequence, 68 };

	std::copy(floor.begin(), floor.end(), r.begin() + 16);
	const uint32_t crc = gen_crc(r.data() + 16, 68, 0xFFFFFFFF);
	for (int i = 0; i < 16; i++)
		r[i] = static_cast<uint8_t>((i < 12 ? head[i / 4] : crc) >> (24 - 8 * (i % 4)));
	if (torn)
		r[16] |= 0x08;
	return r;
}

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

FILE *nowhere; // /dev/null

// Runs a program of the board with its standard output and error going
// nowhere (or into *out), through the C library's streams alone: the
// test's output keeps its descriptors.
template <typename F> auto quietly(F run, std::string *out = nullptr)
{
	FILE *const streams[2] = { stdout, stderr };
	char *text = nullptr;
	size_t size = 0;

	fflush(nullptr);
	stdout = stderr = out ? open_memstream(&text, &size) : nowhere;
	const auto r = run();
	if (out) {
		fclose(stdout);
		*out = std::string(text, size);
		free(text);
	}
	stdout = streams[0];
	stderr = streams[1];
	return r;
}

int vemra_boot(const std::string &line, std::string *out = nullptr)
{
	std::istringstream words("vemra-boot " + line);
	std::vector<std::string> args{ std::istream_iterator<std::string>(words), {} };
	std::vector<char *> argv;

	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	return quietly([&] { return vemra_boot_main(static_cast<int>(args.size()), argv.data()); }, out);
}

enum app { FAILS, CONFIRMS, REJECTS }; // what the image on trial does once it runs

struct scenario {
	std::string name, command;
	int trial;   // the slot it puts on trial (0: none)
	int boots;   // the trial's boots; the boots after a command without one
	app does;
	int target;  // the slot it may write (0: none)
	int after;   // without a trial: the slot that boots once it ran whole
	bool is_signed = false;  // the board trusts a key and the update is signed 2.0
	std::string floor = "";  // the board's floor before, kept in the rescue partition
	bool links = false;      // the names a cut rename leaves (.image2.new), and the floor
	                         // where earlier boards kept it (/user/images/floor)
	bool check_left = false; // the slot byte of the trial and a check for the way back, as cuts leave them
	std::string vars = "bootcmd=run flash_boot";
	bool byte_0_unanswered = false; // VPD byte 0 answers no read while the command runs
};

std::string top, root; // the test's folder; the board's files in it

// The board before a scenario: the way back (image 1, or image 2 when
// slot 1 goes on trial) selected and booted, every other VPD byte as an
// EEPROM leaves the factory, both slots and the recovery image valid, the
// update at /in/update.
void fresh_board(const scenario &c)
{
	static std::string slots[2];
	const std::string images = root + "/user/images";

	static std::map<std::string, decltype(fake.parts)> made;
	auto &parts = made[c.vars + (c.links ? "" : c.floor)];
	auto kept = std::move(fake.parts); // as the last run left them: copied again only when changed

	if (parts.empty()) {
		parts = { { "/dev/mtd-ubootenv", environment(c.vars) }, { "/dev/mtd-rescue", R } };
		parts[1].second.resize(RESCUE, 0xFF);
		// The floor, and beside it a newer write of 1.5 that a cut tore.
		for (int n = 0; n < 2 && !c.floor.empty() && !c.links; n++) {
			const bytes r = floor_record(n ? "1.5" : c.floor, n + 1, n);
			std::copy(r.begin(), r.end(), parts[1].second.begin() + KEPT + n * SECTOR);
		}
	}
	fake_reset(0, 0);
	fake.size = RESCUE;
	fake.parts = kept == parts ? std::move(kept) : parts;
	std::fill(vpd.bytes, vpd.bytes + 256, 0xFF);
	vpd.bytes[VPD_SELECTED_IMAGE] = vpd.bytes[VPD_BOOTED_IMAGE] = c.trial == 1 ? 2 : 1;
	if (c.check_left) {
		vpd.bytes[BOARD_TRIAL_VPD] = static_cast<uint8_t>(0xB0 | c.trial);
		vpd.bytes[BOARD_TRIAL_VPD + 1] = static_cast<uint8_t>(~(0xB0 | (3 - c.trial)));
	}
	vpd.write_cycle_us = 5000;
	fs::remove_all(images);
	fs::remove_all(root + "/etc/vemra-boot");
	fs::create_directories(images);
	for (int n = 0; n < 2; n++) {
		slots[n] = root + slot_path(n + 1);
		put(slots[n], n ? B : A);
		stub.slot[n] = slots[n].c_str();
	}
	if (c.is_signed) {
		fs::create_directories(root + "/etc/vemra-boot/keys");
		fs::copy_file(top + "/k.pub", root + "/etc/vemra-boot/keys/k.pub");
	}
	if (c.links) {
		fs::create_hard_link(slots[1], images + "/.image2.new");
		const std::string legacy = c.floor + "\n";
		put(images + "/floor", bytes(legacy.begin(), legacy.end()));
	}
	fake.root = root;
}

// The scenario's command; its status.
int run_command(const scenario &c)
{
	fake.unreadable = c.byte_0_unanswered ? VPD_SELECTED_IMAGE : -1;
	fake.unreadable_reads = -1;
	const int status = vemra_boot(c.command);
	fake.unreadable = -1;
	return status;
}

struct history {
	std::vector<int> booted;  // the slot each boot handed over to
	int confirmed = -1;       // the boot whose application confirmed
	bool confirm_cut = false; // the power went inside that confirm: it may hold or not
};

// A VPD byte that gets no answer to boot-check's first read of it at
// every boot (-1: none; 256: no byte ever answers; 257: the EEPROM is in
// the write cycle of another program's write as boot-check starts).
int unanswered = -1;

// Which requests the launcher's passes made.
std::vector<bool> by_launcher;

// One boot: boot-check, the launcher's pass, the application. False when
// the power went before the launcher handed over.
bool boot(const scenario &c, history *h)
{
	std::string said;

	fake_wait(1000000); // every boot comes long after the last write
	fake.unreadable = unanswered;
	fake.unreadable_reads = unanswered == 256 ? -1 : 1; // never, or once in boot-check
	vpd.busy_until_us = unanswered == 257 ? vpd.now_us + vpd.write_cycle_us : 0;
	vemra_boot("boot-check");
	fake.unreadable = unanswered == 256 ? 256 : -1;
	tried_alt_image = 0;
	launch_settings = launch_settings_t{};
	const size_t first = fake.requests.size();
	const stub_end end = fake.dark ? STUB_RETURNED : quietly([] { return stub_run(launcher_main).end; });
	by_launcher.resize(fake.requests.size());
	std::fill(by_launcher.begin() + static_cast<long>(first), by_launcher.end(), true);
	if (fake.dark)
		return false;
	EXPECT_EQ(end, STUB_EXECED) << "boot " << h->booted.size() << " hands over nothing";
	h->booted.push_back(vpd.bytes[VPD_BOOTED_IMAGE]);
	fake_wait(1000000);
	if (c.does == REJECTS && h->booted.back() == c.trial)
		vemra_boot("reject");
	if (c.does == CONFIRMS && h->booted.back() == c.trial && h->confirmed < 0) {
		const bool on = !fake.dark;
		if ((vemra_boot("confirm", &said) == 0 && said.find(" confirmed\n") != std::string::npos) ||
		    (on && fake.dark))
			h->confirmed = static_cast<int>(h->booted.size()) - 1;
		h->confirm_cut = on && fake.dark;
	}
	return true;
}

// Boots until the command's boots and two more have handed over, the power
// back on after a cut.
void boot_on(const scenario &c, history *h)
{
	for (int tries = 0; static_cast<int>(h->booted.size()) < c.boots + 2 && tries < c.boots + 4; tries++) {
		if (!boot(c, h)) {
			fake.power = fake.torn = -1;
			fake.dark = false;
		}
	}
}

// kept: a confirming application's trial must end confirmed.
void check(const scenario &c, const history &h, bool done, const bytes before[2], bool kept)
{
	const auto from = [&](size_t i) { return std::vector<int>(h.booted.begin() + i, h.booted.end()); };
	const bool confirmed = h.confirmed >= 0 && (!h.confirm_cut || h.booted.back() == c.trial);
	const size_t tried = std::find(h.booted.begin(), h.booted.end(), 3 - c.trial) - h.booted.begin();

	EXPECT_GE(h.booted.size(), static_cast<size_t>(c.boots + 2)) << "boots that hand over nothing";
	for (int n = 1; n <= 2; n++) {
		const bytes now = file(stub.slot[n - 1]);
		EXPECT_TRUE(now == before[n - 1] || (n == c.target && now == U)) << "slot " << n;
	}
	EXPECT_TRUE(confirmed || !kept) << "a trial thrown away";
	if (c.trial && confirmed) {
		EXPECT_EQ(from(h.confirmed), std::vector<int>(h.booted.size() - h.confirmed, c.trial));
	} else if (c.trial) {
		EXPECT_LE(tried, static_cast<size_t>(c.boots)) << "boots of the image on trial";
		EXPECT_EQ(from(tried), std::vector<int>(h.booted.size() - tried, 3 - c.trial)) << "after the way back";
	} else if (done) {
		EXPECT_EQ(h.booted, std::vector<int>(h.booted.size(), c.after));
		EXPECT_TRUE(!c.target || file(stub.slot[c.target - 1]) == U);
	}
	// The floor is raised by the signed update's install without a trial
	// or its confirm, and never lowered; a recovery image that boots has
	// its signature kept beside it.
	if (c.is_signed) {
		std::string said;
		std::map<std::string, std::string> st;
		EXPECT_EQ(vemra_boot("status -p", &said), 0) << said;
		std::istringstream lines(said);
		for (std::string l; std::getline(lines, l);)
			st[l.substr(0, l.find('='))] = l.substr(l.find('=') + 1);
		const bool raised = confirmed || (done && c.target && !c.trial);
		EXPECT_TRUE(st["floor"] == (raised ? "2.0" : c.floor) || (c.target && st["floor"] == "2.0"))
			<< st["floor"];
		EXPECT_TRUE(st["rescue"] != "valid" || st["rescue_length"] != "6" || st["rescue_signature"] == "matches");
	} else {
		const bytes &rescue = fake.parts[1].second;
		EXPECT_TRUE(std::all_of(rescue.begin() + KEPT, rescue.end(), [](uint8_t b) { return b == 0xFF; }))
			<< "the floor's sectors written without keys";
	}
	image_check rescue;
	const image_source src = memory_source(fake.parts[1].second.data(), fake.size);
	uint8_t piece[4096];
	if (image_check_all(&src, &rescue, piece, sizeof piece, nullptr) == IMAGE_VALID) {
		EXPECT_TRUE(rescue.header.crc == decode_image_header(R.data()).crc ||
			    rescue.header.crc == decode_image_header(U.data()).crc);
	}
}

// What boots after the whole command, without a cut: the image on trial
// for its boots, then the way back, unless confirmed (for good) or
// rejected (at its first boot).
std::vector<int> whole_run(const scenario &c)
{
	std::vector<int> booted(static_cast<size_t>(c.boots + 2), c.trial ? 3 - c.trial : c.after);
	const int tried = c.does == CONFIRMS ? c.boots + 2 : c.does == REJECTS ? 1 : c.boots;

	std::fill_n(booted.begin(), c.trial ? tried : 0, c.trial);
	return booted;
}

// boot-check beside the command, before one of its EEPROM writes: a second
// program, forked, with descriptors of its own. Once it waits for the
// lock, the command goes on; it is waited for after.
pid_t beside = -1;

void run_boot_check_beside(void)
{
	int pipe_fds[2];
	char said;

	ASSERT_EQ(pipe(pipe_fds), 0);
	beside = fork();
	if (beside == 0) { // the command's lock, files and pipe end are the command's
		for (int fd = 3; fd < 1024; fd++)
			if (fd != fileno(nowhere) && fd != pipe_fds[1])
				close(fd);
		fake.lock_waits = pipe_fds[1];
		vemra_boot("boot-check");
		_exit(0);
	}
	close(pipe_fds[1]);
	if (read(pipe_fds[0], &said, 1) != 1) { // it ran through
		EXPECT_EQ(waitpid(beside, nullptr, 0), beside);
		beside = -1;
	}
	close(pipe_fds[0]);
}

// One run: the power cut inside request `at`, leaving `torn`, or (with
// beside) boot-check run beside the command before its EEPROM write
// numbered `at`.
void run_once(const scenario &c, long at, int torn, bool kept, bool second)
{
	history h;
	fresh_board(c);
	const bytes slots[2] = { file(stub.slot[0]), file(stub.slot[1]) };

	fake.power = second ? -1 : at;
	fake.torn = torn;
	fake.beside = second ? at : -1;
	fake.beside_run = run_boot_check_beside;
	run_command(c);
	const bool done = !fake.dark;
	if (beside > 0) {
		EXPECT_EQ(waitpid(beside, nullptr, 0), beside);
	}
	beside = fake.beside = -1;
	if (fake.dark) { // the power back on
		fake.power = fake.torn = -1;
		fake.dark = false;
	}
	boot_on(c, &h);
	check(c, h, done, slots, kept);
}

// The launcher's write of byte 58, a slot's number (boot-check clears it).
bool launcher_write(const fake_request &r)
{
	return r.op == 'v' && r.offset == VPD_BOOTED_IMAGE && r.length;
}

// The values a cut can leave in a request: every byte in an EEPROM write
// of vemra-boot's; in the launcher's, each value it tells apart and 255;
// nothing or half in a flash program or erase and a file's write; nothing
// elsewhere.
std::vector<int> torn_values(const fake_request &r)
{
	std::vector<int> v = { -1 };

	if (launcher_write(r))
		v = { 0, 1, 2, 4, 0x37, 0xFF };
	else if (r.op == 'v')
		for (v.clear(); v.size() < 256;)
			v.push_back(static_cast<int>(v.size()));
	else if (r.op == 'w' || r.op == 'e' || r.op == 'd')
		v.push_back(0);
	return v;
}

// The scenario with the power cut inside each request in turn, each value
// it can leave, and boot-check beside each EEPROM write of the command;
// returns the number of runs.
long sweep(const scenario &c)
{
	history h;
	long runs = 0, writes = 0;

	fresh_board(c);
	by_launcher.clear();
	EXPECT_EQ(run_command(c), c.byte_0_unanswered ? 2 : 0) << c.name;
	const size_t command = fake.requests.size();
	boot_on(c, &h);
	EXPECT_EQ(h.booted, whole_run(c)) << c.name << ", no power cut";
	const std::vector<fake_request> requests = fake.requests;
	const std::vector<bool> launcher_made = by_launcher;
	for (size_t at = 0; at < requests.size() && !testing::Test::HasFailure(); at++) {
		const fake_request &r = requests[at];
		for (int torn : torn_values(r)) {
			SCOPED_TRACE(testing::Message() << c.name << ", power cut in request " << at << " ('" << r.op
							<< "'), torn " << torn);
			// A cut in the launcher's pass that leaves byte 58 naming
			// neither the way back nor the recovery image is no reason to
			// go back.
			const bool launcher = at < launcher_made.size() && launcher_made[at] &&
					      (r.op == 'r' || launcher_write(r));
			run_once(c, static_cast<long>(at), torn,
				 c.does == CONFIRMS && launcher && torn != 3 - c.trial && torn != RECOVERY_IMAGE, false);
			if (runs++, testing::Test::HasFailure())
				return runs;
		}
		if (c.trial && r.op == 'v' && at < command) {
			SCOPED_TRACE(testing::Message() << c.name << ", boot-check beside EEPROM write " << writes);
			run_once(c, writes++, -1, false, true);
		}
	}
	return runs;
}

std::string trial_command(const char *verb, int n, int boots)
{
	return std::string(verb) + " " + std::to_string(n) + " --trial --boots " + std::to_string(boots);
}

std::vector<scenario> trials()
{
	std::vector<scenario> s;

	for (int n = 1; n <= 2; n++) {
		const std::string of = "trial of " + std::to_string(n);
		for (int boots = 1; boots <= 3; boots++)
			s.push_back({ of + ", " + std::to_string(boots) + " boots, failing",
				      trial_command("install /in/update", n, boots), n, boots, FAILS, n, 0 });
		s.push_back({ of + ", confirmed", trial_command("install /in/update", n, 2), n, 2, CONFIRMS, n, 0 });
		s.push_back({ of + ", rejected", trial_command("select", n, 2), n, 2, REJECTS, 0, 0 });
	}
	s.push_back({ "signed trial, confirmed", trial_command("install /in/update", 2, 2), 2, 2, CONFIRMS, 2, 0,
		      true, "1.0" });
	s.push_back({ "trial of 2 over a check left for the way back", trial_command("select", 2, 2), 2, 2, FAILS, 0,
		      0, false, "", false, true });
	// The selection's read-back cannot be told from a failed read: the
	// trial stays recorded, and boot-check counts it.
	s.push_back({ "trial of 2, VPD byte 0 unanswered in the command", trial_command("select", 2, 2), 2, 2, FAILS, 0,
		      0, false, "", false, false, "bootcmd=run flash_boot", true });
	return s;
}

const scenario others[] = {
	{ "install", "install /in/update 2", 0, 1, FAILS, 2, 1 },
	{ "install --select", "install /in/update 2 --select", 0, 1, FAILS, 2, 2 },
	{ "select", "select 2", 0, 1, FAILS, 0, 2 },
	{ "install, signed, over the names a rename cut left", "install /in/update 2", 0, 1, FAILS, 2, 1, true,
	  "1.0", true },
	{ "set", "set gdb on", 0, 1, FAILS, 0, 1 },
	{ "unset", "unset gdb", 0, 1, FAILS, 0, 1, false, "", false, false, "bootcmd=run flash_boot\ngdb=on" },
	{ "recovery", "recovery /in/update", 0, 1, FAILS, 0, 1 },
	{ "recovery, signed", "recovery /in/update", 0, 1, FAILS, 0, 1, true, "1.0" },
};

class power_cut : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		char dir[] = "/dev/shm/vemra-sweep-XXXXXX"; // fsync costs nothing there
		ASSERT_TRUE(mkdtemp(dir) || (strcpy(dir, "/tmp/vemra-sweep-XXXXXX") && mkdtemp(dir)));
		top = dir;
		root = top + "/board";
		for (const char *d : { "/etc", "/run", "/in" })
			fs::create_directories(root + d);
		std::ofstream(root + "/etc/fw_env.config") << "/dev/mtd-ubootenv 0 0x2000\n";
		put(root + "/in/update", U);
		ASSERT_TRUE(freopen("/dev/null", "r", stdin)); // the launcher's prompts read end of input
		ASSERT_TRUE(nowhere = fopen("/dev/null", "w"));
		// The update signed as 2.0 by a key the signed scenarios trust.
		ASSERT_EQ(system(("minisign -GW -p " + top + "/k.pub -s " + top + "/k.key >/dev/null && minisign -S -s " +
				  top + "/k.key -m " + root + "/in/update -t version:2.0").c_str()), 0);
	}
	static void TearDownTestSuite() { fs::remove_all(top); }
};

TEST_F(power_cut, in_every_request_of_a_trial_and_its_boots_and_beside_it)
{
	for (const scenario &c : trials())
		printf("%s: %ld runs\n", c.name.c_str(), sweep(c));
}

TEST_F(power_cut, in_every_request_of_every_other_writing_command)
{
	for (const scenario &c : others)
		printf("%s: %ld runs\n", c.name.c_str(), sweep(c));
}

// A read that gets no answer once, of each byte boot-check reads, at every
// boot, changes nothing, and so does a write cycle under way as it starts; with an EEPROM that answers no read at all, the
// launcher boots image 1 (byte 0 reads as 255) and boot-check, seeing no
// trial, writes nothing.
TEST_F(power_cut, reads_that_get_no_answer)
{
	for (const scenario &c : trials()) {
		for (unanswered = 0; unanswered <= 257 && c.boots == 2 && !c.is_signed && !c.check_left; unanswered++) {
			if (unanswered != VPD_SELECTED_IMAGE && unanswered != VPD_BOOTED_IMAGE &&
			    unanswered < BOARD_TRIAL_VPD)
				continue;
			history h;
			fresh_board(c);
			run_command(c);
			bytes before(vpd.bytes, vpd.bytes + 256);
			boot_on(c, &h);
			before[VPD_BOOTED_IMAGE] = 1; // the launcher's
			EXPECT_EQ(h.booted, unanswered != 256 ? whole_run(c) : std::vector<int>(4, 1))
				<< c.name << ", VPD byte " << unanswered;
			EXPECT_TRUE(unanswered != 256 || bytes(vpd.bytes, vpd.bytes + 256) == before) << c.name;
		}
	}
	unanswered = -1;
}

} // namespace
