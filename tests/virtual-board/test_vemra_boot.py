# SPDX-License-Identifier: MIT
# vemra-boot on the virtual board: the board API's VPD access and its
# sector-wise flash write on a real kernel, and what the launcher makes of
# the result at the next boot.
import os
import re
import struct


IMAGES = "/usr/share/vboard"  # the demo images, on the board
USAGE = ("usage: vemra-boot status [-p] | select 1|2 [--trial [--boots N]] [--allow-downgrade] | install FILE|- [1|2]"
         " [--select | --trial [--boots N]] [--signature SIG] [--allow-downgrade] [--force] | recovery"
         " FILE|- [--signature SIG] [--allow-downgrade] | boot-check | confirm | reject | set KEY VALUE |"
         " unset KEY\n")


def header(board, name):
    # (length, crc) from an image's big-endian header.
    crc, length = struct.unpack(">II", board.image(name)[:8])
    return length, crc


def test_status_on_a_fresh_board(board):
    board.up(vpd={0: 1, 58: 7}, env=["gdb=on", "gdbserver=10.0.0.1", "gdbport=2345",
                                      "memchk=online"])
    lengths = {n: header(board, n) for n in ("image1", "image2", "recovery")}
    rest = ("rescue:        valid, length %d, crc 0x%08x\n"  # the same after the damage below
            "signatures:    not required\n"
            "gdb:           on\n"
            "gdbserver:     10.0.0.1:2345\n"
            "shell:         off\n"
            "memchk:        on\n"
            "diagnostics:   normal\n") % lengths["recovery"]
    # VPD byte 58 as the launcher left it (1), then 255.
    assert board.sh("i2cset -y 0 0x54 0x3a 0xff && vemra-boot status") == (0, (
        "selected:      1\n"
        "booted:        255 or a failed read\n"
        "image1:        valid, length %d, crc 0x%08x\n"
        "image2:        valid, length %d, crc 0x%08x\n") % (lengths["image1"] + lengths["image2"]) + rest, "")
    # A damaged slot, a missing one, the recovery image flagged as booted,
    # and a boot choice that the launcher takes for slot 1.
    assert board.sh("printf '\\377' | dd of=/user/images/image1 bs=1 seek=15 conv=notrunc"
                    " 2>/dev/null && rm /user/images/image2 && i2cset -y 0 0x54 0x3a 4"
                    " && sleep 1 && i2cset -y 0 0x54 0 0x37")[0] == 0  # after the EEPROM's write cycle
    assert board.sh("vemra-boot status") == (0, "selected:      55 (boots 1)\nbooted:        4 (recovery)\n"
                                              "image1:        checksum-failed\nimage2:        missing\n" + rest, "")
    assert board.sh("vemra-boot status -p") == (0, (
        "selected=55\nbooted=4\nimage1=checksum-failed\nimage2=missing\n"
        "rescue=valid\nrescue_length=%d\nrescue_crc=0x%08x\nsignature_keys=0\n"
        "gdb=1\ngdbserver=10.0.0.1\ngdbport=2345\nshell=0\nmemchk=1\nrescue_mode=0\n")
        % lengths["recovery"], "")


