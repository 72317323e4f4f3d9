# The virtual board as the test bench: QEMU's ppce500 (32-bit big-endian
# PowerPC) booting the board's kernel and busybox with the launcher of the
# PowerPC build, against real MTD, jffs2 and I2C drivers, driven by
# virtual-board/board.py.
#
# A test flashes a board of its own (flash files and VPD in its own
# directory), boots it with vboard.test and reads what the board shows:
# the console (the launcher's standard output), and the report that the
# board's shutdown prints. The VPD bytes are read from the board's EEPROM
# file after QEMU has ended. Where QEMU or the board's kernel cannot be
# had the tests fail: they never skip.
import hashlib
import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "virtual-board"))
from board import (APP, BOARD_BUILD, EOF, HOST_BUILD, READY, VBOARD, Board,  # noqa: E402,F401
                   big_image, container, sign, vboard)


def md5(data):
    return hashlib.md5(data).hexdigest()


@pytest.fixture(scope="session")
def bench(tmp_path_factory):
    # The demo images and the initramfs, which carries them under
    # /usr/share/vboard for programs on the board.
    assert shutil.which("qemu-system-ppc"), "no QEMU (Debian qemu-system-ppc)"
    for part in ("kernel", "busybox"):
        r = vboard(part)
        assert r.returncode == 0, r.stdout
    work = tmp_path_factory.mktemp("bench")
    images, initramfs = str(work / "images"), str(work / "initramfs.cpio.gz")
    r = vboard("images", HOST_BUILD, BOARD_BUILD, images)
    assert r.returncode == 0, r.stdout
    with open(os.path.join(images, "big"), "wb") as f:
        f.write(big_image())
    for name, size in (("full", 2 << 20), ("toobig", (2 << 20) + 1)):  # the rescue partition's 2 MiB
        with open(os.path.join(images, name), "wb") as f:
            f.write(container(os.urandom(size - 16)))
    sign(work, images)
    r = vboard("initramfs", BOARD_BUILD, initramfs, VBOARD_IMAGES=images)
    assert r.returncode == 0, r.stdout
    return {"initramfs": initramfs, "images": images}


@pytest.fixture
def board(bench, tmp_path, request):
    b = Board(bench, str(tmp_path / "board"))
    yield b
    if b.vm is not None:
        b.vm.terminate(force=True)
    print("--- console of %s ---\n%s" % (request.node.name, b.console()))  # shown on failure
