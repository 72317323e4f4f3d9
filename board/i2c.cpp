// SPDX-License-Identifier: MIT
// I2C buses and the VPD EEPROM.
//
// The EEPROM sits on the VPD bus behind a multiplexer (addresses, channel
// and register: board_config.h). Every VPD access opens the multiplexer's
// channel, writes the Summit device's register, makes one EEPROM transfer
// and closes the multiplexer again. The other bus is opened and closed
// with the VPD bus but carries no traffic.
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

// Bus descriptors, the VPD bus's first: 0 when not open, the descriptor
// when open, the negative result of a failed open otherwise.
static int i2c_file[2];
static const int BUSES[2] = { BOARD_I2C_VPD_BUS, BOARD_I2C_OTHER_BUS };

// 7-bit addresses on the VPD bus.
constexpr int MUX_ADDR = BOARD_I2C_MUX;
constexpr int SUMMIT_ADDR = BOARD_I2C_SUMMIT;
constexpr int EEPROM_ADDR = BOARD_I2C_EEPROM;

constexpr int VPD_CHANNEL = BOARD_MUX_CHANNEL;
constexpr uint8_t SUMMIT_REG = BOARD_SUMMIT_REG;
constexpr uint8_t SUMMIT_VALUE = BOARD_SUMMIT_VALUE;

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
		printf("I2C error when writing bus %d offset %d: %d\n", BUSES[0], offset, errno);
	clear_mux();
	return rc;
}

int api_i2c_init(void)
{
	char path[32];

	for (int bus = 0; bus < 2; bus++) {
		snprintf(path, sizeof path, "/dev/i2c-%d", BUSES[bus]);
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
