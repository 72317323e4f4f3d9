// The launch settings read from the boot loader's environment partition:
// images made by U-Boot's mkenvimage, and hand-made partitions for what it
// cannot express (text at chosen offsets, key text in the checksum bytes).
#include "board_api.h"
#include "fake_board.h"
#include "fake_platform.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

namespace {

// An erased 8 KiB partition with `text` written at byte `at`.
bytes placed(size_t at, const std::string &text)
{
	bytes p(0x2000, 0xFF);
	std::copy(text.begin(), text.end(), p.begin() + at);
	return p;
}

// The settings as one comparable value.
auto fields(const launch_settings_t &s)
{
	return std::make_tuple(s.gdb_enable, s.gdbserver, s.gdbport, (int)s.shell_enable, (int)s.memchk_enable,
			       s.rescue_enable);
}

launch_settings_t parse(const bytes &partition)
{
	board_begin();
	platform = fake_platform();
	board.env = partition;
	launch_settings = {};
	api_flash_init();
	parse_uboot_env();
	EXPECT_EQ(platform.events, (std::vector<std::string>{"flash_init", "read env 4+1280"}));
	return launch_settings;
}

struct env_case {
	const char *name;
	bytes partition;
	launch_settings_t want;
};

TEST(Settings, KeyTable)
{
	const env_case cases[] = {
		{"debugger", env_image("gdb=on\ngdbserver=192.168.1.10\ngdbport=2345"), {1, 0xC0A8010A, 2345, 0, 0, 0}},
		{"no gdb=: address and port still read", env_image("gdbserver=10.0.0.1\ngdbport=1"), {0, 0x0A000001, 1, 0, 0, 0}},
		{"values beginning with on", env_image("gdb=online\nshell=on\nmemchk=onward"), {1, 0, 0, 1, 1, 0}},
		{"ON, On, off", env_image("gdb=ON\nshell=On\nmemchk=off"), {}},
		{"byte 256 spills; port -1", env_image("gdbserver=1.2.3.256\ngdbport=-1"), {0, 0x01020400, -1, 0, 0, 0}},
		{"text after the address; port abc", env_image("gdbserver=10.0.0.1:2345\ngdbport=abc"), {0, 0x0A000001, 0, 0, 0, 0}},
		{"three numbers; port above 32 bits saturates", env_image("gdbserver=10.0.0\ngdbport=99999999999"), {0, 0, INT_MAX, 0, 0, 0}},
		{"negative byte; port below 32 bits saturates", env_image("gdbserver=-1.0.0.0\ngdbport=-99999999999"),
		 {0, 0xFF000000, INT_MIN, 0, 0, 0}},
		{"blank after a dot", env_image("gdbserver=10. 0.0.1"), {0, 0x0A000001, 0, 0, 0, 0}},
		{"blank before a dot", env_image("gdbserver=10 .0.0.1"), {}},
		{"empty value: the scan reads on", env_image("gdbport=\n7=x"), {0, 0, 7, 0, 0, 0}},
		{"rescue and more", env_image("diagnostics=rescue_all"), {0, 0, 0, 0, 0, 1}},
		{"rescuE: six characters, case-sensitive", env_image("diagnostics=rescuE"), {}},
		{"key inside an earlier value", env_image("bootcmd=setenv shell=on\nshell=off"), {0, 0, 0, 1, 0, 0}},
		{"name ending in shell", env_image("noshell=on"), {0, 0, 0, 1, 0, 0}},
		{"key text in the checksum bytes", placed(0, std::string("gdb=on\0", 7)), {}},
		{"variable ends at byte 1283", placed(1276, "shell=on"), {0, 0, 0, 1, 0, 0}},
		{"variable cut at byte 1284", placed(1277, "shell=on"), {}},
		{"address cut after its third number", placed(1268, "gdbserver=10.0.0.1"), {}},
		{"checksum not verified; partition shorter than the read",
		 bytes{0, 0, 0, 0, 's', 'h', 'e', 'l', 'l', '=', 'o', 'n'}, {0, 0, 0, 1, 0, 0}},
	};
	for (const env_case &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(fields(parse(c.partition)), fields(c.want));
	}
}

// Leaves text full of keys where the parser's frame will be.
__attribute__((noinline)) void scribble_stack()
{
	volatile char junk[16384];
	const char keys[] = "shell=on gdb=on memchk=on diagnostics=rescue gdbport=9 ";

	for (size_t i = 0; i < sizeof junk; i++)
		junk[i] = keys[i % (sizeof keys - 1)];
}

TEST(Settings, NothingReadNothingSet)
{
	parse(env_image("shell=on\ngdb=on\ndiagnostics=rescue"));
	scribble_stack();
	EXPECT_EQ(fields(parse({})), fields(launch_settings_t{})); // a read that delivers nothing
}

} // namespace
