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
#
# With the fleet agent in the board build, or with "fleet" alone: the
# agent's resident and private memory while idle, connected to Debian's
# mosquitto on the host (scripts/broker.sh); the time from an update's
# announcement to the board's reboot (the host's clock: the announcement
# published, QEMU ended by the reboot); and the bytes the board sends in a
# day when idle (its network card's count over ten keepalive periods of
# 20 s, scaled to the default keepalive of 120 s).
#
# usage: board_bench.py BOARD_BUILD HOST_BUILD WORK [fleet]
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "virtual-board"))
from board import BOARD, TOP, Board, big_image, container, sign, vboard  # noqa: E402 (the virtual board's driver)

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


# The agent's process id, from /proc (the board's busybox has no pidof).
AGENT_PID = "$(grep -lx vemra-agent /proc/[0-9]*/comm | cut -d/ -f3)"


def agent_memory(board):
    # Rss and Anonymous of the agent's process, from the page tables.
    status, out, err = board.sh("grep -E '^(Rss|Anonymous):' /proc/%s/smaps_rollup" % AGENT_PID)
    assert (status, err) == (0, ""), err
    return tuple(int(re.search(r"%s:\s+(\d+) kB" % k, out).group(1)) for k in ("Rss", "Anonymous"))


def fleet(board_build, host_build, work):
    broker = os.path.join(TOP, "scripts", "broker.sh")
    web = os.path.join(TOP, "scripts", "web.sh")
    run, www = os.path.join(work, "broker"), os.path.join(work, "www")
    images, initramfs = os.path.join(work, "fleet-images"), os.path.join(work, "fleet.cpio.gz")
    made("images", host_build, board_build, images)
    sign(work, images)
    made("initramfs", board_build, initramfs, VBOARD_IMAGES=images)
    os.makedirs(run, exist_ok=True)
    os.makedirs(www, exist_ok=True)
    shutil.copy(os.path.join(images, "stable"), os.path.join(www, "update"))
    subprocess.run([os.path.join(host_build, "vemra-image", "vemra-image"), "sign", "--key",
                    os.path.join(work, "trusted.key"), "--version", "2.0", "--board", "vboard",
                    os.path.join(www, "update")], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(run, "boards"), "w") as f:
        f.write("b1 vboard g1 pw-b1\n")
    port = subprocess.run([broker, "start", run], check=True, text=True, stdout=subprocess.PIPE).stdout.strip()
    wport = subprocess.run([web, "start", www, os.path.join(work, "web")], check=True, text=True,
                           stdout=subprocess.PIPE).stdout.strip()
    conf = dict(line.split("=", 1) for line in open(os.path.join(run, "operator.conf")).read().split())
    try:
        board = Board({"initramfs": initramfs, "images": images}, os.path.join(work, "fleet-board"))
        board.flash()
        args = ("vboard.trust=trusted", "vboard.board=vboard", "vboard.fleet=10.0.2.2:%s,g1,b1,pw-b1" % port)
        board.shell(*args)
        # Idle: the agent restarted with a keepalive of 20 s, connected.
        assert board.sh("echo keepalive=20 >> %s && kill %s && sleep 15" % (BOARD["AGENT_CONFIG"], AGENT_PID))[0] == 0
        memory = agent_memory(board)
        tx = "cat /sys/class/net/eth0/statistics/tx_bytes /sys/class/net/eth0/statistics/tx_packets"
        before = [int(v) for v in board.sh(tx)[1].split()]
        board.sh("sleep 200", timeout=300)
        after = [int(v) for v in board.sh(tx)[1].split()]
        per_ping = [(a - b) / 10 for a, b in zip(after, before)]
        # An update announced: the time to the reboot that ends QEMU.
        start = time.monotonic()
        subprocess.run(["mosquitto_pub", "-p", port, "-u", conf["user"], "-P", conf["password"], "-V",
                        "mqttv5", "-q", "1", "-r", "-t", "vemra/vboard/g1/update", "-m",
                        '{"url": "http://10.0.2.2:%s/update", "version": "2.0"}' % wport], check=True)
        board.wait_end()
        to_reboot = time.monotonic() - start
    finally:
        subprocess.run([web, "stop", os.path.join(work, "web")])
        subprocess.run([broker, "stop", run])
    day = 86400 / 120
    print("vemra-agent idle, connected: %d KiB resident, %d KiB private" % memory)
    print("idle traffic: %.0f bytes in %.1f packets per keepalive; a day at 120 s: %.0f bytes, %.0f packets"
          % (per_ping[0], per_ping[1], per_ping[0] * day, per_ping[1] * day))
    print("announcement to reboot (the signed update pulled over HTTP, installed for a trial): %.1f s"
          % to_reboot)


if __name__ == "__main__":
    if sys.argv[4:] == ["fleet"]:
        fleet(*sys.argv[1:4])
    else:
        main(*sys.argv[1:])
        if os.path.exists(os.path.join(sys.argv[1], "agent", "vemra-agent")):
            fleet(*sys.argv[1:])
