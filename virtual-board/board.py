# SPDX-License-Identifier: MIT
# The virtual board from Python: its images made, a board flashed, booted
# and driven over its console and shell, and the report read that its
# shutdown prints under test (rc.stop): the launcher's standard error, the
# commands it ran with the board's uptime, the files under /tmp and /user,
# the I2C transfers the kernel saw. The test suite (tests/virtual-board)
# and the board's bench (bench/board_bench.py) drive it with this, as
# labgrid drives a real board.
#
# Builds: VBOARD_BUILD (default build-board/, from `vboard build`) for the
# board, VBOARD_HOST_BUILD (default build/) for vemra-image. The board's
# facts (BOARD: partition names, addresses, VPD bytes, paths) are the
# board build's, from its board.env.
import base64
import gzip
import io
import os
import re
import shutil
import signal
import struct
import subprocess
import tarfile
import zlib

import pexpect

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
VBOARD = os.path.join(TOP, "virtual-board", "vboard")
BOARD_BUILD = os.environ.get("VBOARD_BUILD", os.path.join(TOP, "build-board"))
HOST_BUILD = os.environ.get("VBOARD_HOST_BUILD", os.path.join(TOP, "build"))


def board_facts(build):
    # board.env's NAME=VALUE lines, numbers as int.
    facts = {}
    for line in open(os.path.join(build, "board.env")):
        name, eq, value = line.strip().partition("=")
        if eq and not name.startswith("#"):
            facts[name[6:]] = int(value, 0) if re.fullmatch(r"0x[0-9a-f]+|\d+", value) else value
    return facts


BOARD = board_facts(BOARD_BUILD)
USER, MTD = BOARD["USER_DIR"], BOARD["MTD_PREFIX"]
SLOTS = USER + "/images"
APP = os.path.join(BOARD_BUILD, "virtual-board", os.path.basename(BOARD["APP_PROGRAM"]))
# Software emulation on a loaded machine: generous, and only a bound.
BOOT_TIMEOUT, STEP_TIMEOUT = 180, 90
READY = "vboard: board ready, starting the launcher\n"
EOF = object()  # an answer: end of input (Ctrl-D at the start of a line)


def vboard(*args, **env):
    return subprocess.run([VBOARD, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, env=dict(os.environ, **env))


def sign(work, images):
    # Key pairs made here with minisign (trusted.pub and other.pub beside
    # the images): update signed by the trusted key, foreign (a copy) by the
    # other, legacy (a copy) by the trusted key in minisign's legacy form.
    def minisign(*args):
        subprocess.run(["minisign", *args], check=True, stdout=subprocess.DEVNULL)
    for name in ("trusted", "other"):
        minisign("-G", "-W", "-p", "%s/%s.pub" % (images, name), "-s", "%s/%s.key" % (work, name))
    for name, key, legacy in (("update", "trusted", ()), ("foreign", "other", ()),
                              ("legacy", "trusted", ("-l",))):
        if name != "update":
            shutil.copy(os.path.join(images, "update"), os.path.join(images, name))
        minisign("-S", *legacy, "-s", "%s/%s.key" % (work, key), "-m", os.path.join(images, name),
                 "-t", "demo %s" % name)


def big_image():
    # A valid container over twelve 128 KiB sectors (a write cut after the
    # first leaves eleven to go): a demo tree with 1,500 KiB of random bytes
    # beside the program, made here, independently of the project's code.
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, data in ((BOARD["APP_PROGRAM"], open(APP, "rb").read()),
                           ("home/etc/release", b"demo big\n"),
                           ("home/etc/blob", os.urandom(1500 * 1024))):
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), 0o755
            tar.addfile(info, io.BytesIO(data))
    return container(gzip.compress(raw.getvalue(), mtime=0))


def container(payload):
    # An image container: big-endian crc, length, magic, reserved; the
    # crc is the JAMCRC (the complement of the common CRC-32) of everything
    # after it.
    body = struct.pack(">III", len(payload), 0x014F5249, 0) + payload
    return struct.pack(">I", zlib.crc32(body) ^ 0xFFFFFFFF) + body


