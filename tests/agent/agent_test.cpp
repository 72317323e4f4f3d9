// SPDX-License-Identifier: MIT
// vemra-agent's checks, against the fleet protocol: the announcement's
// rules, the state's JSON, the decision to install, the configuration.
#include "announce.h"
#include "config.h"
#include "state.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static std::string url_of(size_t length)
{
	std::string u = "http://h/";
	u.resize(length, 'a');
	return u;
}

struct announce_row {
	const char *name;
	std::string payload;
	const char *refusal; // a word of the one error line; nullptr: taken
};

TEST(Announcement, CheckedAsTheProtocolSays)
{
	const std::string u512 = url_of(512), u513 = url_of(513);
	const announce_row rows[] = {
		{ "plain", R"({"url": "http://10.0.2.2:8080/update.img", "version": "2.0"})", nullptr },
		{ "https, other keys ignored", R"({"url":"https://x/u.img","version":"1.10","note":[1]})", nullptr },
		{ "url of 512", R"({"url":")" + u512 + R"(","version":"1"})", nullptr },
		{ "url of 513", R"({"url":")" + u513 + R"(","version":"1"})", "512" },
		{ "not JSON", "update 2.0", "not JSON" },
		{ "cut JSON", R"({"url":"http://x/u")", "not JSON" },
		{ "an array", R"(["http://x/u", "2.0"])", "object" },
		{ "a string", R"("http://x/u")", "object" },
		{ "no url", R"({"version":"2.0"})", "url" },
		{ "url a number", R"({"url":5,"version":"2.0"})", "url" },
		{ "no version", R"({"url":"http://x/u"})", "version" },
		{ "version a number", R"({"url":"http://x/u","version":2.0})", "version" },
		{ "ftp", R"({"url":"ftp://x/u","version":"2.0"})", "http" },
		{ "no scheme", R"({"url":"x/u","version":"2.0"})", "http" },
		{ "a blank", R"({"url":"http://x/a b","version":"2.0"})", "blank" },
		{ "a quote", R"({"url":"http://x/a\"b","version":"2.0"})", "quote" },
		{ "a single quote, a url's own", R"({"url":"http://x/a'b","version":"2.0"})", nullptr },
		{ "a tilde", R"({"url":"http://x/~user/u.img","version":"2.0"})", nullptr },
		{ "a backslash", R"({"url":"http://x/a\\b","version":"2.0"})", "backslash" },
		{ "a control character", R"({"url":"http://x/a\tb","version":"2.0"})", "printable" },
		{ "not ASCII", R"({"url":"http://x/\u00e9","version":"2.0"})", "printable" },
		{ "version with a word", R"({"url":"http://x/u","version":"2.0-rc1"})", "not a version" },
		{ "version empty", R"({"url":"http://x/u","version":""})", "not a version" },
		{ "nine numbers", R"({"url":"http://x/u","version":"1.2.3.4.5.6.7.8.9"})", "not a version" },
		{ "eight numbers", R"({"url":"http://x/u","version":"1.2.3.4.5.6.7.8"})", nullptr },
		{ "ten digits", R"({"url":"http://x/u","version":"1234567890"})", "not a version" },
		{ "nine digits", R"({"url":"http://x/u","version":"123456789"})", nullptr },
		{ "two dots", R"({"url":"http://x/u","version":"1..2"})", "not a version" },
	};

	for (const auto &r : rows) {
		announcement a;
		char err[LINE_SIZE] = "";
		const bool ok = announce_parse(r.payload.data(), r.payload.size(), &a, err, sizeof err);

		EXPECT_EQ(ok, r.refusal == nullptr) << r.name << ": " << err;
		if (r.refusal) {
			EXPECT_NE(strstr(err, r.refusal), nullptr) << r.name << ": " << err;
			EXPECT_EQ(strchr(err, '\n'), nullptr) << r.name;
		}
	}
}

TEST(Announcement, PayloadOf1024TakenOf1025Refused)
{
	// {"url":"http://h/","version":"2.0","pad":"..."}: padded to the size.
	const std::string head = R"({"url":"http://h/","version":"2.0","pad":")", tail = "\"}";
	const std::string p1024 = head + std::string(1024 - head.size() - tail.size(), 'x') + tail;
	const std::string p1025 = head + std::string(1025 - head.size() - tail.size(), 'x') + tail;
	announcement a;
	char err[LINE_SIZE];

	ASSERT_EQ(p1024.size(), 1024u);
	EXPECT_TRUE(announce_parse(p1024.data(), p1024.size(), &a, err, sizeof err)) << err;
	EXPECT_STREQ(a.url, "http://h/");
	EXPECT_STREQ(a.version, "2.0");
	EXPECT_FALSE(announce_parse(p1025.data(), p1025.size(), &a, err, sizeof err));
	EXPECT_NE(strstr(err, "1024"), nullptr) << err;
}

// status -p of a board with keys: slot 1 signed 1.0 and running, slot 2
// valid but unsigned, a trial of 2 and an earlier rollback.
static const char SIGNED_BOARD[] = "selected=2\nbooted=1\nimage1=valid\nimage1_length=3548\n"
				   "image1_crc=0x50373469\nimage1_signature=matches\nimage1_version=1.0\n"
				   "image1_board=vboard\nimage2=valid\nimage2_length=3550\nimage2_crc=0x1ee817aa\n"
				   "image2_signature=none\nrescue=missing\nsignature_keys=1\nboard=vboard\n"
				   "floor=2.0\ngdb=0\ngdbserver=0.0.0.0\ngdbport=0\nshell=0\nmemchk=0\n"
				   "rescue_mode=0\ntrial=2\ntrial_boots=3\ntrial_used=1\ntrial_way_back=1\n"
				   "rollback=1\nrollback_to=2\n";
// One without keys, booted from the recovery image, byte 0 unset.
static const char PLAIN_BOARD[] = "selected=255\nbooted=4\nimage1=checksum-failed\nimage2=missing\n"
				  "rescue=valid\nrescue_length=10\nrescue_crc=0x00000001\nsignature_keys=0\n"
				  "gdb=0\ngdbserver=0.0.0.0\ngdbport=0\nshell=0\nmemchk=0\nrescue_mode=0";

TEST(State, JsonAsTheProtocolWritesIt)
{
	const state_names names = { "0256a1b2c3d4", "vboard", "lab" };
	agent_report none = {}, refused = {};
	agent_status s;

	refused.step = STEP_REFUSED;
	strcpy(refused.version, "2.0");
	strcpy(refused.url, "http://h/u.img");
	strcpy(refused.detail, "-: version 1.0 is older than this board's floor 2.0");
	strcpy(refused.error, refused.detail);
	const struct {
		const char *status;
		const agent_report *report;
		const char *json;
	} rows[] = {
		{ SIGNED_BOARD, &none,
		  R"({"id":"0256a1b2c3d4","board":"vboard","group":"lab","time":1765180000,"agent":")" VEMRA_VERSION
		  R"(","running":1,"selected":2,"images":[{"slot":1,"state":"valid","version":"1.0","signature":"matches"},)"
		  R"({"slot":2,"state":"valid","version":null,"signature":"none"}],"floor":"2.0",)"
		  R"("trial":{"image":2,"boots":3,"used":1},"rollback":{"from":1,"to":2},"update":null,"error":null})" },
		{ PLAIN_BOARD, &refused,
		  R"({"id":"0256a1b2c3d4","board":"vboard","group":"lab","time":1765180000,"agent":")" VEMRA_VERSION
		  R"(","running":null,"selected":null,"images":[{"slot":1,"state":"checksum-failed","version":null,"signature":null},)"
		  R"({"slot":2,"state":"missing","version":null,"signature":null}],"floor":null,"trial":null,"rollback":null,)"
		  R"("update":{"version":"2.0","url":"http://h/u.img","step":"refused","detail":"-: version 1.0 is older than this board's floor 2.0"},)"
		  R"("error":"-: version 1.0 is older than this board's floor 2.0"})" },
	};

	for (const auto &r : rows) {
		status_parse(r.status, &s);
		char *json = state_json(&names, &s, r.report, 1765180000);
		ASSERT_NE(json, nullptr);
		EXPECT_STREQ(json, r.json);
		free(json);
	}
}

TEST(State, WordsCutToFitNothingWrittenPast)
{
	// A floor of 64 characters and a key of 32, after the trial's lines.
	const std::string text = "trial=2\ntrial_boots=3\nimage1_signature_and_more_than_32=x\nfloor=" +
				 std::string(64, '9') + "\n";
	agent_status s;

	status_parse(text.c_str(), &s);
	EXPECT_EQ(std::string(s.floor), std::string(63, '9'));
	EXPECT_EQ(s.trial, 2);
	EXPECT_EQ(s.trial_boots, 3);
	EXPECT_STREQ(s.image[0].signature, "");
}

TEST(Decision, InstallsOnlyWhatIsNewerAndNotBack)
{
	const struct {
		const char *name, *status, *version;
		const char *skip; // a word of the reason; nullptr: installed
	} rows[] = {
		{ "newer", "booted=1\nimage1_version=1.0\n", "2.0", nullptr },
		{ "newer by number, not by text", "booted=1\nimage1_version=1.9\n", "1.10", nullptr },
		{ "newer by a last number", "booted=1\nimage1_version=1.0\n", "1.0.1", nullptr },
		{ "the same", "booted=1\nimage1_version=1.0\n", "1.0", "not newer" },
		{ "the same, written longer", "booted=1\nimage1_version=1.0\n", "1.0.0", "not newer" },
		{ "older", "booted=1\nimage1_version=1.0\n", "0.9", "not newer" },
		{ "the running slot's version, not the other's",
		  "booted=2\nimage1_version=1.0\nimage2_version=3.0\n", "2.0", "not newer" },
		{ "running image unsigned", "booted=1\nimage2_version=5.0\n", "1.0", nullptr },
		{ "a trial pending", "booted=1\nimage1_version=1.0\ntrial=2\ntrial_boots=3\ntrial_used=1\n", "2.0",
		  "trial" },
		{ "went back from it", "booted=1\nimage1_version=1.0\nimage2_version=2.0\nrollback=2\nrollback_to=1\n",
		  "2.0", "went back" },
		{ "went back from another", "booted=1\nimage1_version=1.0\nimage2_version=2.0\nrollback=2\nrollback_to=1\n",
		  "2.1", nullptr },
	};

	for (const auto &r : rows) {
		agent_status s;
		announcement a = {};
		char detail[LINE_SIZE] = "";

		status_parse(r.status, &s);
		strcpy(a.url, "http://h/u.img");
		strcpy(a.version, r.version);
		EXPECT_EQ(announce_wanted(&s, &a, detail, sizeof detail), r.skip == nullptr) << r.name;
		if (r.skip) {
			EXPECT_NE(strstr(detail, r.skip), nullptr) << r.name << ": " << detail;
		}
	}
}

class Config : public ::testing::Test {
protected:
	char dir[32] = "/tmp/agent-test.XXXXXX";
	std::string file;

	void SetUp() override
	{
		ASSERT_NE(mkdtemp(dir), nullptr);
		file = std::string(dir) + "/agent.conf";
	}
	void TearDown() override
	{
		unlink(file.c_str());
		rmdir(dir);
	}
	bool load(const std::string &text, mode_t mode, agent_config *c, char *err)
	{
		FILE *f = fopen(file.c_str(), "w");

		fputs(text.c_str(), f);
		fclose(f);
		chmod(file.c_str(), mode);
		return config_load(file.c_str(), c, err, LINE_SIZE);
	}
};

TEST_F(Config, KeysDefaultsAndRefusals)
{
	const char *const base = "broker=10.0.2.2\ngroup=lab\nid=b1\n";
	const struct {
		std::string text;
		mode_t mode;
		const char *refusal; // a word of the error; nullptr: taken
	} rows[] = {
		{ base, 0644, nullptr },
		{ std::string("# fleet\n\n  ") + base + "password=s3cret\n", 0600, nullptr },
		{ std::string(base) + "password=s3cret\n", 0640, "chmod 600" },
		{ std::string(base) + "password=s3cret\n", 0604, "chmod 600" },
		{ "group=lab\nid=b1\n", 0600, "broker" },
		{ "broker=h\nid=b1\n", 0600, "group" },
		{ "broker=h:0\ngroup=lab\nid=b1\n", 0600, "65535" },
		{ "broker=h:65536\ngroup=lab\nid=b1\n", 0600, "65535" },
		{ "broker=h:http\ngroup=lab\nid=b1\n", 0600, "65535" },
		{ "broker=h:65535\ngroup=lab\nid=b1\n", 0600, nullptr },
		{ "broker=h\ngroup=a/b\nid=b1\n", 0600, "group" },
		{ "broker=h\ngroup=lab\nid=#\n", 0600, "id" },
		{ "broker=h\ngroup=lab\nid=b1\nboard=" + std::string(64, 'b') + "\n", 0600, "board" },
		{ "broker=h\ngroup=lab\nid=b1\nboard=" + std::string(63, 'b') + "\n", 0600, nullptr },
		{ std::string(base) + "keepalive=4\n", 0600, "keepalive" },
		{ std::string(base) + "reboot=reboot\n", 0600, "absolute" },
		{ std::string(base) + "colour=red\n", 0600, "unknown key" },
		{ std::string(base) + "just words\n", 0600, "key=value" },
		{ std::string(base) + "# " + std::string(600, 'x') + "\n", 0600, "too long" },
	};

	for (const auto &r : rows) {
		agent_config c;
		char err[LINE_SIZE] = "";
		const bool ok = load(r.text, r.mode, &c, err);

		EXPECT_EQ(ok, r.refusal == nullptr) << r.text << err;
		if (r.refusal) {
			EXPECT_NE(strstr(err, r.refusal), nullptr) << r.text << ": " << err;
		}
	}
}

// The id by default: the MAC address of the first interface but lo, in
// name order, that has one.
static std::string first_mac()
{
	std::string best, mac;

	for (const auto &e : std::filesystem::directory_iterator("/sys/class/net")) {
		std::ifstream f(e.path() / "address");
		const std::string name = e.path().filename();

		if (name == "lo" || !std::getline(f, mac) || mac.size() != 17 || mac == "00:00:00:00:00:00")
			continue;
		if (best.empty() || name < best.substr(18))
			best = mac + " " + name;
	}
	best = best.substr(0, 17);
	best.erase(std::remove(best.begin(), best.end(), ':'), best.end());
	return best;
}

TEST_F(Config, IdFromTheFirstInterface)
{
	const std::string mac = first_mac();
	agent_config c;
	char err[LINE_SIZE] = "";

	if (mac.empty())
		GTEST_SKIP() << "no network interface with an address";
	ASSERT_TRUE(load("broker=h\ngroup=lab\n", 0600, &c, err)) << err;
	EXPECT_EQ(std::string(c.id), mac);
	EXPECT_EQ(strspn(c.id, "0123456789abcdef"), 12u);
	EXPECT_STREQ(c.user, c.id);
}

TEST_F(Config, DefaultsFilledIn)
{
	agent_config c;
	char err[LINE_SIZE] = "";

	ASSERT_TRUE(load("broker=broker.lan\ngroup=lab\nid=b1\n", 0600, &c, err)) << err;
	EXPECT_STREQ(c.host, "broker.lan");
	EXPECT_EQ(c.port, 1883);
	EXPECT_STREQ(c.user, "b1");
	EXPECT_EQ(c.keepalive, 120);
	EXPECT_STREQ(c.reboot, "/sbin/reboot");
	EXPECT_STREQ(c.board, "");
	ASSERT_TRUE(load("broker=b:1884\ngroup=g\nid=b2\nuser=u\nkeepalive=30\nboard=acme-ppc-3\n"
			 "vemra_boot=/opt/vb\nreboot=/bin/true\n", 0600, &c, err)) << err;
	EXPECT_EQ(c.port, 1884);
	EXPECT_STREQ(c.user, "u");
	EXPECT_EQ(c.keepalive, 30);
	EXPECT_STREQ(c.board, "acme-ppc-3");
	EXPECT_STREQ(c.vemra_boot, "/opt/vb");
	EXPECT_STREQ(c.reboot, "/bin/true");
}
