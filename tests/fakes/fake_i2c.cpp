#include "fake_i2c.h"

#include <cerrno>
#include <cstdlib>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

bool fake_i2c_present[2];
uint8_t fake_eeprom[256];
static uint8_t mux; // the multiplexer's channel mask

constexpr unsigned long MUX = 0x71, SUMMIT = 0x4F, EEPROM = 0x54;

void fake_i2c_reset()
{
	fake_i2c_present[0] = fake_i2c_present[1] = true;
	for (int i = 0; i < 256; i++)
		fake_eeprom[i] = static_cast<uint8_t>(0xA0 ^ i);
	mux = 0;
}

long fake_i2c_open(const char *path, fake_file &f)
{
	const int bus = atoi(path + 9); // after "/dev/i2c-"

	if (bus < 0 || bus > 1 || !fake_i2c_present[bus])
		return -ENOENT;
	f = fake_file{ FAKE_I2C, bus, 0 };
	return 0;
}

// Logs one transfer on the wire; its result: 0, or -errno when refused.
static long transfer(const fake_file &f, std::string what)
{
	const fake_fault *hit = fake_fault_hit(FAKE_XFER, static_cast<int>(f.addr));
	const bool answers = f.dev == 0 && (f.addr == MUX || f.addr == SUMMIT ||
					    (f.addr == EEPROM && (mux & 0x40)));
	const long r = hit ? -hit->err : answers ? 0 : -ENXIO;

	if (f.dev != 0)
		what = fake_fmt("i2c-%d ", f.dev) + what;
	fake_log.push_back(what + (r < 0 ? " nak" : ""));
	return r;
}

long fake_i2c_ioctl(fake_file &f, unsigned long req, unsigned long arg)
{
	if (req == I2C_SLAVE) {
		const fake_fault *hit = fake_fault_hit(FAKE_SELECT, static_cast<int>(arg));
		if (hit)
			return -hit->err;
		f.addr = arg;
		return 0;
	}
	if (req != I2C_SMBUS)
		return -ENOTTY;
	auto *d = reinterpret_cast<i2c_smbus_ioctl_data *>(arg);
	if (d->size != I2C_SMBUS_BYTE_DATA)
		return -EOPNOTSUPP;
	const bool rd = d->read_write == I2C_SMBUS_READ;
	const long r = transfer(f, rd ? fake_fmt("%02lx r %02x", f.addr, d->command)
				      : fake_fmt("%02lx w %02x %02x", f.addr, d->command, d->data->byte));
	if (r == 0 && f.addr == EEPROM && rd)
		d->data->byte = fake_eeprom[d->command];
	else if (r == 0 && f.addr == EEPROM)
		fake_eeprom[d->command] = d->data->byte;
	return r;
}

long fake_i2c_write(fake_file &f, const void *buf, size_t n)
{
	const auto *b = static_cast<const uint8_t *>(buf);
	std::string what = fake_fmt("%02lx w", f.addr);

	for (size_t i = 0; i < n; i++)
		what += fake_fmt(" %02x", b[i]);
	const long r = transfer(f, what);
	if (r == 0 && f.addr == MUX && n > 0)
		mux = b[n - 1];
	return r < 0 ? r : static_cast<long>(n);
}
