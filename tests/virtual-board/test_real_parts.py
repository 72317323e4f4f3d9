# SPDX-License-Identifier: MIT
# The board's parts as they behave, on the virtual board: the VPD EEPROM
# (a 24Cxx) programs each byte it takes in a write cycle, during which it
# answers no transfer (i2c-stub's write_cycle_us: 5 ms unless a row says
# otherwise); a power cut inside that cycle leaves the byte at any value
# (vboard cut STATE vpd N VALUE, the trial rows); the watchdog (QEMU's
# i6300esb) resets a board whose application stops feeding it, and the
# reset ends QEMU.
from conftest import READY


def test_the_eeprom_answers_nothing_in_its_write_cycle(board):
    # A cycle of 1 s: busybox's i2cset -r reads back at once and gets no
    # answer, and so does a read right after; one after the cycle reads the
    # byte written.
    board.up(append=["i2c_stub.write_cycle_us=1000000"])
    assert board.sh("i2cset -y -r 0 0x54 0x10 0x42; i2cget -y 0 0x54 0x10; sleep 1; i2cget -y 0 0x54 0x10") == (
        0, "Warning - readback failed\n0x42\n", "i2cget: read failed: No such device or address\n")


def test_hung_trial_is_reset_by_the_watchdog_and_goes_back(board):
    # hangs stops feeding the watchdog: each trial boot ends with its line,
    # nothing after it (no monitor, no reboot, no shutdown report: the
    # watchdog's reset ended QEMU); boot-check counts both, then goes back.
    board.up()
    assert board.sh("vemra-boot install /usr/share/vboard/hangs 2 --trial --boots 2")[0] == 0
    board.reboot()
    for used in (1, 2):
        run = board.run_launcher()
        assert run.stdout.startswith("Booting image '2'\n") and run.stdout.endswith(
            '"/tmp/mp.elf.strip" (argc 1), LD_PRELOAD unset\nmp.elf.strip: hanging\n')
        assert run.vpd[250:256] == bytes((0xB2, 0x4D, 2, used, used, 0))
    run = board.run_launcher()
    assert "vemra-boot: image 2 not confirmed in 2 boots: back to image 1\n" + READY in board.console()
    assert run.stdout.startswith("Booting image '1'\n") and run.vpd[250:256] == bytes((0, 0, 2, 2, 2, 0xB2))
