#!/usr/bin/python3
# The board's own times, on the virtual board (run by scripts/bench.sh
# after the board build): what vemra-boot's boot-check costs a boot with no
# trial pending, against the launcher from its start to the end of the
# application it hands over to; and an install of a 1.5 MiB image signed
# with minisign, against the same install with no keys on the board.
# Each is the median of ROUNDS runs of busybox's `time` on the board
# (software emulation: compare the figures with each other, not with a
# real board's).
#
# usage: board_bench.py BOARD_BUILD HOST_BUILD WORK
import os
import re
import statistics
import subprocess
import sys

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "virtual-board"))
from board import Board, big_image, sign, vboard  # noqa: E402 (the virtual board's driver)

ROUNDS = 9
IMAGES = "/usr/share/vboard"


def seconds(board, command):
    # busybox time's "real" line, from standard error.
    m = re.search(r"real\s+(\d+)m ([\d.]+)s", board.sh("time %s >/dev/null" % command, timeout=300)[2])
    return int(m.group(1)) * 60 + float(m.group(2))


def median(board, command, before=""):
    times = []
    for _ in range(ROUNDS):
        if before:
            board.sh(before)
        times.append(seconds(board, command))
    return statistics.median(times)


def made(*args, **env):
    r = vboard(*args, **env)
    assert r.returncode == 0, r.stdout


def main(board_build, host_build, work):
    images, initramfs = os.path.join(work, "images"), os.path.join(work, "initramfs.cpio.gz")
    made("images", host_build, board_build, images)
    with open(os.path.join(images, "big"), "wb") as f:
        f.write(big_image())
    sign(work, images)
    subprocess.run(["minisign", "-S", "-s", os.path.join(work, "trusted.key"), "-m",
                    os.path.join(images, "big")], check=True, stdout=subprocess.DEVNULL)
    made("initramfs", board_build, initramfs, VBOARD_IMAGES=images)
    board = Board({"initramfs": initramfs, "images": images}, os.path.join(work, "board"))
    board.up(image2=None, rescue=None)
    check = median(board, "vemra-boot boot-check")
    launch = median(board, "/usr/sbin/vemra-launcher", "umount /user")
    plain = median(board, "vemra-boot install %s/big 2" % IMAGES)
    board.sh("mkdir -p /etc/vemra-boot/keys && cp %s/trusted.pub /etc/vemra-boot/keys" % IMAGES)
    signed = median(board, "vemra-boot install %s/big 2" % IMAGES)
    board.vm.sendline("poweroff")
    board.wait_end()
    print("boot-check, no trial pending: %.3f s; the launcher, start to the application's end: "
          "%.3f s (%.1f %%)" % (check, launch, 100 * check / launch))
    print("install of a 1.5 MiB image: %.3f s without keys, %.3f s signed (%+.3f s)"
          % (plain, signed, signed - plain))


if __name__ == "__main__":
    main(*sys.argv[1:])