def test_refused_files_change_nothing(board):
    board.up()
    rescue = os.path.join(board.state, "flash", "rescue.bin")
    before = open(rescue, "rb").read()
    assert board.sh("cp %s/update /tmp/bad && printf '\\377' | dd of=/tmp/bad bs=1 seek=15"
                    " conv=notrunc 2>/dev/null && head -c 15 %s/update > /tmp/short"
                    " && md5sum /user/images/* > /tmp/sums" % (IMAGES, IMAGES))[0] == 0
    # Refusals and I/O errors: one line each. Misuses: exit 2, the reason
    # and the usage ({u}: the demo update).
    boots = ": --boots takes a number of boots, 1 to 99"
    misuses = {
        "": "no command given", "bogus": "unknown command 'bogus'", "-x": "unknown option '-x'",
        "--help now": "--help: unexpected argument 'now'", "status -p -p": "status: unexpected argument '-p'",
        "set gdb": "set: expected KEY VALUE", "unset": "unset: expected KEY",
        "confirm now": "confirm: expected no argument", "reject 2": "reject: expected no argument",
        "select": "select: expected one slot, 1 or 2",
        "select 1 2": "select: unexpected argument '2'", "select 0": "slot must be 1 or 2, not '0'",
        "select 2 --select": "select: unknown option '--select'",
        "select 2 --signature x": "select: unknown option '--signature'",
        "select 2 --boots 2": "select: --boots goes with --trial", "select 2 --trial --boots 0": "select" + boots,
        "select 2 --trial --boots 100": "select" + boots, "select 2 --trial --boots 3x": "select" + boots,
        "install {u} 2 --trial --boots": "install" + boots,
        "install": "install: expected FILE (or - for standard input), then a slot, 1 or 2",
        "install {u} 3": "slot must be 1 or 2, not '3'", "install {u} 1 2": "install: unexpected argument '2'",
        "install {u} 2 --signature": "install: --signature needs a file",
        "install {u} 2 --select --trial": "install: --select or --trial, not both",
        "recovery": "recovery: expected one FILE (or - for standard input)", "recovery {u} extra": "recovery: unexpected argument 'extra'",
        "recovery {u} --trial": "recovery: unknown option '--trial'"}
    for command, status, err in [
            ("install /tmp/bad 2 --select", 1, "/tmp/bad: checksum failed\n"),
            ("install /tmp/short 2", 1, "/tmp/short: invalid header\n"),
            ("recovery /tmp/bad", 1, "/tmp/bad: checksum failed\n"),
            ("recovery {i}/toobig", 1, "{i}/toobig: 1835009 bytes do not fit the rescue"
             " partition (1835008 bytes)\n"),
            ("install /tmp/none 2", 2, "/tmp/none: No such file or directory\n"),
            ("select 1", 1, "another vemra-boot is at work (/run/vemra-boot.lock): try again once it"
             " has ended\n")] + [
            (command, 2, reason + "\n" + USAGE) for command, reason in misuses.items()]:
        command, err = (t.format(i=IMAGES, u=IMAGES + "/update") for t in (command, err))
        lock = "flock /run/vemra-boot.lock " if command == "select 1" else ""  # held meanwhile
        assert board.sh(lock + "vemra-boot " + command) == (status, "", "vemra-boot: " + err), command
    assert board.sh("mkdir /user/images/.image2.new && vemra-boot install %s/update 2; echo $?; rmdir"
                    " /user/images/.image2.new" % IMAGES) == (0, "2\n", "vemra-boot: /user/images/.image2.new:"
                                                            " Is a directory\n")
    # A rescue device node that is no MTD partition: its size is unknown, nothing is written.
    assert board.sh("mv /dev/mtd-rescue /dev/r && ln -s /dev/null /dev/mtd-rescue && vemra-boot recovery"
                    " %s/update; echo $?; rm /dev/mtd-rescue; mv /dev/r /dev/mtd-rescue" % IMAGES) == (
        0, "2\n", "vemra-boot: /dev/mtd-rescue: cannot read its size\n")
    assert board.sh("md5sum /user/images/* | cmp - /tmp/sums && ls -A /user/images") == (
        0, "image1\nimage2\n", "")
    # Without /user mounted an image would be written to the root file system.
    assert board.sh("umount /user && vemra-boot install %s/update 2" % IMAGES) == (
        2, "", "vemra-boot: /user is not mounted: an image written there would not survive a"
        " reboot\n")
    assert board.sh("ls -A /user") == (0, "", "")
    status, out, err = board.sh("vemra-boot --help")
    assert (status, err) == (0, "") and all(
        "vemra-boot " + c in out for c in ("status", "select", "install", "recovery")), out
    assert board.sh("vemra-boot -h") == (0, out, "")
    version = re.search(r"project\(vemra-launcher VERSION (\S+)", open(os.path.join(
        os.path.dirname(__file__), "../../CMakeLists.txt")).read()).group(1)
    assert board.sh("vemra-boot --version") == (0, "vemra-boot %s\n" % version, "")
    board.vm.sendline("poweroff")
    board.wait_end()
    assert open(rescue, "rb").read() == before
    assert open(os.path.join(board.state, "vpd.bin"), "rb").read(59)[::58] == b"\x01\x01"


