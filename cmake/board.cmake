# SPDX-License-Identifier: MIT
# The board description: every fact about the board that the programs
# are built for, as cache settings whose defaults describe the board the
# launcher was written for. The programs read them from one generated
# header, board_config.h (cmake/board_config.h.in), and the virtual board
# from board.env beside it; no other file spells them. Another board is
# another set of -D settings, for example -DVEMRA_I2C_EEPROM=0x50.

# I2C: the bus the VPD EEPROM is on and a second bus that is opened and
# closed with it (no traffic); on the VPD bus a multiplexer, whose channel
# leads to the EEPROM once a register of the Summit device is written.
set(VEMRA_I2C_VPD_BUS 0 CACHE STRING "I2C bus (/dev/i2c-N) of the VPD EEPROM")
set(VEMRA_I2C_OTHER_BUS 1 CACHE STRING "I2C bus opened and closed with the VPD bus")
set(VEMRA_I2C_MUX 0x71 CACHE STRING "7-bit address of the I2C multiplexer")
set(VEMRA_I2C_MUX_CHANNEL 6 CACHE STRING "Multiplexer channel (0 to 7) of the VPD EEPROM")
set(VEMRA_I2C_SUMMIT 0x4F CACHE STRING "7-bit address of the Summit device")
set(VEMRA_SUMMIT_REG 0x87 CACHE STRING "Summit register written before each VPD access")
set(VEMRA_SUMMIT_VALUE 0x55 CACHE STRING "Value written to that register")
set(VEMRA_I2C_EEPROM 0x54 CACHE STRING "7-bit address of the VPD EEPROM (one-byte offsets)")
set(VEMRA_EEPROM_SIZE 256 CACHE STRING "Bytes of the VPD EEPROM that are reached (at most 256)")

# VPD bytes: the slot to boot, the image last started, and the first of
# the six bytes in which vemra-boot keeps a trial (docs/board-guide.md).
set(VEMRA_VPD_SELECTED 0 CACHE STRING "VPD byte of the slot to boot")
set(VEMRA_VPD_BOOTED 58 CACHE STRING "VPD byte of the image last started")
set(VEMRA_TRIAL_VPD 250 CACHE STRING "First of the six VPD EEPROM bytes that keep a trial")

# Flash: the MTD partitions by name, each a character device PREFIX+NAME;
# the user partition is also a block device PREFIX+NAME (jffs2), and its
# character device PREFIX+NAME-char.
set(VEMRA_MTD_PREFIX /dev/mtd- CACHE STRING "Path prefix of the MTD devices")
set(VEMRA_PART_UBOOT uboot CACHE STRING "Partition of the boot loader")
set(VEMRA_PART_ENV ubootenv CACHE STRING "Partition of the boot loader's environment")
set(VEMRA_PART_DEVICETREE devicetree CACHE STRING "Partition of the device tree")
set(VEMRA_PART_KERNEL kernel CACHE STRING "Partition of the kernel (the flash geometry)")
set(VEMRA_PART_RFS rfs CACHE STRING "Partition of the root file system")
set(VEMRA_PART_RESCUE rescue CACHE STRING "Partition of the recovery image")
set(VEMRA_PART_USER user CACHE STRING "Partition mounted on the user directory (jffs2)")

# Files: where the user partition is mounted (the slots are
# images/image1 and images/image2 below it), and the application's side.
set(VEMRA_USER_DIR /user CACHE STRING "Mount point of the user partition")
set(VEMRA_APP_PROGRAM home/bin/mp.elf.strip CACHE STRING "The application program in an image's tree")
set(VEMRA_APP_MONITOR /bin/zid-Monitor CACHE STRING "The program the launcher hands over to")
set(VEMRA_APP_GDBSERVER /bin/gdbserver CACHE STRING "gdbserver, for the debugging switch")
set(VEMRA_APP_DUMA libduma.so.0.0.0 CACHE STRING "DUMA's library, for the memory-checking switch")
# vemra-boot's lock, held by its writing commands (on a tmpfs: no lock
# outlives a boot), and the fleet agent's configuration.
set(VEMRA_LOCK_FILE /run/vemra-boot.lock CACHE STRING "vemra-boot's lock file")
set(VEMRA_AGENT_CONFIG /etc/vemra/agent.conf CACHE STRING "vemra-agent's configuration file")

function(board_fail name what)
  message(FATAL_ERROR "${name}=${${name}}: ${what}")
endfunction()

