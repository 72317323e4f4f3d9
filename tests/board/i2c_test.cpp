// VPD EEPROM access through the real SMBus library over a fake bus 0.
#include "board_api.h"
#include "board_test.h"
#include "fake_i2c.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using lines = std::vector<std::string>;

const std::string MUX_OPEN = "71 w 40", SUMMIT = "4f w 87 55", MUX_CLOSE = "71 w 00";

// A complete access around one EEPROM transfer.
lines access(const std::string &eeprom)
{
	return { MUX_OPEN, SUMMIT, eeprom, MUX_CLOSE };
}

uint8_t got[16]; // the buffer of api_eeprom_read, filled with 0x11

struct vpd_case {
	const char *name;
	fake_fault fault; // nth 0: none
	std::function<int()> op;
	int rc;
	lines log; // EEPROM writes show here
	std::string out;
};

const vpd_case vpd_cases[] = {
	{ "image 0x37", {}, [] { fake_eeprom[0] = 0x37; return api_get_image(); },
	  0x37, access("54 r 00"), "" },
	{ "offset 300 reads register 44 into one byte", {},
	  [] {
		  int rc = api_eeprom_read(got, 300, 16);
		  return got[0] == rc && std::count(got, got + 16, 0x11) == 15 ? rc : 1000;
	  },
	  0xA0 ^ 44, access("54 r 2c"), "" },
	{ "EEPROM refuses the write", { FAKE_XFER, 0x54, 1, ENXIO, 0 }, [] { return api_set_booted_image(1); },
	  -ENXIO, access("54 w 3a 01 nak"), "I2C error when writing bus 0 offset 58: 6\n" },
	{ "Summit write fails", { FAKE_XFER, 0x4F, 1, EIO, 0 }, [] { return api_get_image(); },
	  0xA0, { MUX_OPEN, SUMMIT + " nak", "54 r 00", MUX_CLOSE }, "" },
	// The EEPROM, behind the closed channel, does not answer.
	{ "channel fails to open", { FAKE_XFER, 0x71, 1, EIO, 0 }, [] { return api_get_image(); },
	  255, { MUX_OPEN + " nak", SUMMIT, "54 r 00 nak", MUX_CLOSE }, "" },
	// A refused address selection skips the transfer of its step; the
	// device selected before never receives it.
	{ "EEPROM selection refused on read", { FAKE_SELECT, 0x54, 1, EBUSY, 0 },
	  [] { int rc = api_eeprom_read(got, 0, 1); return got[0] == 0xFF ? rc : 1000; },
	  -1, { MUX_OPEN, SUMMIT, MUX_CLOSE }, "" },
	{ "EEPROM selection refused on write", { FAKE_SELECT, 0x54, 1, EBUSY, 0 },
	  [] { return api_set_booted_image(4); },
	  -1, { MUX_OPEN, SUMMIT, MUX_CLOSE }, "I2C error when writing bus 0 offset 58: 16\n" },
	{ "Summit selection refused", { FAKE_SELECT, 0x4F, 1, EBUSY, 0 },
	  [] { return api_get_image(); }, 0xA0, { MUX_OPEN, "54 r 00", MUX_CLOSE }, "" },
	{ "multiplexer selection refused at the end", { FAKE_SELECT, 0x71, 2, EBUSY, 0 },
	  [] { return api_set_image(2); }, 0, { MUX_OPEN, SUMMIT, "54 w 00 02" }, "" },
};

TEST(vpd, access_sequences_and_results)
{
	for (const vpd_case &c : vpd_cases) {
		SCOPED_TRACE(c.name);
		fake_reset();
		ASSERT_EQ(api_i2c_init(), 0);
		fake_log.clear();
		memset(got, 0x11, sizeof got);
		fake_fail(c.fault);

		std::string out;
		EXPECT_EQ(run_captured(c.op, &out), c.rc);
		EXPECT_EQ(out, c.out);
		EXPECT_EQ(fake_log, c.log);
		api_i2c_close();
	}
}

// Each bus set-up, then a read of the selected image and a write of the
// booted one: two complete accesses in a row, or, without bus 0, requests
// that all fail.
struct bus_case {
	const char *name;
	bool bus0, bus1;
	int rc;
	std::string out;
	lines opens, closes;
};

const lines READ_WRITE = { MUX_OPEN, SUMMIT, "54 r 00", MUX_CLOSE, MUX_OPEN, SUMMIT, "54 w 3a 01", MUX_CLOSE };

const bus_case bus_cases[] = {
	{ "both buses", true, true, 0, "", { "open /dev/i2c-0", "open /dev/i2c-1" },
	  { "close i2c-0", "close i2c-1" } },
	{ "bus 1 missing", true, false, -1, "ERROR: driver /dev/i2c-1 couldn't be opened\n",
	  { "open /dev/i2c-0", "open /dev/i2c-1 failed" }, { "close i2c-0" } },
	{ "bus 0 missing", false, true, -1, "ERROR: driver /dev/i2c-0 couldn't be opened\n",
	  { "open /dev/i2c-0 failed" }, {} },
};

TEST(i2c_buses, open_access_close)
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
		EXPECT_EQ(run_captured(api_get_image, &out), c.bus0 ? 0xA0 : 255);
		EXPECT_EQ(out, "");
		EXPECT_EQ(run_captured([] { return api_set_booted_image(1); }, &out), c.bus0 ? 0 : -EBADF);
		EXPECT_EQ(out, c.bus0 ? "" : "I2C error when writing bus 0 offset 58: 9\n");
		EXPECT_EQ(fake_log, c.bus0 ? READ_WRITE : lines{});
		fake_log.clear();
		EXPECT_EQ(api_i2c_close(), 0);
		EXPECT_EQ(api_i2c_close(), 0);
		EXPECT_EQ(fake_log, c.closes);
	}
}

} // namespace
