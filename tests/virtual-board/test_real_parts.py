# The board's parts as they behave, on the virtual board: the VPD EEPROM
# (a 24Cxx) programs each byte it takes in a write cycle, during which it
# answers no transfer (i2c-stub's write_cycle_us: 5 ms unless a row says
# otherwise); a power cut inside that cycle leaves the byte at any value
# (vboard cut STATE vpd N VALUE, the trial rows).


def test_the_eeprom_answers_nothing_in_its_write_cycle(board):
    # A cycle of 1 s: busybox's i2cset -r reads back at once and gets no
    # answer, and so does a read right after; one after the cycle reads the
    # byte written.
    board.up(append=["i2c_stub.write_cycle_us=1000000"])
    assert board.sh("i2cset -y -r 0 0x54 0x10 0x42; i2cget -y 0 0x54 0x10; sleep 1; i2cget -y 0 0x54 0x10") == (
        0, "Warning - readback failed\n0x42\n", "i2cget: read failed: No such device or address\n")