# A number (decimal or 0x..) from LO to HI, kept in NAME_VALUE as decimal.
function(board_number name lo hi)
  if(NOT "${${name}}" MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
    board_fail(${name} "not a number")
  endif()
  math(EXPR v "${${name}}")
  if(v LESS ${lo} OR v GREATER ${hi})
    board_fail(${name} "not from ${lo} to ${hi}")
  endif()
  math(EXPR hex "${v}" OUTPUT_FORMAT HEXADECIMAL)
  set(${name}_VALUE ${v} PARENT_SCOPE)
  set(${name}_HEX ${hex} PARENT_SCOPE)
endfunction()

foreach(n VEMRA_I2C_VPD_BUS VEMRA_I2C_OTHER_BUS)
  board_number(${n} 0 255)
endforeach()
foreach(n VEMRA_I2C_MUX VEMRA_I2C_SUMMIT VEMRA_I2C_EEPROM)
  board_number(${n} 3 119)
endforeach()
board_number(VEMRA_I2C_MUX_CHANNEL 0 7)
board_number(VEMRA_SUMMIT_REG 0 255)
board_number(VEMRA_SUMMIT_VALUE 0 255)
board_number(VEMRA_EEPROM_SIZE 64 256)
foreach(n VEMRA_VPD_SELECTED VEMRA_VPD_BOOTED VEMRA_TRIAL_VPD)
  math(EXPR last "${VEMRA_EEPROM_SIZE_VALUE} - 1")
  board_number(${n} 0 ${last})
endforeach()
if(VEMRA_I2C_VPD_BUS_VALUE EQUAL VEMRA_I2C_OTHER_BUS_VALUE)
  board_fail(VEMRA_I2C_OTHER_BUS "the VPD bus itself")
endif()
if(VEMRA_I2C_MUX_VALUE EQUAL VEMRA_I2C_SUMMIT_VALUE OR VEMRA_I2C_MUX_VALUE EQUAL VEMRA_I2C_EEPROM_VALUE OR
   VEMRA_I2C_SUMMIT_VALUE EQUAL VEMRA_I2C_EEPROM_VALUE)
  message(FATAL_ERROR "VEMRA_I2C_MUX, VEMRA_I2C_SUMMIT, VEMRA_I2C_EEPROM: one address each")
endif()
if(VEMRA_VPD_SELECTED_VALUE EQUAL VEMRA_VPD_BOOTED_VALUE)
  board_fail(VEMRA_VPD_BOOTED "the same byte as VEMRA_VPD_SELECTED")
endif()
# The trial's six bytes: inside the EEPROM and clear of the other two.
math(EXPR trial_end "${VEMRA_TRIAL_VPD_VALUE} + 6")
if(trial_end GREATER VEMRA_EEPROM_SIZE_VALUE)
  board_fail(VEMRA_TRIAL_VPD "six bytes past the EEPROM's ${VEMRA_EEPROM_SIZE_VALUE}")
endif()
foreach(b ${VEMRA_VPD_SELECTED_VALUE} ${VEMRA_VPD_BOOTED_VALUE})
  if(NOT b LESS VEMRA_TRIAL_VPD_VALUE AND b LESS trial_end)
    board_fail(VEMRA_TRIAL_VPD "its six bytes hold VPD byte ${b} (VEMRA_VPD_SELECTED or VEMRA_VPD_BOOTED)")
  endif()
endforeach()

set(parts)
foreach(n UBOOT ENV DEVICETREE KERNEL RFS RESCUE USER)
  if(NOT VEMRA_PART_${n} MATCHES "^[A-Za-z0-9_.][A-Za-z0-9_.-]*$")
    board_fail(VEMRA_PART_${n} "not a partition name (letters, digits, _ . -)")
  endif()
  list(APPEND parts ${VEMRA_PART_${n}})
endforeach()
list(REMOVE_DUPLICATES parts)
list(LENGTH parts n)
if(NOT n EQUAL 7)
  message(FATAL_ERROR "VEMRA_PART_*: seven partitions, one name each")
endif()
if(NOT VEMRA_MTD_PREFIX MATCHES "^/[A-Za-z0-9_./-]*$")
  board_fail(VEMRA_MTD_PREFIX "not an absolute path")
endif()
foreach(n VEMRA_USER_DIR VEMRA_APP_MONITOR VEMRA_APP_GDBSERVER VEMRA_LOCK_FILE VEMRA_AGENT_CONFIG)
  if(NOT ${n} MATCHES "^(/[A-Za-z0-9_.-]+)+$" OR ${n} MATCHES "/\\.\\.?(/|$)")
    board_fail(${n} "not an absolute path without . or ..")
  endif()
endforeach()
string(LENGTH "${VEMRA_USER_DIR}" n)
if(n GREATER 64)
  board_fail(VEMRA_USER_DIR "longer than 64 characters")
endif()
if(NOT VEMRA_APP_PROGRAM MATCHES "^[A-Za-z0-9_.-]+(/[A-Za-z0-9_.-]+)*$" OR
   VEMRA_APP_PROGRAM MATCHES "(^|/)\\.\\.?(/|$)")
  board_fail(VEMRA_APP_PROGRAM "not a relative path without . or ..")
endif()
if(NOT VEMRA_APP_DUMA MATCHES "^[A-Za-z0-9_.+-]+$")
  board_fail(VEMRA_APP_DUMA "not a file name")
endif()
get_filename_component(VEMRA_APP_NAME "${VEMRA_APP_PROGRAM}" NAME)

set(VEMRA_BOARD_DIR ${CMAKE_BINARY_DIR}/board-config)
configure_file(${CMAKE_CURRENT_LIST_DIR}/board_config.h.in ${VEMRA_BOARD_DIR}/board_config.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/board.env.in ${CMAKE_BINARY_DIR}/board.env @ONLY)
include_directories(${VEMRA_BOARD_DIR})
