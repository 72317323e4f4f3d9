# SPDX-License-Identifier: MIT
# Signed images on the virtual board: with a minisign public key in
# /etc/vemra-boot/keys, vemra-boot installs only what that key signed, and a
# refusal writes nothing. The keys and signatures are made by minisign on
# the host (conftest.sign).
import base64
import os
import struct

from conftest import BOARD, MTD, SLOTS, md5

RESCUE = MTD + BOARD["PART_RESCUE"]

IMAGES = "/usr/share/vboard"


def header(board, name):
    # (length, crc) from an image's big-endian header.
    crc, length = struct.unpack(">II", board.image(name)[:8])
    return length, crc


def signature(board, name):
    return open(os.path.join(board.bench["images"], name + ".minisig")).read().splitlines()


def damaged(sig, line, old=None, new=None, at=None):
    # The signature's lines with one changed: old text to new, or the
    # base64 character at `at` to another one.
    lines = list(sig)
    if at is None:
        assert old in lines[line]
        lines[line] = lines[line].replace(old, new, 1)
    else:
        lines[line] = lines[line][:at] + "BC"[lines[line][at] == "B"] + lines[line][at + 1:]
    return lines


def test_only_signed_images_install(board):
    board.up()
    sh = board.sh
    assert sh("mkdir -p /etc/vemra-boot/keys && cp %s/trusted.pub /etc/vemra-boot/keys &&"
              " cp %s/image1 /tmp/changed && cp %s/update.minisig /tmp/changed.minisig &&"
              " cp %s/update /tmp/unsigned && md5sum %s/* %s > /tmp/sums"
              % ((IMAGES,) * 4 + (SLOTS, RESCUE)))[0] == 0
    sig = signature(board, "update")
    variants = {  # each line damaged in turn (line 2 in the signature's bytes), the comment altered
        "line1": damaged(sig, 0, "untrusted comment:", "untrusted remark:"),
        "line2": damaged(sig, 1, at=50),
        "line3": damaged(sig, 2, "trusted comment:", "trusted note:"),
        "line4": damaged(sig, 3, at=20),
        "comment": damaged(sig, 2, "demo update", "demo Update"),
    }
    for name, lines in variants.items():
        assert sh("printf '%%s\\n' %s > /tmp/%s.minisig" % (
            " ".join("'%s'" % line for line in lines), name))[0] == 0
    malformed, no_match = "not a minisign signature file", "the signature does not match"
    comment = "the trusted comment does not match its signature"
    key_id = "%016X" % int.from_bytes(base64.b64decode(signature(board, "foreign")[1])[2:10], "little")
    for command, err in (
            ("install /tmp/changed 2", "/tmp/changed: " + no_match),
            ("recovery /tmp/changed", "/tmp/changed: " + no_match),
            ("install /tmp/unsigned 2", "/tmp/unsigned.minisig: no signature: No such file or directory"),
            ("install %s/foreign 2" % IMAGES,
             "%s/foreign: signed by key %s, which this board does not trust" % (IMAGES, key_id)),
            ("install %s/update 2 --signature /tmp/line1.minisig" % IMAGES, "/tmp/line1.minisig: " + malformed),
            ("install %s/update 2 --signature /tmp/line2.minisig" % IMAGES, "/tmp/line2.minisig: " + comment),
            ("install %s/update 2 --signature /tmp/line3.minisig" % IMAGES, "/tmp/line3.minisig: " + malformed),
            ("install %s/update 2 --signature /tmp/line4.minisig" % IMAGES, "/tmp/line4.minisig: " + comment),
            ("install %s/update 2 --signature /tmp/comment.minisig" % IMAGES, "/tmp/comment.minisig: " + comment)):
        assert sh("vemra-boot " + command) == (1, "", "vemra-boot: %s\n" % err), command
    assert sh("md5sum %s/* %s | cmp - /tmp/sums" % (SLOTS, RESCUE))[0] == 0
    # Signed by the trusted key: the prehashed form and the legacy one.
    assert sh("vemra-boot install %s/update 2" % IMAGES)[0] == 0
    assert sh("vemra-boot install %s/legacy 1 --force" % IMAGES)[0] == 0
    assert sh("cmp %s/update %s/image2 && cmp %s/legacy %s/image1 &&"
              " vemra-boot status | grep signatures" % (IMAGES, SLOTS, IMAGES, SLOTS)) == (
        0, "signatures:    required, 1 trusted key\n", "")


