# SPDX-License-Identifier: MIT
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
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "virtual-board"))
from board import (APP, BOARD, BOARD_BUILD, EOF, HOST_BUILD, MTD, READY, SLOTS, TOP,  # noqa: E402,F401
                   USER, VBOARD, Board, big_image, container, sign, vboard)


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
    # The rescue partition's 2 MiB but the two sectors that keep the floor.
    for name, size in (("full", (2 << 20) - (256 << 10)), ("toobig", (2 << 20) - (256 << 10) + 1)):
        with open(os.path.join(images, name), "wb") as f:
            f.write(container(os.urandom(size - 16)))
    sign(work, images)
    sign_for_boards(work, images)
    # big in the legacy form, which the board takes only up to 1 MiB.
    shutil.copy(os.path.join(images, "big"), os.path.join(images, "biglegacy"))
    subprocess.run(["minisign", "-S", "-l", "-s", str(work / "trusted.key"), "-m",
                    os.path.join(images, "biglegacy")], check=True, stdout=subprocess.DEVNULL)
    r = vboard("initramfs", BOARD_BUILD, initramfs, VBOARD_IMAGES=images)
    assert r.returncode == 0, r.stdout
    return {"initramfs": initramfs, "images": images}


def sign_for_boards(work, images):
    # Copies of update signed by the trusted key for a version and a board:
    # by vemra-image sign (v1.9, v1.10, acme: another board's; stable2, a
    # copy of stable), by minisign
    # with a comment of its own (noboard; long: 2,000 bytes; rc and blank:
    # a version and a board that are not valid). Damaged
    # copies of update.minisig: nul (a NUL in the trusted comment, after
    # the text that was signed), short (the signature's line holds 3 bytes
    # less than it must).
    tool = os.path.join(HOST_BUILD, "vemra-image", "vemra-image")
    key = os.path.join(work, "trusted.key")
    for name, version, board in (("v1.9", "1.9", "vboard"), ("v1.10", "1.10", "vboard"),
                                 ("acme", "3.0", "acme-ppc-3"), ("stable2", "2.0", "vboard")):
        path = os.path.join(images, name)
        shutil.copy(os.path.join(images, "stable" if name == "stable2" else "update"), path)
        subprocess.run([tool, "sign", "--key", key, "--version", version, "--board", board, path],
                       check=True, stdout=subprocess.DEVNULL)
    for name, comment in (("noboard", "version:3.0"), ("long", "version:3.0\tboard:vboard\t" + "x" * 1980),
                          ("rc", "version:2.0-rc1\tboard:vboard"), ("blank", "version:3.0\tboard:acme ppc")):
        path = os.path.join(images, name)
        shutil.copy(os.path.join(images, "update"), path)
        subprocess.run(["minisign", "-S", "-s", key, "-m", path, "-t", comment], check=True,
                       stdout=subprocess.DEVNULL)
    lines = open(os.path.join(images, "update.minisig"), "rb").read().split(b"\n")
    for name, line, text in (("nul", 2, lines[2] + b"\0 version:9.9"), ("short", 1, lines[1][:-4])):
        shutil.copy(os.path.join(images, "update"), os.path.join(images, name))
        damaged = list(lines)
        damaged[line] = text
        open(os.path.join(images, name + ".minisig"), "wb").write(b"\n".join(damaged))


@pytest.fixture
def web(bench, tmp_path):
    # lighttpd on the host serving the demo images (scripts/web.sh): the
    # URL of their folder on a board's network; stopped at the end.
    web, run = os.path.join(TOP, "scripts", "web.sh"), str(tmp_path / "web")
    port = subprocess.run([web, "start", bench["images"], run], check=True, text=True,
                          stdout=subprocess.PIPE).stdout.strip()
    yield "http://10.0.2.2:" + port
    subprocess.run([web, "stop", run], check=True)


@pytest.fixture
def board(bench, tmp_path, request):
    b = Board(bench, str(tmp_path / "board"))
    yield b
    if b.vm is not None:
        b.vm.terminate(force=True)
    print("--- console of %s ---\n%s" % (request.node.name, b.console()))  # shown on failure
