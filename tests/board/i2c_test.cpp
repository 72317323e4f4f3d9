// VPD EEPROM access through the real SMBus library over a fake bus 0.
#include "board_api.h"
#include "board_test.h"
#include "fake_i2c.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const std::string MUX_OPEN = "71 w 40", SUMMIT = "4f w 87 55", MUX_CLOSE = "71 w 00";

// A complete access around one EEPROM transfer.
std::vector<std::string> access(const std::string &eeprom)
{
	return { MUX_OPEN, SUMMIT, eeprom, MUX_CLOSE };
}

std::vector<std::string> cat(std::vector<std::string> a, const std::vector<std::string> &b)
{
	a.insert(a.end(), b.begin(), b.end());
	return a;
}

uint8_t got[16]; // the buffer of api_eeprom_read, filled with 0x11

bool filled(const uint8_t *p, int n)
{
	return std::count(p, p + n, 0x11) == n;
}

struct vpd_case {
	const char *name;
	std::vector<fake_fault> faults;
	bool silent;
	std::function<int()> op;
	int rc;
	std::vector<std::string> log;
	std::string out;
	std::vector<std::pair<int, int>> vpd; // EEPROM bytes changed: offset, value
};

const vpd_case vpd_cases[] = {
	{ "image 2", {}, false, [] { fake_eeprom[0] = 2; return api_get_image(); },
	  2, access("54 r 00"), "", { { 0, 2 } } },
	{ "image 0x37", {}, false, [] { fake_eeprom[0] = 0x37; return api_get_image(); },
	  0x37, access("54 r 00"), "", { { 0, 0x37 } } },
	{ "booted image 4", {}, false, [] { return api_set_booted_image(4); },
	  0, access("54 w 3a 04"), "", { { 58, 4 } } },
	{ "selected image 2", {}, false, [] { return api_set_image(2); },
	  0, access("54 w 00 02"), "", { { 0, 2 } } },
	{ "offset 300 reads register 44 into one byte", {}, false,
	  [] { int rc = api_eeprom_read(got, 300, 16); return got[0] == rc && filled(got + 1, 15) ? rc : 1000; },
	  0xA0 ^ 44, access("54 r 2c"), "", {} },
	{ "EEPROM silent on read", {}, true, [] { return api_get_image(); },
	  255, access("54 r 00 nak"), "", {} },
	{ "EEPROM refuses the write", {}, true, [] { return api_set_booted_image(1); },
	  -ENXIO, access("54 w 3a 01 nak"), "I2C error when writing bus 0 offset 58: 6\n", {} },
	{ "read after a failed write", { { FAKE_XFER, 0x54, 1, EIO, 0 } }, false,
	  [] { api_set_image(1); return api_get_image(); },
	  0xA0, cat(access("54 w 00 01 nak"), access("54 r 00")),
	  "I2C error when writing bus 0 offset 0: 5\n", {} },
	{ "two writes in a row", {}, false, [] { return api_set_image(1) | api_set_booted_image(4); },
	  0, cat(access("54 w 00 01"), access("54 w 3a 04")), "", { { 0, 1 }, { 58, 4 } } },
	{ "Summit write fails", { { FAKE_XFER, 0x4F, 1, EIO, 0 } }, false, [] { return api_get_image(); },
	  0xA0, { MUX_OPEN, SUMMIT + " nak", "54 r 00", MUX_CLOSE }, "", {} },
	{ "channel fails to open", { { FAKE_XFER, 0x71, 1, EIO, 0 } }, false, [] { return api_get_image(); },
	  255, { MUX_OPEN + " nak", SUMMIT, "54 r 00 nak", MUX_CLOSE }, "", {} },
	// A refused address selection skips the transfer of its step; the
	// device selected before never receives it.
	{ "EEPROM selection refused on read", { { FAKE_SELECT, 0x54, 1, EBUSY, 0 } }, false,
	  [] { int rc = api_eeprom_read(got, 0, 1); return got[0] == 0xFF ? rc : 1000; },
	  -1, { MUX_OPEN, SUMMIT, MUX_CLOSE }, "", {} },
	{ "EEPROM selection refused on write", { { FAKE_SELECT, 0x54, 1, EBUSY, 0 } }, false,
	  [] { return api_set_booted_image(4); },
	  -1, { MUX_OPEN, SUMMIT, MUX_CLOSE }, "I2C error when writing bus 0 offset 58: 16\n", {} },
	{ "Summit selection refused", { { FAKE_SELECT, 0x4F, 1, EBUSY, 0 } }, false,
	  [] { return api_get_image(); }, 0xA0, { MUX_OPEN, "54 r 00", MUX_CLOSE }, "", {} },
	{ "multiplexer selection refused at the start", { { FAKE_SELECT, 0x71, 1, EBUSY, 0 } }, false,
	  [] { return api_get_image(); }, 255, { SUMMIT, "54 r 00 nak", MUX_CLOSE }, "", {} },
	{ "multiplexer selection refused at the end", { { FAKE_SELECT, 0x71, 2, EBUSY, 0 } }, false,
	  [] { return api_set_image(2); }, 0, { MUX_OPEN, SUMMIT, "54 w 00 02" }, "", { { 0, 2 } } },
};