def test_the_board_takes_its_own_images_no_older_than_its_floor(board):
    # The board is "vboard" and trusts one key; v1.10 installed without a
    # trial sets the floor. Each refusal writes nothing (exit 1, or 2 for
    # keys that cannot be read); a downgrade as a person's decision passes.
    board.up()
    sh, i = board.sh, IMAGES
    assert sh("mkdir -p /etc/vemra-boot/keys && cp %s/trusted.pub /etc/vemra-boot/keys &&"
              " echo vboard > /etc/vemra-boot/board && vemra-boot install %s/v1.10 2" % (i, i))[0] == 0
    assert sh("vemra-boot status | grep -E '^(image2|board|floor):'") == (0, (
        "image2:        valid, length %d, crc 0x%08x, signed version 1.10 for vboard\n"
        "board:         vboard\nfloor:         1.10\n") % header(board, "v1.10"), "")
    sums = "md5sum /user/images/* /dev/mtd-rescue > /tmp/now; i2cdump -y 0 0x54 b >> /tmp/now"
    assert sh("dd if=/dev/zero of=/tmp/huge bs=1 count=0 seek=1073741824 2>/dev/null; %s &&"
              " mv /tmp/now /tmp/sums" % sums)[0] == 0
    for command, status, err in (
            ("install {i}/acme 1 --force", 1, "{i}/acme: signed for board acme-ppc-3, not for this board (vboard)"),
            ("install {i}/noboard 1 --force", 1, "{i}/noboard: signed for no board, and this board is vboard"),
            ("install {i}/v1.9 1 --force", 1, "{i}/v1.9: version 1.9 is older than this board's floor 1.10"
             " (--allow-downgrade installs it)"),
            ("recovery {i}/v1.9", 1, "{i}/v1.9: version 1.9 is older than this board's floor 1.10"
             " (--allow-downgrade installs it)"),
            ("install {i}/rc 1 --force", 1, "{i}/rc: signed version '2.0-rc1' is not a version (1 to 8 numbers"
             " of 1 to 9 digits, separated by dots)"),
            ("recovery {i}/blank", 1, "{i}/blank: signed board 'acme ppc' is not a board's string (1 to 63"
             " characters without blanks)"),
            ("select 1", 1, "image 1: no signed version, and this board's floor is 1.10 (--allow-downgrade selects it)"),
            ("install {i}/nul 1 --force", 1, "{i}/nul.minisig: not a minisign signature file"),
            ("install {i}/short 1 --force", 1, "{i}/short.minisig: not a minisign signature file"),
            ("recovery /tmp/huge", 1, "/tmp/huge: 1073741824 bytes do not fit the rescue partition"
             " (1835008 bytes)")):
        assert sh("vemra-boot " + command.format(i=i)) == (status, "", "vemra-boot: %s\n" % err.format(i=i)), command
    assert sh("%s && cmp /tmp/now /tmp/sums" % sums)[0] == 0
    # Accepted: a downgrade allowed, a comment of 2,000 bytes, a key beside
    # another with the same id.
    assert sh("vemra-boot install %s/v1.9 1 --allow-downgrade --force && vemra-boot status -p | grep ^floor" % i) == (
        0, ("%s/v1.9: version 1.9 is older than this board's floor 1.10: installed as asked\n"
            "image 1 installed: length %d, crc 0x%08x\nfloor=1.10\n") % ((i,) + header(board, "v1.9")), "")
    assert sh("vemra-boot install %s/long 2 && vemra-boot status -p | grep -E '^(image1_|floor)'" % i) == (0, (
        "image 2 installed: length %d, crc 0x%08x\nimage1_length=%d\nimage1_crc=0x%08x\n"
        "image1_signature=matches\nimage1_version=1.9\nimage1_board=vboard\nfloor=3.0\n")
        % (header(board, "long") + header(board, "v1.9")), "")
    pub = open(os.path.join(board.bench["images"], "trusted.pub")).read().splitlines()
    raw = base64.b64decode(pub[1])
    same_id = base64.b64encode(raw[:10] + bytes(32)).decode()  # the id, another key
    assert sh("printf 'untrusted comment: x\\n%s\\n' > /etc/vemra-boot/keys/0.pub &&"
              " vemra-boot install %s/long 1 --force" % (same_id, i))[0] == 0
    # Keys that cannot be read: no folder but a file, a folder of no *.pub, a link to nothing; no keys
    # at all, and a signature named.
    keys = "/etc/vemra-boot/keys"
    for setup, err in (("rm -r {k} && cp {i}/trusted.pub {k}", "Not a directory"),
                       ("rm {k} && mkdir {k} && cp {i}/trusted.pub {k}/trusted.pub.off",
                        "holds no key (*.pub): no signature can be checked"),
                       ("rm -r {k} && ln -s /nowhere {k}", "No such file or directory")):
        assert sh(setup.format(k=keys, i=i) + " && vemra-boot install %s/update 1 --force; echo $?;"
                  " vemra-boot status -p | grep ^signature" % i) == (
            0, "2\nsignature_keys=unreadable\n", "vemra-boot: %s: %s\n" % (keys, err) * 2), setup
    assert sh("rm %s && vemra-boot install %s/update 1 --force --signature /tmp/x" % (keys, i)) == (
        1, "", "vemra-boot: /tmp/x: not checked: this board trusts no key (%s)\n" % keys)


