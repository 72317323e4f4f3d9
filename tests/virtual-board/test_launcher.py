# SPDX-License-Identifier: MIT
# The launcher on the virtual board: one row per board state, and what must
# follow from it, stream by stream: standard output (the console) and
# standard error, exactly; the commands run, in order; the VPD bytes
# afterwards; the files in /tmp; the program that took over the launcher's
# process, with its arguments, LD_PRELOAD and open descriptors; the reboot.
import pytest

from conftest import APP, BOARD, EOF, MTD, SLOTS, USER, md5

# The board's facts (the board build's description): VPD bytes, devices.
SEL, BOOTED = BOARD["VPD_SELECTED"], BOARD["VPD_BOOTED"]
MOUNT = "/bin/mount -o sync -t jffs2 %s%s %s" % (MTD, BOARD["PART_USER"], USER)
UNPACK = "cd /tmp \ntar mxzf /tmp/vemraimage.tar.gz \nrm /tmp/vemraimage.tar.gz\n"
MOVE = "mv /tmp/home/bin/mp.elf.strip /tmp"
MKDIR = "mkdir " + SLOTS
EXISTS = "mkdir: can't create directory '%s': File exists\n" % SLOTS  # mkdir's own
ERASE = "flash_eraseall %s%s-char" % (MTD, BOARD["PART_USER"])
REBOOT = "reboot"
SHELL = "/bin/sh\n"
LAUNCH = [UNPACK, MOVE]

INSTALL_PROMPT = "Install recovery image as image 1 or 2 (hit return to just boot image): "
RESCUE_PROMPT = ("Confirm: Erase filesystem? (all saved data, configuration, "
                 "keys will be lost) y/N: ")
JUST_BOOT = ("\nBooting recovery image. You will need to download and install"
             " an image before rebooting\n")
PARTITIONS = [BOARD["PART_" + p] for p in ("UBOOT", "ENV", "DEVICETREE", "KERNEL", "RFS", "RESCUE")]


def booting(*images):
    return "".join("Booting image '%d'\n" % n for n in images)


def monitor(image, first_fd=5, partitions=PARTITIONS):
    # zid-Monitor's report: it runs as the launcher's own process (the
    # pid of the commands the launcher ran), with no argument, no I2C
    # descriptor, the flash partitions still open and nothing else (no image
    # file, no staging archive); then the application (None: there is
    # none, and the monitor reboots the board as its watchdog would).
    fds = " ".join("%d=%s%s" % (first_fd + i, MTD, p) for i, p in enumerate(partitions))
    app = ('mp.elf.strip: application of demo %s running as "/tmp/mp.elf.strip" (argc 1), '
           "LD_PRELOAD unset\n" % image) if image else ""
    return ('zid-Monitor: got control, pid {pid}, argc 1, argv[0] "/bin/zid-Monitor"\n'
            "zid-Monitor: machine ppc, big-endian\n"
            "zid-Monitor: /tmp/mp.elf.strip %s\n"
            "zid-Monitor: I2C descriptors open: none\n"
            "zid-Monitor: flash descriptors open (%d): %s\n"
            "zid-Monitor: other descriptors open: none\n"
            "zid-Monitor: starting /tmp/mp.elf.strip\n%s"
            "zid-Monitor: /tmp/mp.elf.strip ended with status %d\n%s") % (
                "present" if image else "MISSING", len(partitions), fds, app, 0 if image else 127,
                "" if image else "zid-Monitor: the application failed: rebooting, as the watchdog would\n")


def gdbserver(address, preload="unset"):
    return ("gdbserver (stand-in): argc 3 '%s' '/tmp/mp.elf.strip', LD_PRELOAD %s\n"
            % (address, preload))


def unpacked(demo, **extra):
    # /tmp after the launch of a demo image: the tree unpacked, the
    # program moved up, the staging archive removed.
    return dict({"home": "dir", "home/bin": "dir", "home/etc": "dir",
                 "home/etc/release": md5(b"demo %s\n" % demo.encode()),
                 "mp.elf.strip": md5(open(APP, "rb").read())}, **extra)