def variant(data, kind):
    # A damaged copy of a valid image: magic (the magic word in
    # little-endian order), crc (a reserved byte changed, the crc kept),
    # short (one byte missing at the end), huge (length 0x7FFFFFF0: more
    # than the board's memory), wrap (length 0xFFFFFFF0: length + 16 wraps
    # 32 bits to 0, and crc 0xFFFFFFFF, the checksum of no bytes: a launcher
    # that read the wrapped sum would find it valid), junk (a valid container
    # around what is not an archive).
    data = bytearray(data)
    if kind == "magic":
        data[8:12] = b"\x49\x52\x4f\x01"
    elif kind == "crc":
        data[15] ^= 0x01
    elif kind == "short":
        del data[-1]
    elif kind == "junk":
        data = bytearray(container(b"not a gzip-compressed tar archive\n"))
    elif kind in ("huge", "wrap"):
        data[4:8] = struct.pack(">I", 0x7FFFFFF0 if kind == "huge" else 0xFFFFFFF0)
        data[0:4] = data[0:4] if kind == "huge" else b"\xff" * 4
    return bytes(data)


def b64(text):
    return base64.b64decode("".join(text.split())).decode("utf-8", "replace")


class Run:
    # What one boot of a board showed.

    def __init__(self, console, state):
        _, ready, rest = console.partition(READY)
        assert ready, "the board did not come up:\n" + console
        self.stdout, _, report = rest.partition("vboard: report\n")
        sections = dict(part.partition("\n")[::2] for part in report.split("--- ")[1:])
        self.stderr = b64(sections.get("stderr", ""))
        records = [r.split(" ", 2) for r in b64(sections.get("commands", "")).splitlines()]
        self.times = [float(r[0]) for r in records]
        self.pids = {int(r[1]) for r in records}
        self.commands = [re.sub(r"\\(.)", lambda m: "\n" if m[1] == "n" else m[1], r[2])
                         for r in records]
        self.files = dict((line.split(" ") + ["dir"])[:2]
                          for line in sections.get("files", "").splitlines())
        self.i2c = i2c_transfers(sections.get("i2c", "").split("vboard: report end")[0])
        with open(os.path.join(state, "vpd.bin"), "rb") as f:
            self.vpd = f.read(BOARD["EEPROM_SIZE"])

    def tree(self, top):
        # {path below top: 'dir' or MD5} for /tmp or USER.
        return {p[len(top) + 1:].rstrip("/"): a for p, a in self.files.items()
                if p.startswith(top + "/") and p != top + "/"}


def i2c_transfers(trace):
    # The kernel's I2C trace events as transfers: "71 <- 40" (a plain
    # write), "4f 87 <- 55" (SMBus write of a register), "54 00 -> 02"
    # (SMBus read); a failed one ends in "!".
    out = []
    for line in trace.splitlines():
        m = re.match(r"\S+ (\w+) i2c-\d+ (?:#\d+ )?(?:a=0([0-9a-f]+) f=\w+ )?(?:c=([0-9a-f]+) )?"
                     r"(?:BYTE_DATA )?(?:l=\d+ \[([0-9a-f]+)\])?.*?(?:(?:res|ret)=(-?\d+))?$", line)
        event, addr, reg, data, res = m.groups()
        if event == "smbus_result" or event == "i2c_result":
            out[-1] += " !" if int(res) < 0 else ""
        elif event == "smbus_reply":
            out[-1] += " " + data
        elif event in ("i2c_write", "smbus_write", "smbus_read"):
            reg = " %02x" % int(reg, 16) if reg else ""
            out.append(addr + reg + (" -> " if event == "smbus_read" else " <- ") + (data or ""))
    return [t.replace("  ", " ").strip() for t in out]


