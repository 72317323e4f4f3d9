// Fake I2C buses "/dev/i2c-0" and "/dev/i2c-1". On bus 0: the multiplexer
// at 0x71 (a plain one-byte write sets its channel mask), the Summit
// device at 0x4F and a 256-byte EEPROM at 0x54 that answers only while
// channel 6 is open; SMBus byte-data transfers only. A transfer to a
// device that does not answer fails with ENXIO. Transfers are logged in
// fake_log as "71 w 40" (plain write), "4f w 87 55" (byte-data write),
// "54 r 00" (byte-data read), with " nak" appended when refused and
// "i2c-1 " prefixed on bus 1.
#ifndef TESTS_FAKES_FAKE_I2C_H
#define TESTS_FAKES_FAKE_I2C_H

#include "fake_sys.h"

#include <cstdint>

extern bool fake_i2c_present[2];
extern uint8_t fake_eeprom[256]; // byte i is 0xA0 ^ i after fake_reset()

#endif