def test_a_signed_update_pulled_over_http(board, web):
    # lighttpd on the host serves update and its signature; the board pulls
    # both with wget (/etc/board/pull) and installs the update for a trial:
    # the slot and its kept signature hold the bytes served. Links planted
    # in /tmp at names a pull could use are not followed; /tmp is as it was.
    board.up(append=("vboard.trust=trusted",))
    served = [open(os.path.join(board.bench["images"], name), "rb").read()
              for name in ("update", "update.minisig")]
    assert board.sh("ln -s kept /tmp/update.minisig && ln -s kept /tmp/update && ls -A /tmp > /run/tmp &&"
                    " /etc/board/pull %s/update" % web) == (
        0, "installing into image 2: image 1 is running\nimage 2 installed: length %d, crc 0x%08x\n"
        "selected image 2 for a trial of 3 boots\n"
        % (len(served[0]) - 16, int.from_bytes(served[0][:4], "big")), "")
    left = board.sh("ls -A /tmp | cmp - /run/tmp && md5sum /user/images/image2 /user/images/image2.minisig")
    assert left[1].split()[::2] == [md5(data) for data in served]


def test_the_floor_only_rises_and_select_keeps_to_it(board):
    # 1.9 in slot 2, then 2.0 over the running slot 1: the floor is 2.0.
    # Slot 2 is not selected, nor tried, with the slots, the VPD and the
    # floor as they were; as a person's decision it is tried, and its
    # confirm leaves the floor at 2.0, so 1.10 is still refused. A kept
    # signature that cannot be read fails the confirm: the trial stays.
    board.up(append=("vboard.trust=trusted",))
    sh, i = board.sh, IMAGES
    state = "md5sum /user/images/*; i2cdump -y 0 0x54 b; vemra-boot status -p | grep ^floor"
    assert sh("vemra-boot install %s/v1.9 2 && vemra-boot install %s/stable2 1 --force" % (i, i))[0] == 0
    before = sh(state)
    older = "image 2: version 1.9 is older than this board's floor 2.0"
    for command in ("select 2", "select 2 --trial"):
        assert sh("vemra-boot " + command) == (1, "", "vemra-boot: %s (--allow-downgrade selects it)\n" % older)
    assert sh(state) == before and "floor=2.0\n" in before[1]
    assert sh("vemra-boot select 2 --trial --allow-downgrade") == (
        0, "%s: selected as asked\nselected image 2 for a trial of 3 boots\n" % older, "")
    board.reboot()
    board.shell("vboard.trust=trusted")
    assert sh("mv /user/images/image2.minisig /tmp && mkdir /user/images/image2.minisig && vemra-boot confirm") == (
        2, "", "vemra-boot: cannot read /user/images/image2's signature: the floor is not raised\n")
    # The application's confirm waits for a command at work (3 s here).
    assert sh("rmdir /user/images/image2.minisig && mv /tmp/image2.minisig /user/images && (flock"
              " /run/vemra-boot.lock sh -c 'sleep 3; echo released' &) && sleep 1 && vemra-boot confirm &&"
              " vemra-boot status -p | grep ^floor") == (0, "released\ntrial of image 2 confirmed\nfloor=2.0\n", "")
    assert sh("vemra-boot install %s/v1.10 1" % i) == (1, "", "vemra-boot: %s/v1.10: version 1.10 is older than"
                                                         " this board's floor 2.0 (--allow-downgrade installs it)\n" % i)


