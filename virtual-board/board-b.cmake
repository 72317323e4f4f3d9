# SPDX-License-Identifier: MIT
# A second board for the virtual board (vboard build DIR board-b.cmake):
# its EEPROM at another address, other partition names, the user
# partition mounted elsewhere, the trial's bytes elsewhere.
set(VEMRA_I2C_EEPROM 0x50 CACHE STRING "")
set(VEMRA_PART_ENV env CACHE STRING "")
set(VEMRA_PART_RESCUE recovery CACHE STRING "")
set(VEMRA_USER_DIR /data CACHE STRING "")
set(VEMRA_TRIAL_VPD 200 CACHE STRING "")
