"""The virtual board as the test bench: QEMU's ppce500 (32-bit big-endian
PowerPC) booting the board's kernel and busybox with the launcher of the
PowerPC build, against real MTD, jffs2 and I2C drivers.

A test flashes a board of its own (flash files and VPD in its own
directory), boots it with vboard.test and reads what the board shows:
the console (the launcher's standard output), and the report that the
board's shutdown prints: the launcher's standard error, the commands it
ran with the board's uptime, the files under /tmp and /user, the I2C
transfers the kernel saw. The VPD bytes are read from the board's EEPROM
file after QEMU has ended.

Builds: VBOARD_BUILD (default build-board/, from `vboard build`) for the
board, VBOARD_HOST_BUILD (default build/) for vemra-image. Where QEMU or
the board's kernel cannot be had the tests skip, except in CI (CI=true).
"""
import base64
import os
import re
import shutil
import struct
import subprocess
import zlib

import pexpect
import pytest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
VBOARD = os.path.join(TOP, "virtual-board", "vboard")
BOARD_BUILD = os.environ.get("VBOARD_BUILD", os.path.join(TOP, "build-board"))
HOST_BUILD = os.environ.get("VBOARD_HOST_BUILD", os.path.join(TOP, "build"))
# Software emulation on a loaded machine: generous, and only a bound.
BOOT_TIMEOUT, STEP_TIMEOUT = 180, 90
READY = "vboard: board ready, starting the launcher\n"
EOF = object()  # an answer: end of input (Ctrl-D at the start of a line)


def vboard(*args):
    return subprocess.run([VBOARD, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def unavailable(reason):
    if os.environ.get("CI") == "true":
        pytest.fail(reason + " (CI must run the virtual board)")
    pytest.skip(reason)


@pytest.fixture(scope="session")
def bench(tmp_path_factory):
    """The demo images and the initramfs, which carries them under
    /usr/share/vboard for programs on the board."""
    if shutil.which("qemu-system-ppc") is None:
        unavailable("qemu-system-ppc is not installed (Debian qemu-system-ppc)")
    kernel = vboard("kernel")
    if kernel.returncode != 0:
        unavailable("no kernel for the virtual board: " + kernel.stdout.strip())
    work = tmp_path_factory.mktemp("bench")
    images = str(work / "images")
    r = vboard("images", HOST_BUILD, BOARD_BUILD, images)
    assert r.returncode == 0, r.stdout
    big_image(images)
    initramfs = str(work / "initramfs.cpio.gz")
    r = subprocess.run([VBOARD, "initramfs", BOARD_BUILD, initramfs], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, env=dict(os.environ, VBOARD_IMAGES=images))
    assert r.returncode == 0, r.stdout
    return {"initramfs": initramfs, "images": images, "work": work}


def big_image(images):
    """images/big: a valid container over three 128 KiB sectors: a demo
    tree with 300 KiB of random bytes beside the program, packed and
    checksummed here, independently of the project's code."""
    import gzip
    import io
    import tarfile
    app = os.path.join(BOARD_BUILD, "virtual-board", "mp.elf.strip")
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, data, mode in (("home/bin/mp.elf.strip", open(app, "rb").read(), 0o755),
                                 ("home/etc/release", b"demo big\n", 0o644),
                                 ("home/etc/blob", os.urandom(300 * 1024), 0o644)):
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    with open(os.path.join(images, "big"), "wb") as f:
        f.write(container(gzip.compress(raw.getvalue(), mtime=0)))


def container(payload):
    """An image container: big-endian crc, length, magic, reserved; the
    crc is the JAMCRC (the complement of the common CRC-32) of everything
    after it."""
    body = struct.pack(">III", len(payload), 0x014F5249, 0) + payload
    return struct.pack(">I", zlib.crc32(body) ^ 0xFFFFFFFF) + body


def variant(src, dst, kind):
    """A damaged copy of a valid image: magic (the magic word in
    little-endian order), crc (a reserved byte changed, the crc kept),
    short (one byte missing at the end), huge (length 0x7FFFFFF0: more
    than the board's memory), wrap (length 0xFFFFFFF0: length + 16 wraps
    32 bits), junk (a valid container around what is not an archive)."""
    data = bytearray(open(src, "rb").read())
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
    else:
        assert kind == "valid", kind
    with open(dst, "wb") as f:
        f.write(data)
    return dst


class Run:
    """What one boot of a board showed."""

    def __init__(self, console, state):
        head, ready, rest = console.partition(READY)
        assert ready, "the board did not come up:\n" + console
        self.before = head  # what the board printed before the launcher
        out, _, report = rest.partition("vboard: report\n")
        self.stdout = out
        self.sections = {}
        for part in report.split("--- ")[1:]:
            name, _, body = part.partition("\n")
            self.sections[name] = body.partition("vboard: report end")[0]
        self.stderr = b64(self.sections.get("stderr", ""))
        self.commands, self.times, self.pids = [], [], set()
        for rec in b64(self.sections.get("commands", "")).splitlines():
            up, pid, cmd = rec.split(" ", 2)
            self.times.append(float(up))
            self.pids.add(int(pid))
            self.commands.append(re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), cmd))
        self.files = {}
        for line in self.sections.get("files", "").splitlines():
            path, *attrs = line.split(" ")
            self.files[path] = tuple(attrs) if attrs else "dir"
        self.i2c = self.sections.get("i2c", "").splitlines()
        with open(os.path.join(state, "vpd.bin"), "rb") as f:
            self.vpd = f.read(256)

    def tree(self, top):
        """{path below top: 'dir' or (size, md5)} for /tmp or /user."""
        return {p[len(top) + 1:].rstrip("/"): a for p, a in self.files.items()
                if p.startswith(top + "/") and p != top + "/"}


