"""Boot scenarios of the unmodified launcher on the virtual board: real
kernel drivers (block2mtd, mtdblock, jffs2, i2c-dev, i2c-stub) and real
programs (busybox, mtd-utils' flash_eraseall), driven over the console."""
import re
import time

import pytest

INSTALL_PROMPT = "Install recovery image as image 1 or 2 (hit return to just boot image): "
RESCUE_PROMPT = ("Confirm: Erase filesystem? (all saved data, configuration, "
                 "keys will be lost) y/N: ")

# What zid-Monitor reports when the launcher handed over to it: its only
# argument, the application program in /tmp, no I2C descriptor, the six
# flash partitions still open.
MONITOR = r"""zid-Monitor: got control, pid \d+, argc 1, argv\[0\] "/bin/zid-Monitor"
zid-Monitor: /tmp/mp\.elf\.strip present
zid-Monitor: I2C descriptors open: none
zid-Monitor: flash descriptors open \(6\): \d+=/dev/mtd-uboot \d+=/dev/mtd-ubootenv \d+=/dev/mtd-devicetree \d+=/dev/mtd-kernel \d+=/dev/mtd-rfs \d+=/dev/mtd-rescue
zid-Monitor: starting /tmp/mp\.elf\.strip
mp\.elf\.strip: application of demo {payload} running as "/tmp/mp\.elf\.strip" \(argc 1\), LD_PRELOAD unset
zid-Monitor: /tmp/mp\.elf\.strip ended with status 0"""

GDBSERVER = r"""gdbserver \(stand-in\): asked for '10\.0\.2\.2:2345 (?P<app>/\S+)'
gdbserver \(stand-in\): would serve 10\.0\.2\.2:2345 and start (?P=app)"""

MEMCHK = r"""libduma\.so\.0\.0\.0 \(stand-in\): preloaded into (?P<app>/\S+)
mp\.elf\.strip: application of demo image1 running as "(?P=app)" \(argc 1\), LD_PRELOAD libduma\.so\.0\.0\.0"""

# flash scenario, environment variables added, the launcher's console
# text, what the application side prints (its first words, then the whole
# as a pattern), VPD byte 58, payload unpacked in /tmp
HANDOVERS = {
    "image1": ("normal", (), "Booting image '1'\n",
               "zid-Monitor:", MONITOR.format(payload="image1"), 1, "image1"),
    "bad-magic-falls-back-to-image2": (
        "fallback", (),
        "Booting image '1'\nImage1 has invalid header... trying Image2.\n"
        "Booting image '2'\n",
        "zid-Monitor:", MONITOR.format(payload="image2"), 2, "image2"),
    "gdb-switch": ("normal", ("gdb=on", "gdbserver=10.0.2.2", "gdbport=2345"),
                   "Booting image '1'\n", "gdbserver", GDBSERVER, 1, "image1"),
    "memchk-switch": ("normal", ("memchk=on",), "Booting image '1'\n",
                      "libduma", MEMCHK, 1, "image1"),
}


def application_output(board):
    """What the application side printed until it ended and init offered
    the console shell, which is then opened."""
    text = board.expect_exact("Please press Enter to activate this console.")
    board.shell()
    return text.strip("\n")


@pytest.mark.parametrize("case", HANDOVERS.keys())
def test_handover(board, case):
    scenario, env, launcher, starts, application, booted, payload = HANDOVERS[case]
    board.make(scenario, *env)
    board.boot()
    assert board.expect_exact(starts) == launcher
    out = starts + application_output(board)
    assert re.fullmatch(application, out), out

    assert board.vpd(58) == booted
    assert board.run("cat /tmp/home/etc/release") == (0, "demo %s\n" % payload)
    assert board.run("test -x /tmp/mp.elf.strip")[0] == 0
    assert board.run("test -e /tmp/vemraimage.tar.gz")[0] != 0
    if case == "image1":
        # The I2C stand-ins as documented: /dev/i2c-1 is a second node for
        # the one i2c-stub adapter, and a plain write() on the bus (the
        # multiplexer write) is refused by i2c-stub, which knows SMBus only.
        status, out = board.run("stat -c %t:%T /dev/i2c-0 /dev/i2c-1")
        assert status == 0 and out.split("\n")[0] == out.split("\n")[1], out
        status, out = board.run(r"printf '\100' | dd of=/dev/i2c-0 bs=1 count=1")
        assert status != 0 and "Operation not supported" in out, out
    board.poweroff()


