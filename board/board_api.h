// SPDX-License-Identifier: MIT
// The board API: the operations through which the launcher reaches the
// board's hardware (I2C buses with the VPD EEPROM, MTD flash partitions),
// and the process-wide partition descriptors.
//
// Results: 0 on success and -1 on failure, except that VPD reads return
// the byte read and VPD writes return the bus transfer's status.
#ifndef BOARD_API_H
#define BOARD_API_H

#include "board_config.h"

#include <cstdint>

// VPD bytes (board_config.h): the image slot to try first (1 or 2), and
// the image last started (1, 2, or 4 for the recovery image).
constexpr uint16_t VPD_SELECTED_IMAGE = BOARD_VPD_SELECTED;
constexpr uint16_t VPD_BOOTED_IMAGE = BOARD_VPD_BOOTED;

// I2C buses and VPD EEPROM.
int api_i2c_init(void);
int api_i2c_close(void);
int api_get_image(void);
int api_set_image(uint8_t image);
int api_set_booted_image(uint8_t image);
int api_eeprom_read(uint8_t *data, uint16_t offset, int length);
// One VPD byte written (for boot control beside the launcher, which never
// calls it): the EEPROM write transfer's status, as api_set_image().
int api_eeprom_write(uint16_t offset, uint8_t value);

// Flash partitions. Opened once by api_flash_init() and never closed;
// each holds what open() returned (-1 on failure), or 0 before init.
// Devices: BOARD_MTD_* of board_config.h.
extern int uboot_fd;       // BOARD_MTD_UBOOT
extern int uboot_env_fd;   // BOARD_MTD_ENV
extern int device_tree_fd; // BOARD_MTD_DEVICETREE
extern int kernel_fd;      // BOARD_MTD_KERNEL
extern int rfs_fd;         // BOARD_MTD_RFS
extern int rescue_fd;      // BOARD_MTD_RESCUE
extern int flash_fd;       // copy of kernel_fd: the geometry source

// Trace switches: any nonzero value prints the flash layers' trace lines.
extern int debug_read;
extern int debug_write;
extern int debug_erase;

int api_flash_init(void);
int api_flash_read(uint8_t *buffer, int fd, uint32_t offset, uint32_t length);
int api_flash_write(const uint8_t *buffer, int fd, uint32_t offset, uint32_t length);
int api_flash_erase(int fd, uint32_t offset, uint32_t length);
int mtd_get_size(int fd, uint32_t *size_out);

#endif