def test_status_says_what_cannot_be_read_and_select_fails_whole(board):
    # No environment partition, and the EEPROM's address owned by a kernel
    # driver: status says so rather than show defaults, and an install with
    # --select whose selection fails leaves the slot as it was.
    board.up(missing=["ubootenv"], append=["vboard.eeprom-driver"])
    length, crc = header(board, "recovery")
    assert board.sh("vemra-boot status -p") == (2, (
        "selected=unreadable\nbooted=unreadable\nimage1=valid\nimage1_length=%d\nimage1_crc=0x%08x\n"
        "image2=valid\nimage2_length=%d\nimage2_crc=0x%08x\nrescue=valid\nrescue_length=%d\n"
        "rescue_crc=0x%08x\nsignature_keys=0\nswitches=unreadable\ntrial=unreadable\n") % (
            header(board, "image1") + header(board, "image2") + (length, crc)),
        "vemra-boot: cannot read the VPD EEPROM\nvemra-boot: cannot read /dev/mtd-ubootenv\n")
    assert board.sh("md5sum /user/images/image2 > /tmp/sum && vemra-boot install %s/update 2"
                    " --select" % IMAGES) == (
        2, "", "vemra-boot: cannot read VPD bytes 250 to 255 (the trial)\n")
    assert board.sh("md5sum /user/images/image2 | cmp - /tmp/sum && ls -A /user/images") == (
        0, "image1\nimage2\n", "")


def test_user_full_refuses_the_image_before_reading_it(board):
    board.up()
    # /user full but for the 512 KiB of keep: the 1.5 MiB image cannot fit.
    assert board.sh("dd if=/dev/urandom of=/user/keep bs=64k count=8 2>/dev/null;"
                    " dd if=/dev/urandom of=/user/fill bs=64k 2>/dev/null; rm /user/keep &&"
                    " md5sum /user/images/image2 > /tmp/sum", timeout=300)[0] == 0
    for name, command in ((IMAGES + "/big", "vemra-boot install %s/big 2"),  # a pipe: once its header came
                          ("-", "cat %s/big | vemra-boot install - 2")):
        status, out, err = board.sh(command % IMAGES, timeout=300)
        room = re.fullmatch(r"vemra-boot: %s: %d bytes do not fit /user \((\d+) bytes\)\n"
                            % (name, len(board.image("big"))), err)
        assert (status, out) == (1, "") and room and int(room.group(1)) < len(board.image("big")), err
    assert board.sh("md5sum /user/images/image2 | cmp - /tmp/sum && ls -A /user/images") == (
        0, "image1\nimage2\n", "")


def test_slot_read_back_differs(board):
    # Another writer changes byte 100 of the copy while vemra-boot writes
    # the rest of it: the copy, read back before the rename as the launcher
    # will read it, is not the image checked. The slot keeps its image.
    board.up()
    status, out, err = board.sh(
        "md5sum /user/images/image2 > /tmp/sum; (vemra-boot install %s/big 2 > /run/o 2> /run/e; echo $? > /run/s) &"
        " until [ -s /user/images/.image2.new ]; do :; done;"
        " printf '\\%03o' | dd of=/user/images/.image2.new bs=1 seek=100 conv=notrunc 2>/dev/null;"
        " wait; cat /run/s /run/o /run/e; md5sum -c -s /tmp/sum && ls -A /user/images" % (IMAGES, board.image("big")[100] ^ 0xFF),
        timeout=300)
    assert (status, out, err) == (
        0, "2\nvemra-boot: /user/images/.image2.new: checksum-failed when read back\nimage1\nimage2\n", "")