def test_both_images_fail_checksum_then_reboot_ends_the_board(board):
    board.make("crc")
    board.boot()
    failed = "Both image1 and image2 failed.\n"
    assert board.expect_exact(failed) == (
        "Booting image '1'\nImage1 CRC failed, trying Image2 now.\n"
        "Booting image '2'\n")
    failed_at = time.monotonic()
    # No shell (shell= is not set), no recovery image: the 10-second
    # pause, then the launcher's "reboot" makes init take the board down.
    assert board.expect_exact("The system is going down NOW!") == ""
    paused = time.monotonic() - failed_at
    assert 9.5 <= paused < 40, paused
    assert "reboot: Restarting system" in board.wait_end()
    assert INSTALL_PROMPT not in board.transcript()


def test_recovery_installed_as_image2_boots_from_slot2_next_time(board):
    board.make("recovery")  # an empty user filesystem: no image in the slots
    board.boot()
    assert board.expect_exact(INSTALL_PROMPT) == (
        "Booting image '1'\n"
        "Failed to open Application image 1. Trying image 2.\n"
        "Failed to open Application image 2. Trying rescue image\n")
    board.answer("2")
    assert board.expect_exact("zid-Monitor:") == (
        "2\n\nInstalling recovery image as image2...\nsetting boot image to 2\n")
    out = "zid-Monitor:" + application_output(board)
    assert re.fullmatch(MONITOR.format(payload="recovery"), out), out
    assert (board.vpd(0), board.vpd(58)) == (2, 2)
    assert board.run("ls /user/images") == (0, "image2\n")
    # The install copy is the container at the start of the rescue partition.
    assert board.run("head -c $(stat -c %s /tmp/image) /dev/mtd-rescue"
                     " | cmp - /user/images/image2")[0] == 0
    board.answer("reboot")
    assert "reboot: Restarting system" in board.wait_end()

    board.boot()  # the same flash files and EEPROM
    assert board.expect_exact("zid-Monitor:") == "Booting image '2'\n"
    out = "zid-Monitor:" + application_output(board)
    assert re.fullmatch(MONITOR.format(payload="recovery"), out), out
    assert (board.vpd(0), board.vpd(58)) == (2, 2)
    board.poweroff()


def test_rescue_mode_erases_the_user_flash_and_boots_recovery(board):
    board.make("rescue")  # diagnostics=rescue; image1 and image2 in /user
    board.boot()
    assert board.expect_exact(RESCUE_PROMPT) == "Entering rescue mode....\n"
    board.answer("y")
    text = board.expect_exact(INSTALL_PROMPT)
    m = re.fullmatch(r"y\n\nErasing filesystem for clean install\nErasing\.\.\.\.\n"
                     r"(?P<erase>.*)Mounting\.\.\.\nBooting rescue image\.\.\.\n",
                     text, re.S)
    assert m, text
    # mtd-utils' own flash_eraseall (a wrapper of flash_erase today)
    # erased the whole 4 MiB partition.
    assert "flash_eraseall has been replaced by" in m.group("erase")
    assert "Erasing 4096 Kibyte @ 0 -- 100 % complete" in m.group("erase")
    board.answer("")
    assert board.expect_exact("zid-Monitor:") == (
        "\n\nBooting recovery image. You will need to download and install"
        " an image before rebooting\n")
    out = "zid-Monitor:" + application_output(board)
    assert re.fullmatch(MONITOR.format(payload="recovery"), out), out
    # jffs2 came back empty but for the directory the launcher made.
    assert board.run("ls -A /user") == (0, "images\n")
    assert board.run("ls -A /user/images") == (0, "")
    status, out = board.run("grep ' /user ' /proc/mounts")
    assert status == 0 and re.match(r"/dev/mtd-user /user jffs2 \S*\bsync\b", out), out
    assert (board.vpd(0), board.vpd(58)) == (1, 4)
    board.poweroff()
