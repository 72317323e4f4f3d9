"""Boot scenarios of the unmodified launcher on the virtual board: real
kernel drivers (block2mtd, mtdblock, jffs2, i2c-dev, i2c-stub) and real
programs (busybox, mtd-utils' flash_eraseall), driven over the console."""
import os
import re
import time

import pytest

INSTALL_PROMPT = "Install recovery image as image 1 or 2 (hit return to just boot image): "
RESCUE_PROMPT = ("Confirm: Erase filesystem? (all saved data, configuration, "
                 "keys will be lost) y/N: ")
BOOT1 = "Booting image '1'\n"

# What zid-Monitor reports when the launcher handed over to it: its only
# argument, the application program in /tmp, no I2C descriptor, the six
# flash partitions still open.
MONITOR = r"""zid-Monitor: got control, pid \d+, argc 1, argv\[0\] "/bin/zid-Monitor"
zid-Monitor: /tmp/mp\.elf\.strip present
zid-Monitor: I2C descriptors open: none
zid-Monitor: flash descriptors open \(6\): \d+=/dev/mtd-uboot \d+=/dev/mtd-ubootenv \d+=/dev/mtd-devicetree \d+=/dev/mtd-kernel \d+=/dev/mtd-rfs \d+=/dev/mtd-rescue
zid-Monitor: starting /tmp/mp\.elf\.strip
mp\.elf\.strip: application of demo {} running as "/tmp/mp\.elf\.strip" \(argc 1\), LD_PRELOAD unset
zid-Monitor: /tmp/mp\.elf\.strip ended with status 0"""

GDBSERVER = r"""gdbserver \(stand-in\): asked for '10\.0\.2\.2:2345 (?P<app>/\S+)'
gdbserver \(stand-in\): would serve 10\.0\.2\.2:2345 and start (?P=app)"""

MEMCHK = r"""libduma\.so\.0\.0\.0 \(stand-in\): preloaded into (?P<app>/\S+)
mp\.elf\.strip: application of demo image1 running as "(?P=app)" \(argc 1\), LD_PRELOAD libduma\.so\.0\.0\.0"""

# flash (scenario, environment added), the launcher's console text, the
# first words of the application side and the whole of it (a pattern),
# VPD byte 58, the payload unpacked in /tmp
HANDOVERS = {
    "image1": (("normal",), BOOT1, "zid-Monitor:", MONITOR.format("image1"), 1, "image1"),
    "bad-magic-falls-back-to-image2": (
        ("fallback",), BOOT1 + "Image1 has invalid header... trying Image2.\n"
        "Booting image '2'\n", "zid-Monitor:", MONITOR.format("image2"), 2, "image2"),
    "gdb-switch": (("normal", "gdb=on", "gdbserver=10.0.2.2", "gdbport=2345"), BOOT1,
                   "gdbserver", GDBSERVER, 1, "image1"),
    "memchk-switch": (("normal", "memchk=on"), BOOT1, "libduma", MEMCHK, 1, "image1"),
}


@pytest.mark.parametrize("case", HANDOVERS)
def test_handover(board, case):
    flash, launcher, starts, application, booted, payload = HANDOVERS[case]
    board.boot(*flash)
    assert board.expect(starts) == launcher
    out = starts + board.shell()
    assert re.fullmatch(application, out), out
    assert board.vpd(58) == booted
    # The tree unpacked, the program moved up, the archive removed.
    assert board.run("cat /tmp/home/etc/release; ls -1A /tmp /tmp/home/bin") == (
        0, "demo %s\n/tmp:\nhome\nmp.elf.strip\n\n/tmp/home/bin:\n" % payload)
    board.poweroff()


def test_both_images_fail_checksum_then_reboot_ends_the_board(board):
    board.boot("crc")
    assert board.expect("Both image1 and image2 failed.\n") == (
        BOOT1 + "Image1 CRC failed, trying Image2 now.\nBooting image '2'\n")
    failed_at = time.monotonic()
    # No shell (shell= is not set), no recovery image: the 10-second
    # pause, then the launcher's "reboot" makes init take the board down.
    assert board.expect("The system is going down NOW!") == ""
    paused = time.monotonic() - failed_at
    assert 9.5 <= paused < 40, paused
    assert "reboot: Restarting system" in board.wait_end()
    assert INSTALL_PROMPT not in board.log.getvalue()


def test_recovery_installed_as_image2_boots_from_slot2_next_time(board):
    size = os.path.getsize(os.path.join(board.images, "recovery"))

    def recovery_runs_from_slot2():
        out = "zid-Monitor:" + board.shell()
        assert re.fullmatch(MONITOR.format("recovery"), out), out
        assert (board.vpd(0), board.vpd(58)) == (2, 2)
        # The installed copy: the whole container at the start of the rescue partition.
        assert board.run("ls /user/images; stat -c %%s /user/images/image2; head -c %d"
                         " /dev/mtd-rescue | cmp - /user/images/image2" % size) == (
            0, "image2\n%d\n" % size)

    board.boot("recovery")  # an empty user filesystem: no image in the slots
    assert board.expect(INSTALL_PROMPT) == (
        BOOT1 + "Failed to open Application image 1. Trying image 2.\n"
        "Failed to open Application image 2. Trying rescue image\n")
    board.send("2")
    assert board.expect("zid-Monitor:") == (
        "2\n\nInstalling recovery image as image2...\nsetting boot image to 2\n")
    recovery_runs_from_slot2()
    board.send("reboot")
    assert "reboot: Restarting system" in board.wait_end()
    board.boot()  # the same flash files and EEPROM
    assert board.expect("zid-Monitor:") == "Booting image '2'\n"
    recovery_runs_from_slot2()
    board.poweroff()


def test_rescue_mode_erases_the_user_flash_and_boots_recovery(board):
    board.boot("rescue")  # diagnostics=rescue; image1 and image2 in /user
    assert board.expect(RESCUE_PROMPT) == "Entering rescue mode....\n"
    board.send("y")
    m = re.fullmatch(r"y\n\nErasing filesystem for clean install\nErasing\.\.\.\.\n"
                     r"(?P<erase>.*)Mounting\.\.\.\nBooting rescue image\.\.\.\n",
                     board.expect(INSTALL_PROMPT), re.S)
    assert m
    # mtd-utils' own flash_eraseall (a wrapper of flash_erase today)
    # erased the whole 4 MiB partition.
    assert "flash_eraseall has been replaced by" in m.group("erase")
    assert "Erasing 4096 Kibyte @ 0 -- 100 % complete" in m.group("erase")
    board.send("")
    assert board.expect("zid-Monitor:") == (
        "\n\nBooting recovery image. You will need to download and install"
        " an image before rebooting\n")
    out = "zid-Monitor:" + board.shell()
    assert re.fullmatch(MONITOR.format("recovery"), out), out
    # jffs2 came back empty but for the directory the launcher made.
    assert board.run("ls -A /user; ls -A /user/images") == (0, "images\n")
    status, out = board.run("grep ' /user ' /proc/mounts")
    assert status == 0 and re.match(r"/dev/mtd-user /user jffs2 \S*\bsync\b", out), out
    assert (board.vpd(0), board.vpd(58)) == (1, 4)
    board.poweroff()
