# Signed images on the virtual board: with a minisign public key in
# /etc/vemra-boot/keys, vemra-boot installs only what that key signed, and a
# refusal writes nothing. The keys and signatures are made by minisign on
# the host (conftest.sign).
import base64
import os

IMAGES = "/usr/share/vboard"


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
              " cp %s/update /tmp/changed && cp %s/update.minisig /tmp/changed.minisig &&"
              " printf x | dd of=/tmp/changed bs=1 seek=100 conv=notrunc 2>/dev/null &&"
              " cp %s/update /tmp/unsigned && md5sum /user/images/* /dev/mtd-rescue > /tmp/sums"
              % ((IMAGES,) * 4))[0] == 0
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
            ("install %s/update 2 --signature /tmp/line2.minisig" % IMAGES, "%s/update: %s" % (IMAGES, no_match)),
            ("install %s/update 2 --signature /tmp/line3.minisig" % IMAGES, "/tmp/line3.minisig: " + malformed),
            ("install %s/update 2 --signature /tmp/line4.minisig" % IMAGES, "/tmp/line4.minisig: " + comment),
            ("install %s/update 2 --signature /tmp/comment.minisig" % IMAGES, "/tmp/comment.minisig: " + comment)):
        assert sh("vemra-boot " + command) == (1, "", "vemra-boot: %s\n" % err), command
    assert sh("md5sum /user/images/* /dev/mtd-rescue | cmp - /tmp/sums")[0] == 0
    # Signed by the trusted key: the prehashed form and the legacy one.
    assert sh("vemra-boot install %s/update 2" % IMAGES)[0] == 0
    assert sh("vemra-boot install %s/legacy 1" % IMAGES)[0] == 0
    assert sh("cmp %s/update /user/images/image2 && cmp %s/legacy /user/images/image1 &&"
              " vemra-boot status | grep signatures" % (IMAGES, IMAGES)) == (
        0, "signatures:    required, 1 trusted key\n", "")
