#include "fake_board.h"

#include "board_api.h"
#include "fake_platform.h"

#include <algorithm>
#include <cstring>
#include <string>

fake_board board;

int uboot_env_fd, rescue_fd; // the launcher reads no other partition

void board_begin()
{
	board = fake_board();
	uboot_env_fd = rescue_fd = 0;
}

// False when the bus failed.
static bool vpd_usable(const char *op)
{
	if (!board.i2c_open)
		platform_fault(std::string(op) + " while the I2C buses are not open");
	return board.vpd_selected >= 0;
}

static int vpd_write(uint16_t offset, uint8_t value)
{
	platform_event("vpd " + std::to_string(offset) + "=" + std::to_string(value));
	return vpd_usable("a VPD write") ? 0 : -1;
}

int api_i2c_init(void)
{
	platform_event("i2c_init");
	board.i2c_open = true;
	return board.vpd_selected >= 0 ? 0 : -1;
}

int api_i2c_close(void)
{
	platform_event("i2c_close");
	board.i2c_open = false;
	return 0;
}

int api_get_image(void)
{
	return vpd_usable("api_get_image") ? board.vpd_selected : 255;
}

int api_set_image(uint8_t image)
{
	return vpd_write(VPD_SELECTED_IMAGE, image);
}

int api_set_booted_image(uint8_t image)
{
	return vpd_write(VPD_BOOTED_IMAGE, image);
}

int api_flash_init(void)
{
	platform_event("flash_init");
	uboot_env_fd = 11;
	rescue_fd = 15;
	return 0;
}

// As a pread() on the MTD device: a read past the end is short, and a
// short read counts as success.
int api_flash_read(uint8_t *buffer, int fd, uint32_t offset, uint32_t length)
{
	const bool env = fd == uboot_env_fd;
	const std::vector<uint8_t> &part = env ? board.env : board.rescue;

	platform_event(std::string("read ") + (env ? "env " : fd == rescue_fd ? "rescue " : "fd ") +
		       std::to_string(offset) + "+" + std::to_string(length));
	if (!env && fd != rescue_fd)
		return -1;
	if (offset < part.size())
		memcpy(buffer, part.data() + offset, std::min<size_t>(length, part.size() - offset));
	return 0;
}
