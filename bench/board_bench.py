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

import pexpect

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "virtual-board"))
from conftest import VBOARD, big_image, sign  # noqa: E402 (the board's harness)

ROUNDS = 9
IMAGES = "/usr/share/vboard"


def vboard(*args, **env):
    subprocess.run([VBOARD, *args], check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, **env))


def seconds(vm, command):
    # busybox time's "real" line, from standard error.
    vm.sendline("time %s >/dev/null 2>/tmp/err; echo =; cat /tmp/err; echo ==" % command)
    vm.expect(r"=\r*\n(.*)==\r*\n", timeout=300)
    m = re.search(r"real\s+(\d+)m ([\d.]+)s", vm.match.group(1))
    return int(m.group(1)) * 60 + float(m.group(2))


def median(vm, command, before=""):
    times = []
    for _ in range(ROUNDS):
        if before:
            vm.sendline(before)
        times.append(seconds(vm, command))
    return statistics.median(times)


def main(board_build, host_build, work):
    images, state = os.path.join(work, "images"), os.path.join(work, "board")
    vboard("images", host_build, board_build, images)
    with open(os.path.join(images, "big"), "wb") as f:
        f.write(big_image())
    sign(work, images)
    subprocess.run(["minisign", "-S", "-s", os.path.join(work, "trusted.key"), "-m",
                    os.path.join(images, "big")], check=True, stdout=subprocess.DEVNULL)
    vboard("initramfs", board_build, os.path.join(work, "initramfs.cpio.gz"), VBOARD_IMAGES=images)
    vboard("flash", state, "--image1", os.path.join(images, "image1"))
    vm = pexpect.spawn(VBOARD, ["boot", os.path.join(work, "initramfs.cpio.gz"), state],
                       encoding="utf-8", timeout=300)
    vm.expect_exact("Please press Enter to activate this console.")
    vm.sendline("")
    vm.sendline("stty -echo; PS1=")
    check = median(vm, "vemra-boot boot-check")
    launch = median(vm, "/usr/sbin/vemra-launcher", "umount /user")
    plain = median(vm, "vemra-boot install %s/big 2" % IMAGES)
    vm.sendline("mkdir -p /etc/vemra-boot/keys && cp %s/trusted.pub /etc/vemra-boot/keys" % IMAGES)
    signed = median(vm, "vemra-boot install %s/big 2" % IMAGES)
    vm.sendline("poweroff")
    vm.expect(pexpect.EOF, timeout=120)
    print("boot-check, no trial pending: %.3f s; the launcher, start to the application's end: "
          "%.3f s (%.1f %%)" % (check, launch, 100 * check / launch))
    print("install of a 1.5 MiB image: %.3f s without keys, %.3f s signed (%+.3f s)"
          % (plain, signed, signed - plain))


if __name__ == "__main__":
    main(*sys.argv[1:])