TEST(vpd, access_sequences_and_results)
{
	for (const vpd_case &c : vpd_cases) {
		SCOPED_TRACE(c.name);
		fake_reset();
		ASSERT_EQ(api_i2c_init(), 0);
		fake_log.clear();
		memset(got, 0x11, sizeof got);
		uint8_t vpd[256];
		memcpy(vpd, fake_eeprom, sizeof vpd);
		for (const auto &b : c.vpd)
			vpd[b.first] = static_cast<uint8_t>(b.second);
		for (const fake_fault &f : c.faults)
			fake_fail(f);
		fake_eeprom_silent = c.silent;

		std::string out;
		EXPECT_EQ(run_captured(c.op, &out), c.rc);
		EXPECT_EQ(out, c.out);
		EXPECT_EQ(fake_log, c.log);
		EXPECT_EQ(0, memcmp(vpd, fake_eeprom, sizeof vpd));
		api_i2c_close();
	}
}

struct bus_case {
	const char *name;
	bool bus0, bus1;
	int rc;
	std::string out;
	std::vector<std::string> opens;
	int image;
	std::vector<std::string> transfers, closes;
};

const bus_case bus_cases[] = {
	{ "both buses", true, true, 0, "", { "open /dev/i2c-0", "open /dev/i2c-1" },
	  0xA0, access("54 r 00"), { "close i2c-0", "close i2c-1" } },
	{ "bus 1 missing", true, false, -1, "ERROR: driver /dev/i2c-1 couldn't be opened\n",
	  { "open /dev/i2c-0", "open /dev/i2c-1 failed" }, 0xA0, access("54 r 00"), { "close i2c-0" } },
	{ "bus 0 missing", false, true, -1, "ERROR: driver /dev/i2c-0 couldn't be opened\n",
	  { "open /dev/i2c-0 failed" }, 255, {}, {} },
};

TEST(i2c_buses, open_read_close)
{
	for (const bus_case &c : bus_cases) {
		SCOPED_TRACE(c.name);
		fake_reset();
		fake_i2c_present[0] = c.bus0;
		fake_i2c_present[1] = c.bus1;
		std::string out;

		EXPECT_EQ(run_captured(api_i2c_init, &out), c.rc);
		EXPECT_EQ(out, c.out);
		EXPECT_EQ(fake_log, c.opens);
		fake_log.clear();
		EXPECT_EQ(run_captured(api_get_image, &out), c.image);
		EXPECT_EQ(out, "");
		EXPECT_EQ(fake_log, c.transfers);
		fake_log.clear();
		EXPECT_EQ(api_i2c_close(), 0);
		EXPECT_EQ(api_i2c_close(), 0);
		EXPECT_EQ(fake_log, c.closes);
	}
}

TEST(i2c_buses, write_without_bus_0)
{
	fake_reset();
	fake_i2c_present[0] = false;
	std::string out;

	run_captured(api_i2c_init, &out);
	fake_log.clear();
	EXPECT_LT(run_captured([] { return api_set_booted_image(1); }, &out), 0);
	EXPECT_EQ(out, "I2C error when writing bus 0 offset 58: 9\n"); // EBADF
	EXPECT_TRUE(fake_log.empty());
}

} // namespace