def test_the_floor_and_the_recovery_signature_outlast_user(board):
    # The floor (2.0) is kept in the rescue partition's last two sectors:
    # with /user unmounted, then its images gone, an older recovery image
    # is still refused, and a floor kept where earlier boards kept it
    # (/user/images/floor) still counts. A recovery image signed 2.0 keeps
    # its signature, shown by status. Sectors that hold no floor refuse
    # install, select and recovery (2), writing nothing.
    board.up(append=("vboard.trust=trusted",))
    sh, i = board.sh, IMAGES
    older = "vemra-boot: %s/v1.9: version 1.9 is older than this board's floor %%s (--allow-downgrade installs it)\n" % i
    assert sh("vemra-boot install %s/stable2 2" % i)[0] == 0
    assert sh("umount /user && vemra-boot recovery %s/v1.9" % i) == (1, "", older % "2.0")
    assert sh("mount -t jffs2 /dev/mtd-user /user && rm -r /user/images && vemra-boot recovery %s/v1.9" % i) == (
        1, "", older % "2.0")
    assert sh("mkdir /user/images && echo 2.5 > /user/images/floor && vemra-boot recovery %s/v1.9" % i) == (
        1, "", older % "2.5")
    status, out, err = sh("rm /user/images/floor && vemra-boot recovery %s/stable2 && vemra-boot status -p | grep ^rescue_" % i)
    assert (status, out.split("written: ")[-1], err) == (0, (
        "length %d, crc 0x%08x\nrescue_length=%d\nrescue_crc=0x%08x\nrescue_signature=matches\nrescue_version=2.0\n"
        "rescue_board=vboard\nrescue_mode=0\n") % (header(board, "stable2") * 2), "")
    sums = "md5sum /user/images/* /dev/mtd-rescue; i2cdump -y 0 0x54 b"
    before = sh("dd if=/dev/urandom of=/dev/mtd-rescue bs=128k seek=14 count=2 2>/dev/null; " + sums)
    for command in ("install %s/stable2 1 --force" % i, "select 1", "recovery %s/stable2" % i):
        assert sh("vemra-boot " + command) == (
            2, "", "vemra-boot: /dev/mtd-rescue: its last two sectors hold no floor that reads whole\n"), command
    assert sh(sums) == before