EMPTY_ARCHIVE = {"vemraimage.tar.gz": md5(b"")}
NO_SLOTS = ("Failed to open Application image 1. Trying image 2.\n"
            "Failed to open Application image 2. Trying rescue image\n")
# The launcher's install of the recovery image writes VPD byte 0, then byte
# 58 at once, as it must; on a part with a write cycle its second write is
# refused (the EEPROM answers nothing while it programs the first). The
# rows of that install boot a part without one.
NO_WRITE_CYCLE = ["i2c_stub.write_cycle_us=0"]
MUX = "%02x <- %02x" % (BOARD["I2C_MUX"], 1 << BOARD["MUX_CHANNEL"])
SUMMIT = "%02x %02x <- %02x" % (BOARD["I2C_SUMMIT"], BOARD["SUMMIT_REG"], BOARD["SUMMIT_VALUE"])
MUX_OFF = "%02x <- 00" % BOARD["I2C_MUX"]
VPD_READ = [MUX, SUMMIT, "%02x %02x -> {}" % (BOARD["I2C_EEPROM"], SEL), MUX_OFF]
VPD_WRITE = [MUX, SUMMIT, "%02x %02x <- {}" % (BOARD["I2C_EEPROM"], BOOTED), MUX_OFF]

# Each row: the board (flash: images as names or (name, damage) pairs,
# VPD bytes, environment; boot: kernel command line switches; answers at
# the prompts), then what must follow. stdout may name {pid}, the
# launcher's.
ROWS = {
    # Boot choice and fallbacks.
    "vpd-1-boots-image1": dict(
        stdout=booting(1) + monitor("image1"),
        commands=[MOUNT] + LAUNCH, vpd=(1, 1), tmp=unpacked("image1")),
    "vpd-2-boots-image2": dict(
        # One VPD read of byte 0 and one write of byte 58; one second
        # between the mount and the unpacking.
        flash=dict(vpd={SEL: 2}),
        stdout=booting(2) + monitor("image2"), commands=[MOUNT] + LAUNCH, vpd=(2, 2),
        i2c=[t.format("02") for t in VPD_READ + VPD_WRITE], pause=(1.0, 2.0)),
    "vpd-0x37-boots-image1": dict(
        flash=dict(vpd={SEL: 0x37, BOOTED: 2}),
        stdout=booting(1) + monitor("image1"), vpd=(0x37, 1)),
    "slot1-missing-opens-slot2-records-1": dict(
        flash=dict(image1=None),
        stdout=booting(1) + monitor("image2"),
        stderr="Failed to open Application image 1. Trying image 2.\n", vpd=(1, 1)),
    "slot2-missing-opens-slot1-records-2": dict(
        flash=dict(image2=None, vpd={SEL: 2}),
        stdout=booting(2) + monitor("image1"),
        stderr="Failed to open Application image 2. Trying image 1.\n", vpd=(2, 2)),
    "bad-magic-tries-image2": dict(
        flash=dict(image1=("image1", "magic")),
        stdout=booting(1, 2) + monitor("image2"),
        stderr="Image1 has invalid header... trying Image2.\n", vpd=(1, 2),
        tmp=unpacked("image2")),
    "short-slot-fails-checksum": dict(
        flash=dict(image1=("image1", "short")),
        stdout=booting(1, 2) + monitor("image2"),
        stderr="Image1 CRC failed, trying Image2 now.\n", vpd=(1, 2)),
    "length-beyond-memory-fails-checksum": dict(
        flash=dict(image2=("image2", "huge"), vpd={SEL: 2}),
        stdout=booting(2, 1) + monitor("image1"),
        stderr="Image2 CRC failed, trying Image1 now.\n", vpd=(2, 1)),
    "length-wrapping-32-bits-fails-checksum": dict(
        flash=dict(image1=("image1", "wrap")),
        stdout=booting(1, 2) + monitor("image2"),
        stderr="Image1 CRC failed, trying Image2 now.\n", vpd=(1, 2)),
    "both-fail-checksum-reboot-without-recovery": dict(
        flash=dict(image1=("image1", "crc"), image2=("image2", "crc"), vpd={BOOTED: 9}),
        stdout=booting(1, 2),
        stderr="Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n",
        commands=[MOUNT, REBOOT], vpd=(1, 9), tmp=EMPTY_ARCHIVE, pause=(10.0, 11.0)),
    "checksum-then-bad-magic-boots-recovery": dict(
        flash=dict(image1=("image1", "crc"), image2=("image2", "magic"), vpd={BOOTED: 9}),
        answers=[(INSTALL_PROMPT, "")],
        stdout=booting(1, 2) + INSTALL_PROMPT + "\n" + JUST_BOOT + monitor("recovery"),
        stderr=("Image1 CRC failed, trying Image2 now.\n"
                "No valid application image found. Trying rescue image\n"),
        commands=[MOUNT] + LAUNCH, vpd=(1, 4), tmp=unpacked("recovery")),

    # Recovery image: install, boot, refusals.
    "no-slots-install-recovery-as-2": dict(
        flash=dict(image1=None, image2=None),
        boot=NO_WRITE_CYCLE,
        answers=[(INSTALL_PROMPT, "2")],
        stdout=(booting(1) + INSTALL_PROMPT + "2\n\nInstalling recovery image as image2...\n"
                "setting boot image to 2\n" + monitor("recovery")),
        stderr=NO_SLOTS,
        commands=[MOUNT, MKDIR, "cp /tmp/image %s/image2\n" % SLOTS] + LAUNCH, vpd=(2, 2),
        tmp=unpacked("recovery", image="recovery"),
        user={"images": "dir", "images/image2": "recovery"}),
    "install-answer-1xyz-installs-as-1": dict(
        flash=dict(image1=None, image2=("image2", "magic"), vpd={SEL: 2}),
        boot=NO_WRITE_CYCLE,
        answers=[(INSTALL_PROMPT, "1xyz")],
        stdout=(booting(2, 1) + INSTALL_PROMPT + "1xyz\n\nInstalling recovery image as image1...\n"
                "setting boot image to 1\n" + monitor("recovery")),
        # The second attempt asks for slot 1, opens slot 2 and names 1.
        stderr=("Image2 has invalid header... trying Image1.\n"
                "Failed to open Application image 1. Trying image 2.\n"
                "No valid application image found. Trying rescue image\n" + EXISTS),
        commands=[MOUNT, MKDIR, "cp /tmp/image %s/image1\n" % SLOTS] + LAUNCH, vpd=(1, 1),
        user={"images": "dir", "images/image1": "recovery", "images/image2": ("image2", "magic")}),
    "install-answer-blank-2-just-boots": dict(
        flash=dict(image1=None, image2=None),
        answers=[(INSTALL_PROMPT, " 2")],
        stdout=booting(1) + INSTALL_PROMPT + " 2\n" + JUST_BOOT + monitor("recovery"),
        stderr=NO_SLOTS,
        commands=[MOUNT] + LAUNCH, vpd=(1, 4), user={}),
    "install-end-of-input-boots-records-nothing": dict(
        flash=dict(image1=None, image2=None, vpd={SEL: 2, BOOTED: 9}),
        answers=[(INSTALL_PROMPT, EOF)],
        stdout=booting(2) + INSTALL_PROMPT + monitor("recovery"),
        stderr=("Failed to open Application image 2. Trying image 1.\n"
                "Failed to open Application image 1. Trying rescue image\n"),
        commands=[MOUNT] + LAUNCH, vpd=(2, 9)),
    "no-slots-recovery-bad-magic-reboots": dict(
        flash=dict(image1=None, image2=None, rescue=("recovery", "magic")),
        stdout=booting(1),
        stderr=(NO_SLOTS + "Image not found... \n"),
        commands=[MOUNT, REBOOT], vpd=(1, 0), tmp=EMPTY_ARCHIVE),
    "no-slots-recovery-unreadable-block-fails-checksum": dict(
        # The header reads; the read of the whole image fails at 1 MiB.
        flash=dict(image1=None, image2=None, rescue="big", bad=["rescue:%d" % (1 << 20)]),
        stdout=booting(1),
        stderr=(NO_SLOTS + "Image CRC failed. Quitting\n"),
        commands=[MOUNT, REBOOT], vpd=(1, 0), tmp=EMPTY_ARCHIVE),
    "no-slots-recovery-bad-checksum-shell-then-reboot": dict(
        flash=dict(image1=None, image2=None, rescue=("recovery", "crc"), env=["shell=on"]),
        answers=[("# ", "exit")],
        stdout=booting(1) + "/ # exit\n",
        stderr=(NO_SLOTS + "Image CRC failed. Quitting\n"),
        commands=[MOUNT, SHELL, REBOOT], tmp=EMPTY_ARCHIVE),

    "install-copy-cannot-be-created-reboots": dict(
        flash=dict(image1=None, image2=None), boot=["vboard.mkdir=/tmp/image"],
        answers=[(INSTALL_PROMPT, "2")],
        stdout=booting(1) + INSTALL_PROMPT + "2\n\nInstalling recovery image as image2...\n",
        stderr=(NO_SLOTS + "Failed to open image file.\n"),
        commands=[MOUNT, REBOOT], vpd=(1, 0)),
    "recovery-staging-archive-cannot-be-created-reboots": dict(
        flash=dict(image1=None, image2=None), boot=["vboard.mkdir=/tmp/vemraimage.tar.gz"],
        stdout=booting(1),
        stderr=(NO_SLOTS + "Failed to open AppOS tarfile.\n"),
        commands=[MOUNT, REBOOT], vpd=(1, 0)),

    # Rescue mode.
    "rescue-y-erases-user-then-recovery": dict(
        flash=dict(env=["diagnostics=rescue"], vpd={BOOTED: 9}),
        answers=[(RESCUE_PROMPT, "y"), (INSTALL_PROMPT, "")],
        stdout=("Entering rescue mode....\n" + RESCUE_PROMPT + "y\n"
                "\nErasing filesystem for clean install\nErasing....\n{erase}Mounting...\n"
                "Booting rescue image...\n" + INSTALL_PROMPT + "\n" + JUST_BOOT
                + monitor("recovery")),
        commands=[ERASE, MOUNT, MKDIR] + LAUNCH, vpd=(1, 4), user={"images": "dir"}),
    "rescue-Yes-prefix-erases": dict(
        flash=dict(env=["diagnostics=rescuefoo"]),
        boot=NO_WRITE_CYCLE,
        answers=[(RESCUE_PROMPT, "Yes"), (INSTALL_PROMPT, "1")],
        stdout=("Entering rescue mode....\n" + RESCUE_PROMPT + "Yes\n"
                "\nErasing filesystem for clean install\nErasing....\n{erase}Mounting...\n"
                "Booting rescue image...\n" + INSTALL_PROMPT + "1\n"
                "\nInstalling recovery image as image1...\nsetting boot image to 1\n"
                + monitor("recovery")),
        stderr=EXISTS,
        commands=[ERASE, MOUNT, MKDIR, MKDIR, "cp /tmp/image %s/image1\n" % SLOTS] + LAUNCH,
        vpd=(1, 1), user={"images": "dir", "images/image1": "recovery"}),
    "rescue-n-keeps-user": dict(
        flash=dict(env=["diagnostics=rescue"]),
        answers=[(RESCUE_PROMPT, "n"), (INSTALL_PROMPT, "")],
        stdout=("Entering rescue mode....\n" + RESCUE_PROMPT + "n\nMounting...\n"
                "Booting rescue image...\n" + INSTALL_PROMPT + "\n" + JUST_BOOT
                + monitor("recovery")),
        stderr=EXISTS, commands=[MOUNT, MKDIR] + LAUNCH, vpd=(1, 4),
        user={"images": "dir", "images/image1": "image1", "images/image2": "image2"}),
    "rescue-end-of-input-no-recovery-normal-boot-one-mount": dict(
        flash=dict(env=["diagnostics=rescue"], rescue=("recovery", "magic")),
        answers=[(RESCUE_PROMPT, EOF)],
        stdout=("Entering rescue mode....\n" + RESCUE_PROMPT + "Mounting...\n"
                "Booting rescue image...\n" + booting(1) + monitor("image1")),
        stderr=EXISTS + "Image not found... \n",
        commands=[MOUNT, MKDIR] + LAUNCH, vpd=(1, 1), tmp=unpacked("image1")),
    "rescue-answer-past-127-characters-answers-the-install-prompt": dict(
        flash=dict(env=["diagnostics=rescue"]),
        boot=NO_WRITE_CYCLE,
        answers=[(RESCUE_PROMPT, "n" + "x" * 126 + "2 and more")],
        stdout=("Entering rescue mode....\n" + RESCUE_PROMPT + "n" + "x" * 126 + "2 and more\n"
                "Mounting...\nBooting rescue image...\n" + INSTALL_PROMPT
                + "\nInstalling recovery image as image2...\nsetting boot image to 2\n"
                + monitor("recovery")),
        stderr=EXISTS + EXISTS,
        commands=[MOUNT, MKDIR, MKDIR, "cp /tmp/image %s/image2\n" % SLOTS] + LAUNCH,
        vpd=(2, 2)),

    # Launch lines and the shell.
    "gdb-launch-line": dict(
        flash=dict(env=["gdb=on", "gdbserver=10.0.0.1", "gdbport=2345"]),
        stdout=booting(1) + gdbserver("10.0.0.1:2345"),
        commands=[MOUNT] + LAUNCH, tmp=unpacked("image1")),
    "gdb-memchk-launch-line-high-address-negative-port": dict(
        flash=dict(env=["gdbserver=255.254.129.128", "gdbport=-1", "memchk=on", "gdb=on"]),
        stdout=booting(1) + gdbserver("255.254.129.128:-1", "libduma.so.0.0.0")),
    "memchk-launch-line": dict(
        flash=dict(env=["memchk=online"]),
        stdout=(booting(1) + "libduma.so.0.0.0 (stand-in): preloaded into /tmp/mp.elf.strip\n"
                'mp.elf.strip: application of demo image1 running as "/tmp/mp.elf.strip" '
                "(argc 1), LD_PRELOAD libduma.so.0.0.0\n")),
    "shell-key-inside-another-value": dict(
        flash=dict(env=["bootargs=console=ttyS0 shell=on", "shell=off"]),
        answers=[("# ", "exit")],
        stdout=booting(1) + "Dropping into shell\n/ # exit\nDropping out of shell\n"
        + monitor("image1"),
        commands=[MOUNT] + LAUNCH[:2] + [SHELL]),
    "staging-archive-cannot-be-created-reboots": dict(
        boot=["vboard.mkdir=/tmp/vemraimage.tar.gz"],
        stdout=booting(1), stderr="Failed to open application image output file.\n",
        commands=[MOUNT, REBOOT], vpd=(1, 0)),
    "zid-monitor-missing-reboots": dict(
        boot=["vboard.rm=/bin/zid-Monitor"],
        stdout=booting(1), stderr="Failed to start Application OS.\n",
        commands=[MOUNT] + LAUNCH + [REBOOT], vpd=(1, 1)),
    "corrupt-archive-still-launches": dict(
        flash=dict(image1=("image1", "junk")),
        # The launcher says nothing: what fails says so itself.
        stdout=booting(1) + monitor(None),
        stderr=("tar: invalid magic\ntar: short read\n"
                "mv: can't rename '/tmp/home/bin/mp.elf.strip': No such file or directory\n"
                "zid-Monitor: /tmp/mp.elf.strip: No such file or directory\n"),
        commands=[MOUNT] + LAUNCH, vpd=(1, 1)),

    # Board faults.
    "no-bus-0-boots-image1-write-fails": dict(
        flash=dict(vpd={SEL: 2}), boot=["vboard.nobus=0"],
        stdout=("ERROR: driver /dev/i2c-0 couldn't be opened\n" + booting(1)
                + "I2C error when writing bus 0 offset 58: 9\n" + monitor("image1", first_fd=3)),
        vpd=(2, 0), i2c=[]),
    "no-bus-1-vpd-still-works": dict(
        flash=dict(vpd={SEL: 2}), boot=["vboard.nobus=1"],
        stdout=("ERROR: driver /dev/i2c-1 couldn't be opened\n" + booting(2)
                + monitor("image2", first_fd=4)),
        vpd=(2, 2)),
    "silent-eeprom-reads-255-write-fails": dict(
        flash=dict(vpd={SEL: 2}), boot=["i2c_stub.chip_addr=0x4f,0x71"],
        stdout=booting(1) + "I2C error when writing bus 0 offset 58: 19\n" + monitor("image1"),
        i2c=[t.format("!") for t in VPD_READ] + [t.format("01 !") for t in VPD_WRITE]),
    "eeprom-address-owned-by-a-driver-nothing-goes-to-it": dict(
        flash=dict(vpd={SEL: 2}), boot=["vboard.eeprom-driver"],
        stdout=booting(1) + "I2C error when writing bus 0 offset 58: 16\n" + monitor("image1"),
        vpd=(2, 0), i2c=2 * ["71 <- 40", "4f 87 <- 55", "71 <- 00"]),
    "no-kernel-partition-no-geometry-no-settings": dict(
        flash=dict(env=["shell=on"], missing=["kernel"]),
        stdout=("Could not get MTD device info \n" + booting(1)
                + monitor("image1", partitions=["uboot", "ubootenv", "devicetree", "rfs", "rescue"])),
        commands=[MOUNT] + LAUNCH),
    "no-rescue-partition-no-recovery": dict(
        flash=dict(image1=None, image2=None, missing=["rescue"]),
        stdout=booting(1),
        stderr=(NO_SLOTS + "Image not found... \n"),
        commands=[MOUNT, REBOOT], tmp=EMPTY_ARCHIVE),
}