def test_recovery_read_back_differs(board):
    # An image that fills the rescue partition's room exactly is written; another
    # writer changes the first byte of its second 64 KiB piece, in the first
    # sector, while vemra-boot writes the later ones: the read-back finds
    # it before the header is written, so no recovery image is left.
    board.up()
    status, out, err = board.sh(
        ": > /run/o; (vemra-boot recovery %s/full > /run/o 2> /run/e; echo $? > /run/s) &"
        " until grep -q '[.]' /run/o; do :; done;"
        " printf '\\%03o' | dd of=/dev/mtd-rescue bs=1 seek=65536 conv=notrunc 2>/dev/null;"
        " wait; cat /run/s /run/e; vemra-boot status -p | grep ^rescue=" % (IMAGES, board.image("full")[65536] ^ 0xFF),
        timeout=300)
    assert (status, out, err) == (
        0, "2\nvemra-boot: /dev/mtd-rescue: checksum-failed when read back\nrescue=invalid-header\n", "")


def test_recovery_write_stops_at_a_bad_block(board):
    # The rescue partition's ninth sector cannot be read: the board layer's
    # write stops there with its message, eight sectors written and the
    # rest untouched, and vemra-boot says that the write failed. The
    # header, written last, is still erased. A slot that is a directory is
    # unreadable in status, not a verdict.
    board.up(bad=["rescue:%d" % (8 << 17)])
    # Each sector gathered is written alone; sector 0 from byte 16, its
    # header left erased.
    written = "".join("Flash Write 0x%08x to 0x%08x (0x%08x to 0x%08x) 1\n\n.\n" % (
        max(at, 16), at + 0x1ffff, at, at + 0x1ffff) for at in range(0, 8 << 17, 1 << 17))
    assert board.sh("vemra-boot recovery %s/full" % IMAGES, timeout=300) == (
        2, written + "Flash Write 0x00100000 to 0x0011ffff (0x00100000 to 0x0011ffff) 1\n\n"
        "Flash Write mtd read failed.\n\n", "vemra-boot: /dev/mtd-rescue: write failed\n")
    assert board.sh("rm /user/images/image2 && mkdir /user/images/image2 && vemra-boot status -p") == (
        2, "selected=1\nbooted=1\nimage1=valid\nimage1_length=%d\nimage1_crc=0x%08x\n"
        "image2=unreadable\nrescue=invalid-header\nsignature_keys=0\ngdb=0\ngdbserver=0.0.0.0\n"
        "gdbport=0\nshell=0\nmemchk=0\nrescue_mode=0\n" % header(board, "image1"),
        "vemra-boot: cannot read /user/images/image2\n")
    board.vm.sendline("poweroff")
    board.wait_end()
    rescue = open(os.path.join(board.state, "flash", "rescue.bin"), "rb").read()
    assert rescue == b"\xff" * 16 + board.image("full")[16:1 << 20] + b"\xff" * (1 << 20)


def test_recovery_written_then_booted_from_an_empty_user(board):
    # From a pipe, twelve sectors through the board layer's read-modify-erase-write on
    # the kernel's MTD: the launcher boots the new recovery image.
    board.up()
    length, crc = header(board, "big")
    status, out, err = board.sh("cat %s/big | vemra-boot recovery -" % IMAGES, timeout=120)
    assert (status, err) == (0, "")
    assert out.endswith("recovery image written: length %d, crc 0x%08x\n" % (length, crc)), out
    assert board.sh("rm -r /user/images")[0] == 0
    board.reboot()
    rescue = open(os.path.join(board.state, "flash", "rescue.bin"), "rb").read()
    big = board.image("big")
    assert rescue[:len(big)] == big

    run = board.run_launcher([("(hit return to just boot image): ", "")])
    assert "mp.elf.strip: application of demo big running" in run.stdout
    assert run.vpd[58] == 4