class Board:
    # One board: its flash files and EEPROM in a directory of its own.

    def __init__(self, bench, state):
        self.bench, self.state, self.vm, self.log = bench, state, None, io.StringIO()

    def image(self, spec):
        # An image's bytes: a demo image's name, or (name, damage).
        name, kind = (spec, None) if isinstance(spec, str) else spec
        return variant(open(os.path.join(self.bench["images"], name), "rb").read(), kind)

    def flash(self, image1="image1", image2="image2", rescue="recovery", vpd=None, env=(),
              missing=(), bad=()):
        # A new board; vpd maps offsets to bytes, missing names partitions,
        # bad names blocks whose reads fail ("part:offset").
        args = [a for b in bad for a in ("--bad", b)]
        for opt, spec in (("image1", image1), ("image2", image2), ("rescue", rescue)):
            if spec is not None:
                path = os.path.join(os.path.dirname(self.state), opt)
                with open(path, "wb") as f:
                    f.write(self.image(spec))
                args += ["--" + opt, path]
        for off, byte in (vpd or {}).items():
            args += ["--vpd", "%d=%d" % (off, byte)]
        r = vboard("flash", self.state, *args, "--", *env)
        assert r.returncode == 0, r.stdout
        for part in missing:
            os.remove(os.path.join(self.state, "flash", part + ".bin"))

    def boot(self, *append, ready=True):
        self.vm = pexpect.spawn(VBOARD, ["boot", self.bench["initramfs"], self.state, *append],
                                encoding="utf-8", codec_errors="replace", timeout=STEP_TIMEOUT)
        self.vm.delaybeforesend, self.log = None, io.StringIO()
        self.vm.logfile_read = self.log  # what the board printed
        if ready:
            self.vm.expect_exact(READY.rstrip("\n"), timeout=BOOT_TIMEOUT)

    def console(self):
        # The terminal's CR before each newline and the shell's cursor
        # position queries are the console's, not the programs'.
        return self.log.getvalue().replace("\r", "").replace("\x1b[6n", "")

    def wait_end(self):
        self.vm.expect(pexpect.EOF, timeout=STEP_TIMEOUT)
        self.vm.close()
        assert self.vm.exitstatus == 0, "QEMU ended with %s" % self.vm.exitstatus
        self.vm = None

    def run_launcher(self, answers=(), append=()):
        # Boots under test, answers the prompts (pairs of the text to wait
        # for and the answer), waits for the board to power off or reboot
        # and returns what it showed.
        self.boot("vboard.test", "vboard.poweroff", *append)
        for prompt, text in answers:
            self.vm.expect_exact(prompt)
            self.vm.sendcontrol("d") if text is EOF else self.vm.sendline(text)
        self.wait_end()
        return Run(self.console(), self.state)

    def up(self, append=(), **flash):
        # A new board, booted: image 1 runs, then the board's shell.
        self.flash(**flash)
        self.shell(*append)

    def shell(self, *append):
        # Boots the board as it is and enters its shell.
        self.boot(*append)
        self.vm.expect_exact("Please press Enter to activate this console.")
        self.vm.sendline("")
        self.vm.sendline("stty cols 1000 -echo; PS1='vboard# '")
        self.vm.expect_exact("vboard# ")

    def sh(self, command, timeout=-1):
        # Runs a command in the board's shell; returns its exit status,
        # standard output and standard error.
        self.vm.sendline('{ %s; } >/run/out 2>/run/err; echo "=$?="; cat /run/out; echo =:=;'
                         ' cat /run/err; echo =.=' % command)
        self.vm.expect(r"(?s)=(\d+)=\r*\n(.*)=:=\r*\n(.*)=\.=\r*\n", timeout=timeout)
        status, out, err = self.vm.match.groups()
        self.vm.expect_exact("vboard# ")
        return int(status), out.replace("\r", ""), err.replace("\r", "")

    def reboot(self):  # from the board's shell; QEMU ends with the reboot
        self.vm.sendline("reboot")
        self.wait_end()

    def kill(self):  # the power cut: QEMU killed at once, the guest given no time
        os.kill(self.vm.pid, signal.SIGKILL)
        self.vm.close(force=True)
        self.vm = None