@pytest.mark.parametrize("name", ROWS)
def test_launcher(board, name):
    row = ROWS[name]
    board.flash(**row.get("flash", {}))
    run = board.run_launcher(row.get("answers", ()), row.get("boot", ()))

    # Every command came from the launcher's process, which the
    # application then became.
    assert len(run.pids) <= 1, run.pids
    stdout = row["stdout"].replace("{pid}", str(min(run.pids, default=None)))
    head, erase, tail = stdout.partition("{erase}")
    if erase:  # flash_eraseall's progress, down to its last block
        assert run.stdout.startswith(head) and run.stdout.endswith(tail), run.stdout
        assert "Erasing 128 Kibyte @ 3e0000" in run.stdout[len(head):-len(tail)]
    else:
        assert run.stdout == stdout
    assert run.stderr == row.get("stderr", "")
    for key, got in (("commands", run.commands), ("vpd", (run.vpd[SEL], run.vpd[BOOTED])),
                     ("i2c", run.i2c), ("tmp", run.tree("/tmp")), ("user", run.tree(USER))):
        if key in row:
            want = row[key]
            if key in ("tmp", "user"):  # image names stand for their MD5
                want = {p: v if v == "dir" or len(v) == 32 else md5(board.image(v))
                        for p, v in want.items()}
            assert got == want, key
    if "pause" in row:  # from the first command to the second
        low, high = row["pause"]
        assert low <= run.times[1] - run.times[0] < high, run.times
