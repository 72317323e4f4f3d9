"""The virtual board driven over its serial console, as a person would.

Each test makes a fresh board (flash files and VPD in its own directory)
and boots it once; the initramfs and the demo images are made once per
run from the native build (VBOARD_BUILD, default build/).

Where QEMU or Debian's kernel cannot be had the tests skip, except in CI
(CI=true), where that is a failure.
"""
import os
import re
import shutil
import subprocess
import time

import pexpect
import pytest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
VBOARD = os.path.join(TOP, "virtual-board", "vboard")
BUILD = os.environ.get("VBOARD_BUILD", os.path.join(TOP, "build"))

# Software emulation on a loaded CI machine: generous, and only a bound.
BOOT_TIMEOUT = 120
STEP_TIMEOUT = 60

LAUNCHER_STARTS = "vboard: board ready, starting the launcher\n"
SHELL_PROMPT = "vboard# "


def unavailable(reason):
    if os.environ.get("CI") == "true":
        pytest.fail(reason + " (CI must run the virtual board)")
    pytest.skip(reason)


def vboard(*args):
    return subprocess.run([VBOARD, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


@pytest.fixture(scope="session")
def board_files(tmp_path_factory):
    """The initramfs and the demo images, made from the native build."""
    if shutil.which("qemu-system-x86_64") is None:
        unavailable("qemu-system-x86_64 is not installed (Debian qemu-system-x86)")
    for exe in ("launcher/vemra-launcher", "vemra-image/vemra-image",
                "virtual-board/zid-Monitor"):
        if not os.access(os.path.join(BUILD, exe), os.X_OK):
            pytest.fail("%s is not built: build the project into %s first" % (exe, BUILD))
    kernel = vboard("kernel")
    if kernel.returncode != 0:
        unavailable("no kernel for the virtual board: " + kernel.stdout.strip())
    work = tmp_path_factory.mktemp("vboard")
    initramfs = str(work / "initramfs.cpio.gz")
    images = str(work / "images")
    for args in (("initramfs", BUILD, initramfs), ("images", BUILD, images)):
        r = vboard(*args)
        assert r.returncode == 0, r.stdout
    return initramfs, images


def console_text(raw):
    """Console bytes as the launcher wrote them: the terminal's CR before
    each newline and the shell's cursor queries removed."""
    return re.sub(r"\x1b\[6n", "", raw).replace("\r", "")


class Board:
    """One virtual board: its state directory and, once booted, QEMU."""

    def __init__(self, initramfs, images, state):
        self.initramfs, self.images, self.state = initramfs, images, state
        self.vm = None
        self.log = []

    def make(self, scenario="normal", *env):
        r = vboard("flash", self.images, self.state, scenario, *env)
        assert r.returncode == 0, r.stdout

    def boot(self):
        self.vm = pexpect.spawn(VBOARD, ["boot", self.initramfs, self.state],
                                encoding="utf-8", codec_errors="replace",
                                timeout=STEP_TIMEOUT)
        self.vm.logfile_read = self
        self.expect_exact(LAUNCHER_STARTS, timeout=BOOT_TIMEOUT)

    def write(self, text):  # pexpect's log of everything read
        self.log.append(text)

    def flush(self):
        pass

    def transcript(self):
        return console_text("".join(self.log))

    def expect_exact(self, text, timeout=-1):
        """Waits for text (newlines as "\\n"); returns the console text
        that came before it."""
        pattern = r"\r*\n".join(re.escape(part) for part in text.split("\n"))
        self.vm.expect(pattern, timeout=timeout)
        return console_text(self.vm.before)

    def answer(self, line):
        self.vm.sendline(line)

    def shell(self):
        """Opens the console shell that init offers once the application
        ended (after its "Please press Enter to activate this console.")."""
        self.vm.sendline("")
        self.expect_exact(SHELL_PROMPT)
        # A wide line, so that the shell does not wrap the echoed commands.
        self.vm.sendline("stty cols 1000")
        self.expect_exact(SHELL_PROMPT)

    def run(self, command):
        """Runs a shell command on the board; returns (status, output)."""
        self.vm.sendline(command + "; echo =$?=")
        self.vm.expect(r"=(\d+)=\r*\n")
        status = int(self.vm.match.group(1))
        out = console_text(self.vm.before)
        out = out.split("\n", 1)[1] if "\n" in out else ""  # the echoed line
        self.expect_exact(SHELL_PROMPT)
        return status, out

    def vpd(self, offset):
        status, out = self.run("i2cget -y 0 0x54 0x%02x" % offset)
        assert status == 0, out
        return int(out.strip(), 16)

    def wait_end(self, timeout=STEP_TIMEOUT):
        """Waits for QEMU to end (the board powered off or rebooted);
        returns the console text since the last expectation."""
        self.vm.expect(pexpect.EOF, timeout=timeout)
        rest = console_text(self.vm.before)
        self.vm.close()
        assert self.vm.exitstatus == 0, "QEMU ended with %s" % self.vm.exitstatus
        self.vm = None
        return rest

    def poweroff(self):
        self.vm.sendline("poweroff")
        assert "reboot: Power down" in self.wait_end()

    def kill(self):
        if self.vm is not None:
            self.vm.terminate(force=True)
            self.vm = None


@pytest.fixture
def board(board_files, tmp_path, request):
    b = Board(*board_files, str(tmp_path / "board"))
    started = time.monotonic()
    yield b
    b.kill()
    # Shown by pytest when the test failed.
    print("--- console of %s (%.1f s) ---" % (request.node.name,
                                            time.monotonic() - started))
    print(b.transcript())
