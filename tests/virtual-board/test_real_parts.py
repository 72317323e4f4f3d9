# The board's parts as they behave, on the virtual board: the VPD EEPROM
# (a 24Cxx) programs each byte it takes in a write cycle of 5 ms, during
# which it answers no transfer, and a power cut inside that cycle leaves
# the byte at any value (i2c-stub's write_cycle_us, cut_writes and torn);
# the watchdog (QEMU's i6300esb) resets a board whose application stops
# feeding it, and the reset ends QEMU.
import os

import pytest

from conftest import READY, vboard

# busybox's i2cset -r reads the byte back in the same process right after
# the write, inside the part's write cycle: the chip does not answer. The
# byte is written all the same, and read once the cycle is over. A board
# booted with no write cycle (after vboard's 5 ms on the command line: the
# last one holds) answers at once.
CYCLES = {
    "5-ms-readback-not-answered": ((), "Warning - readback failed\n"),
    "none-readback-matches": (("i2c_stub.write_cycle_us=0",),
                              "Value 0x42 written, readback matched\n"),
}


@pytest.mark.parametrize("name", CYCLES)
def test_eeprom_write_cycle(board, name):
    append, readback = CYCLES[name]
    board.up(append=append)
    assert board.sh("i2cset -y -r 0 0x54 0x10 0x42") == (0, readback, "")
    assert board.sh("i2cget -y 0 0x54 0x10") == (0, "0x42\n", "")


def test_power_cut_tears_the_launchers_write(board):
    # The cut falls into the boot's first EEPROM write, the launcher's of
    # VPD byte 58: the chip took it and programmed 0x5A instead of 1, and
    # acknowledged it, so the launcher says nothing and boots on. No later
    # write lands; the next boot has power again and records 1.
    board.flash()
    assert vboard("cut", board.state, "vpd", "0", "0x5A").returncode == 0
    board.shell()
    assert READY + "Booting image '1'\nzid-Monitor: got control" in board.console()
    assert board.sh("i2cget -y 0 0x54 0x3a; i2cset -y 0 0x54 0x3a 1") == (
        1, "0x5a\n", "i2cset: write failed: Input/output error\n")
    board.reboot()
    with open(os.path.join(board.state, "vpd.bin"), "rb") as f:
        vpd = f.read(256)
    assert (vpd[0], vpd[58]) == (1, 0x5A)
    run = board.run_launcher()
    assert run.stdout.startswith("Booting image '1'\nzid-Monitor") and (run.vpd[0], run.vpd[58]) == (1, 1)


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
            'mp.elf.strip: application of demo hangs running as "/tmp/mp.elf.strip" (argc 1), '
            "LD_PRELOAD unset\nmp.elf.strip: hanging\n")
        assert run.vpd[250:256] == bytes((0xB2, 0x4D, 2, used, used, 0))
    run = board.run_launcher()
    assert "vemra-boot: image 2 not confirmed in 2 boots: back to image 1\n" + READY in board.console()
    assert run.stdout.startswith("Booting image '1'\n") and run.vpd[250:256] == bytes((0, 0, 2, 2, 2, 0xB2))
