// I2C buses and the VPD EEPROM.
//
// The EEPROM sits on bus 0 behind a multiplexer. Every VPD access opens
// the multiplexer's channel 6, writes 0x55 to register 0x87 of the Summit
// device, makes one EEPROM transfer and closes the multiplexer again.
// Bus 1 is opened and closed with bus 0 but carries no traffic.
#include "board_api.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

extern "C" {
#include <i2c/smbus.h>
}

// Bus descriptors, indexed by bus number: 0 when not open, the descriptor
// when open, the negative result of a failed open otherwise.
static int i2c_file[2];

// 7-bit addresses on bus 0.
constexpr int MUX_ADDR = 0x71;
constexpr int SUMMIT_ADDR = 0x4F;
constexpr int EEPROM_ADDR = 0x54;

constexpr int VPD_CHANNEL = 6;
constexpr uint8_t SUMMIT_REG = 0x87;
constexpr uint8_t SUMMIT_VALUE = 0x55;

// Selects the device that the next transfer on bus 0 goes to.
static int select_device(int addr)
{
	return ioctl(i2c_file[0], I2C_SLAVE, static_cast<unsigned long>(addr));
}

// Whether a step may make its transfer after selecting its device.
//
// When the kernel refuses a selection on an open descriptor, the device
// selected before is still the target (after the Summit step, the Summit
// device, whose register numbered by the VPD offset would be written).
// Such a step is skipped and counts as failed with the selection's
// result; the access goes on with its next step, so the multiplexer is
// still closed at the end. On a descriptor that is not open nothing can
// go out: every step runs and each request fails on its own.
static bool may_transfer(int selected)
{
	return selected >= 0 || i2c_file[0] < 0;
}

static int mux_write(uint8_t mask)
{
	int rc = select_device(MUX_ADDR);

	if (!may_transfer(rc))
		return rc;
	return static_cast<int>(write(i2c_file[0], &mask, 1));
}

static int setup_mux(int channel)
{
	return mux_write(static_cast<uint8_t>(1u << channel));
}

static int clear_mux(void)
{
	return mux_write(0x00);
}

static int setup_summit(void)
{
	int rc = select_device(SUMMIT_ADDR);

	if (!may_transfer(rc))
		return rc;
	return i2c_smbus_write_byte_data(i2c_file[0], SUMMIT_REG, SUMMIT_VALUE);
}

// One VPD read: exactly one byte, whatever length says. The EEPROM
// register is the low 8 bits of offset.
static int get_vpd_offset(uint16_t offset, int length, uint8_t *data)
{
	int selected, value = -1;

	(void)length;
	setup_mux(VPD_CHANNEL);
	setup_summit();
	selected = select_device(EEPROM_ADDR);
	if (may_transfer(selected))
		value = i2c_smbus_read_byte_data(i2c_file[0], static_cast<uint8_t>(offset));
	*data = value < 0 ? 0xFF : static_cast<uint8_t>(value);
	clear_mux();
	return selected < 0 ? selected : *data;
}

// One VPD write; returns the EEPROM transfer's result.
static int set_vpd_offset(uint16_t offset, uint8_t value)
{
	int rc;

	setup_mux(VPD_CHANNEL);
	setup_summit();
	rc = select_device(EEPROM_ADDR);
	if (may_transfer(rc))
		rc = i2c_smbus_write_byte_data(i2c_file[0], static_cast<uint8_t>(offset), value);
	if (rc < 0)
		printf("I2C error when writing bus %d offset %d: %d\n", 0, offset, errno);
	clear_mux();
	return rc;
}

int api_i2c_init(void)
{
	char path[32];

	for (int bus = 0; bus < 2; bus++) {
		snprintf(path, sizeof path, "/dev/i2c-%d", bus);
		i2c_file[bus] = open(path, O_RDWR);
		if (i2c_file[bus] < 0) {
			printf("ERROR: driver %s couldn't be opened\n", path);
			return -1;
		}
	}
	return 0;
}

int api_i2c_close(void)
{
	for (int &fd : i2c_file) {
		if (fd > 0) {
			close(fd);
			fd = 0;
		}
	}
	return 0;
}

int api_get_image(void)
{
	uint8_t image;

	get_vpd_offset(VPD_SELECTED_IMAGE, 1, &image);
	return image;
}

int api_set_image(uint8_t image)
{
	return set_vpd_offset(VPD_SELECTED_IMAGE, image);
}

int api_set_booted_image(uint8_t image)
{
	return set_vpd_offset(VPD_BOOTED_IMAGE, image);
}

int api_eeprom_read(uint8_t *data, uint16_t offset, int length)
{
	return get_vpd_offset(offset, length, data);
}

int api_eeprom_write(uint16_t offset, uint8_t value)
{
	return set_vpd_offset(offset, value);
}
