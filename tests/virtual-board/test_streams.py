# SPDX-License-Identifier: MIT
# Images on standard input, as a board pulls them with wget -O -: written
# as they arrive, checked in what is read back, and made bootable only
# then. Each refusal leaves the slot as it was and no copy behind.
import os
import re

from conftest import md5

IMAGES = "/usr/share/vboard"
INTO_2 = "installing into image 2: image 1 is running\n"


def test_images_from_a_pipe(board):
    board.up()
    sh, i = board.sh, IMAGES
    big, update = len(board.image("big")), len(board.image("update"))
    assert sh("cp {i}/update /tmp/bad && printf x | dd of=/tmp/bad bs=1 seek=100 conv=notrunc 2>/dev/null &&"
              " md5sum /user/images/image2 > /tmp/sum".format(i=i))[0] == 0
    for command, status, out, err in (
            # The copy's name left by a cut inside jffs2's rename as a second
            # link to the slot: the copy is made anew, the slot kept.
            ("ln /user/images/image2 /user/images/.image2.new && head -c 70000 {i}/big | vemra-boot install - 2",
             1, "", "-: ended after 70000 of %d bytes" % big),
            ("(cat {i}/update; echo) | vemra-boot install -", 1, INTO_2, "-: more bytes than the image's %d" % update),
            ("(cat {i}/update; echo) > /tmp/long && vemra-boot install /tmp/long 2", 1, "",
             "/tmp/long: more bytes than the image's %d" % update),
            ("cat /tmp/bad | vemra-boot install -", 1, INTO_2, "-: checksum failed"),
            ("(head -c 100 {i}/big; sleep 31) | vemra-boot install - 2", 2, "",
             "-: nothing arrived for 30 s, after 100 of %d bytes" % big),
            ("cat {i}/update | vemra-boot install - 1", 1, "",
             "image 1 is running (VPD byte 58): --force installs over it"),
            ("mkdir -p /etc/vemra-boot/keys && cp {i}/trusted.pub /etc/vemra-boot/keys &&"
             " echo notes > /etc/vemra-boot/keys/README &&"  # not a key: *.pub only
             " cat {i}/update | vemra-boot install -", 1, INTO_2,
             "-: no signature (--signature SIG names it for an image on standard input)"),
            ("cat {i}/image1 | vemra-boot install - --signature {i}/update.minisig", 1, INTO_2,
             "-: the signature does not match"),
            ("cat {i}/legacy | vemra-boot install - --signature {i}/legacy.minisig", 1, INTO_2,
             "-: a legacy signature needs the whole image in memory: sign it prehashed"
             " (vemra-image sign, or minisign -S without -l)"),
            ("vemra-boot install {i}/biglegacy 2", 1, "", "{i}/biglegacy: a legacy signature is taken for"
             " images up to 1048576 bytes: sign it prehashed (vemra-image sign, or minisign -S without -l)"),
            ("i2cset -y 0 0x54 0x3a 4 && cat {i}/update | vemra-boot install -", 1, "",
             "VPD byte 58 is 4: no slot is running, so name the slot to install into")):
        assert sh(command.format(i=i), timeout=60) == (status, out, "vemra-boot: %s\n" % err.format(i=i)), command
    assert sh("md5sum -c -s /tmp/sum && ls -A /user/images") == (0, "image1\nimage2\n", "")

    # A recovery stream whose signature fails leaves no recovery image.
    status, out, err = sh("cat %s/image1 | vemra-boot recovery - --signature %s/update.minisig" % (i, i))
    assert (status, err) == (1, "vemra-boot: -: the signature does not match\n")
    assert sh("vemra-boot status -p | grep ^rescue=") == (0, "rescue=invalid-header\n", "")

    # After a rescue wipe: /user/images is made anew, the image goes into
    # the slot not running and boots.
    length, crc = struct_header(board.image("update"))
    assert sh("i2cset -y 0 0x54 0x3a 1 && rm -r /user/images && cat %s/update | vemra-boot install - --select --signature"
              " %s/update.minisig && ls -A /user/images" % (i, i)) == (0, INTO_2 + (
                  "image 2 installed: length %d, crc 0x%08x\nselected image 2\nimage2\nimage2.minisig\n"
                  % (length, crc)), "")
    board.reboot()
    run = board.run_launcher()
    assert "mp.elf.strip: application of demo update running" in run.stdout and run.vpd[58] == 2


def test_progress_on_a_terminal(board):
    # Straight to the console: reports of the bytes received, each
    # overwriting the last, then the check and the result.
    board.up()
    n = len(board.image("big"))
    board.sh("true")  # at the prompt
    board.vm.sendline("cat %s/big | vemra-boot install - 2" % IMAGES)
    board.vm.expect_exact("vboard# ", timeout=300)
    text = re.sub("\r+\n", "\n", board.vm.before)  # the console's CRs before a newline
    length, crc = struct_header(board.image("big"))
    end = "\n-: checking what was written\nimage 2 installed: length %d, crc 0x%08x\n" % (length, crc)
    assert text.startswith("\r-: ") and text.endswith(end), text
    reports = [tuple(map(int, m)) for m in re.findall(r"\r-: (\d+) of (\d+) bytes \((\d+)%\)", text)]
    assert "".join("\r-: %d of %d bytes (%d%%)" % r for r in reports) + end == text
    assert all(total == n and percent == have * 100 // n for have, total, percent in reports)
    assert [r[0] for r in reports] == sorted(set(r[0] for r in reports)) and reports[-1][0] == n
    assert board.sh("md5sum < /user/images/image2")[1].split()[0] == md5(board.image("big"))
    # recovery: each report on a line of its own, as the board layer's
    # lines come between them.
    board.vm.sendline("cat %s/big | vemra-boot recovery -" % IMAGES)
    board.vm.expect_exact("vboard# ", timeout=300)
    text = re.sub("\r+\n", "\n", board.vm.before)
    reports = re.findall(r"^\r-: (\d+) of %d bytes \((\d+)%%\)$" % n, text, re.M)
    assert reports and reports[-1] == (str(n), "100") and "\n-: checking what was written\n" in text
    assert text.endswith("recovery image written: length %d, crc 0x%08x\n" % (length, crc)), text


def struct_header(image):
    return int.from_bytes(image[4:8], "big"), int.from_bytes(image[:4], "big")
