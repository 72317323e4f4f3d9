#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The board's own times, on the virtual board (run by scripts/bench.sh
# after the board build): what vemra-boot's boot-check costs a boot with no
# trial pending, against the launcher from its start to the end of the
# application it hands over to; an install of a 1.5 MiB image signed with
# minisign, against the same install with no keys on the board; the peak
# memory of install (0.5 and 3 MiB images, from a file and from a pipe)
# and recovery; an install of a 3 MiB signed image against its bytes
# copied into /user with cat and sync, and recovery against the partition
# erased (flash_eraseall) and the same bytes written to it with cat. Times are the median of ROUNDS runs of busybox's `time` on
# the board (software emulation: compare the figures with each other, not
# with a real board's); peak memory is the most resident and the most
# private memory of the process seen while it runs.
#
# usage: board_bench.py BOARD_BUILD HOST_BUILD WORK
import os
import re
import statistics
import subprocess
import sys

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "virtual-board"))
from board import Board, big_image, container, sign, vboard  # noqa: E402 (the virtual board's driver)

ROUNDS = 9
IMAGES = "/usr/share/vboard"


def seconds(board, command):
    # busybox time's "real" line, from standard error.
    status, _, err = board.sh("time %s >/dev/null" % command, timeout=300)
    m = re.search(r"real\s+(\d+)m ([\d.]+)s", err)
    assert status == 0, (command, err)
    return int(m.group(1)) * 60 + float(m.group(2))


def median(board, command, before=""):
    times = []
    for _ in range(ROUNDS):
        if before:
            board.sh(before)
        times.append(seconds(board, command))
    return statistics.median(times)


def peak_kib(board, command):
    # vemra-boot's most resident memory, and most private (anonymous)
    # memory, seen while it runs, from the page tables (smaps_rollup is
    # exact; VmHWM lags by up to 64 pages of each kind on this kernel, and
    # busybox time's maximum resident set size counts the busybox it forks
    # from). The resident memory counts the C library's code as it is
    # touched: shared pages of the RAM root file system.
    status, out, err = board.sh("%s >/dev/null & p=$!; while s=$(grep -E '^(Rss|Anonymous):'"
                                " /proc/$p/smaps_rollup 2>/dev/null); do echo $s; done | uniq; wait $p"
                                % command, timeout=300)
    assert (status, err) == (0, ""), (command, err)
    return tuple(max(int(v) for v in re.findall(r"%s:\s+(\d+) kB" % k, out)) for k in ("Rss", "Anonymous"))


def made(*args, **env):
    r = vboard(*args, **env)
    assert r.returncode == 0, r.stdout


def main(board_build, host_build, work):
    images, initramfs = os.path.join(work, "images"), os.path.join(work, "initramfs.cpio.gz")
    made("images", host_build, board_build, images)
    with open(os.path.join(images, "big"), "wb") as f:
        f.write(big_image())
    for name, mib in (("half", 0.5), ("three", 3)):
        with open(os.path.join(images, name), "wb") as f:
            f.write(container(os.urandom(int(mib * (1 << 20)) - 16)))
    sign(work, images)
    for name in ("big", "half", "three"):
        subprocess.run(["minisign", "-S", "-s", os.path.join(work, "trusted.key"), "-m",
                        os.path.join(images, name)], check=True, stdout=subprocess.DEVNULL)
    made("initramfs", board_build, initramfs, VBOARD_IMAGES=images)
    board = Board({"initramfs": initramfs, "images": images}, os.path.join(work, "board"))
    board.flash(image2=None, rescue=None)
    # An 8 MiB user partition, so that a 3 MiB image and its copy fit: the
    # rest erased, which jffs2 takes as free.
    with open(os.path.join(board.state, "flash", "user.bin"), "ab") as f:
        f.truncate(8 << 20)
        f.seek(4 << 20)
        f.write(b"\xff" * (4 << 20))
    board.shell()
    check = median(board, "vemra-boot boot-check")
    launch = median(board, "/usr/sbin/vemra-launcher", "umount /user")
    clear = "rm -f /user/images/image2 /user/copy && sync"
    plain = median(board, "vemra-boot install %s/big 2" % IMAGES, clear)
    board.sh("mkdir -p /etc/vemra-boot/keys && cp %s/trusted.pub /etc/vemra-boot/keys" % IMAGES)
    signed = median(board, "vemra-boot install %s/big 2" % IMAGES, clear)
    peaks = [peak_kib(board, form % ((IMAGES, name) * 2)[:form.count("%s")]) for name in ("half", "three")
             for form in ("vemra-boot install %s/%s 2", "cat %s/%s | vemra-boot install - 2 --signature"
                          " %s/%s.minisig")]
    peaks.append(peak_kib(board, "vemra-boot recovery %s/big" % IMAGES))
    install3 = median(board, "vemra-boot install %s/three 2" % IMAGES, clear)
    copy3 = median(board, "sh -c 'cat %s/three > /user/copy && sync'" % IMAGES, clear)
    recovery = median(board, "vemra-boot recovery %s/big" % IMAGES)
    plain_write = median(board, "sh -c 'flash_eraseall -q /dev/mtd-rescue && cat %s/big > /dev/mtd-rescue'"
                         % IMAGES)
    board.vm.sendline("poweroff")
    board.wait_end()
    print("boot-check, no trial pending: %.3f s; the launcher, start to the application's end: "
          "%.3f s (%.1f %%)" % (check, launch, 100 * check / launch))
    print("install of a 1.5 MiB image: %.3f s without keys, %.3f s signed (%+.3f s)"
          % (plain, signed, signed - plain))
    print("peak memory, resident/private KiB, of install, signed: 0.5 MiB file %d/%d, pipe %d/%d;"
          " 3 MiB file %d/%d, pipe %d/%d; recovery of 1.5 MiB: %d/%d" % sum(peaks, ()))
    print("install of a 3 MiB signed image: %.3f s; cat into /user and sync: %.3f s (%.2f x)"
          % (install3, copy3, install3 / copy3))
    print("recovery of a 1.5 MiB image: %.3f s; the partition erased and the same bytes written with"
          " cat: %.3f s (%.2f x)" % (recovery, plain_write, recovery / plain_write))


if __name__ == "__main__":
    main(*sys.argv[1:])