def b64(text):
    return base64.b64decode("".join(text.split())).decode("utf-8", "replace")


class Board:
    """One board: its flash files and EEPROM in a directory of its own."""

    def __init__(self, bench, state):
        self.bench, self.state = bench, state
        self.vm = None

    def image(self, name):
        return os.path.join(self.bench["images"], name)

    def flash(self, image1=None, image2=None, rescue="recovery", vpd=None, env=(),
              missing=()):
        """A new board. Images are names in the bench's images or
        (name, variant) pairs; vpd maps offsets to bytes."""
        args = []
        for opt, spec in (("--image1", image1), ("--image2", image2), ("--rescue", rescue)):
            if spec is None:
                continue
            name, kind = (spec, "valid") if isinstance(spec, str) else spec
            path = variant(self.image(name), os.path.join(os.path.dirname(self.state),
                                                          opt[2:] + "." + kind), kind)
            args += [opt, path]
        for off, byte in (vpd or {}).items():
            args += ["--vpd", "%d=%d" % (off, byte)]
        r = vboard("flash", self.state, *args, "--", *env)
        assert r.returncode == 0, r.stdout
        for part in missing:
            os.remove(os.path.join(self.state, "flash", part + ".bin"))

    def boot(self, *append):
        self.vm = pexpect.spawn(VBOARD, ["boot", self.bench["initramfs"], self.state, *append],
                                encoding="utf-8", codec_errors="replace", timeout=STEP_TIMEOUT)
        self.vm.delaybeforesend = None
        self.log = []
        self.vm.logfile_read = self
        self.vm.expect_exact(READY.rstrip("\n"), timeout=BOOT_TIMEOUT)

    def write(self, text):  # pexpect's log of what the board printed
        self.log.append(text)

    def flush(self):
        pass

    def console(self):
        # The terminal's CR before each newline and the shell's cursor
        # position queries are the console's, not the programs'.
        return "".join(self.log).replace("\r", "").replace("\x1b[6n", "")

    def expect(self, text, timeout=-1):
        self.vm.expect(r"\r*\n".join(map(re.escape, text.split("\n"))), timeout=timeout)

    def answer(self, text):
        if text is EOF:
            self.vm.sendcontrol("d")
        else:
            self.vm.sendline(text)

    def wait_end(self):
        self.vm.expect(pexpect.EOF, timeout=STEP_TIMEOUT)
        self.vm.close()
        assert self.vm.exitstatus == 0, "QEMU ended with %s" % self.vm.exitstatus
        self.vm = None

    def run_launcher(self, answers=(), append=()):
        """Boots under test, answers the prompts (pairs of the text to wait
        for and the answer), waits for the board to power off or reboot
        and returns what it showed."""
        self.boot("vboard.test", "vboard.poweroff", *append)
        for prompt, text in answers:
            self.expect(prompt)
            self.answer(text)
        self.wait_end()
        return Run(self.console(), self.state)

    def up(self, **flash):
        """A new board (both slots valid unless given), booted: image 1
        runs, then the board's shell."""
        self.flash(**dict(dict(image1="image1", image2="image2"), **flash))
        self.boot()
        self.shell()

    # The board's own shell, once the application has ended (boots
    # without vboard.poweroff).
    def shell(self):
        self.expect("Please press Enter to activate this console.", timeout=STEP_TIMEOUT)
        self.vm.sendline("")
        self.vm.sendline("stty cols 1000 -echo; PS1='vboard# '")
        self.vm.expect_exact("vboard# ")

    def sh(self, command, timeout=-1):
        """Runs a command in the board's shell; returns its exit status,
        standard output and standard error."""
        self.vm.sendline('{ %s; } >/run/out 2>/run/err; echo "=$?="; cat /run/out; echo =:=;'
                         ' cat /run/err; echo =.=' % command)
        self.vm.expect(r"(?s)=(\d+)=\r*\n(.*)=:=\r*\n(.*)=\.=\r*\n", timeout=timeout)
        status, out, err = self.vm.match.groups()
        self.vm.expect_exact("vboard# ")
        return int(status), out.replace("\r", ""), err.replace("\r", "")

    def kill(self):
        self.vm.terminate(force=True)
        self.vm = None


@pytest.fixture
def board(bench, tmp_path, request):
    b = Board(bench, str(tmp_path / "board"))
    yield b
    if b.vm is not None:
        b.vm.terminate(force=True)
    if hasattr(b, "log"):  # shown by pytest when the test failed
        print("--- console of %s ---\n%s" % (request.node.name, b.console()))
