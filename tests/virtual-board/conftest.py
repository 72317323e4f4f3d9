"""The virtual board driven over its serial console, as a person would.

Each test flashes a board of its own (flash files and VPD in its own
directory) and boots it; the initramfs and the demo images are made once
per run from the native build (VBOARD_BUILD, default build/). Where QEMU or
Debian's kernel cannot be had the tests skip, except in CI (CI=true), where
that is a failure.
"""
import io
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
BOOT_TIMEOUT, STEP_TIMEOUT = 120, 60
SHELL_PROMPT = "vboard# "


def vboard(*args):
    return subprocess.run([VBOARD, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def unavailable(reason):
    if os.environ.get("CI") == "true":
        pytest.fail(reason + " (CI must run the virtual board)")
    pytest.skip(reason)


@pytest.fixture(scope="session")
def board_files(tmp_path_factory):
    """The initramfs and the demo images (vboard says what is not built)."""
    if shutil.which("qemu-system-x86_64") is None:
        unavailable("qemu-system-x86_64 is not installed (Debian qemu-system-x86)")
    kernel = vboard("kernel")
    if kernel.returncode != 0:
        unavailable("no kernel for the virtual board: " + kernel.stdout.strip())
    work = tmp_path_factory.mktemp("vboard")
    files = str(work / "initramfs.cpio.gz"), str(work / "images")
    for r in vboard("initramfs", BUILD, files[0]), vboard("images", BUILD, files[1]):
        assert r.returncode == 0, r.stdout
    return files


def console_text(raw):
    """Console bytes as the launcher wrote them: the terminal's CR before
    each newline and the shell's cursor queries removed."""
    return raw.replace("\x1b[6n", "").replace("\r", "")


class Board:
    def __init__(self, initramfs, images, state):
        self.initramfs, self.images, self.state = initramfs, images, state
        self.vm, self.log = None, io.StringIO()

    def boot(self, *flash):
        """Boots the board; with arguments (SCENARIO KEY=VALUE...) on new flash."""
        if flash:
            r = vboard("flash", self.images, self.state, *flash)
            assert r.returncode == 0, r.stdout
        self.vm = pexpect.spawn(VBOARD, ["boot", self.initramfs, self.state], encoding="utf-8",
                                codec_errors="replace", timeout=STEP_TIMEOUT)
        self.vm.logfile_read = self.log
        self.expect("vboard: board ready, starting the launcher\n", timeout=BOOT_TIMEOUT)

    def expect(self, text, timeout=-1):
        """Waits for text; returns the console text that came before it."""
        self.vm.expect(r"\r*\n".join(map(re.escape, text.split("\n"))), timeout=timeout)
        return console_text(self.vm.before)

    def send(self, line):
        self.vm.sendline(line)

    def shell(self):
        """Returns what the application side printed until it ended, then
        opens the shell that init offers."""
        out = self.expect("Please press Enter to activate this console.")
        for line in ("", "stty cols 1000"):  # a wide line: echoed commands stay whole
            self.send(line)
            self.expect(SHELL_PROMPT)
        return out.strip("\n")

    def run(self, command):
        """Runs a shell command on the board; returns (status, output)."""
        self.send(command + "; echo =$?=")
        self.vm.expect(r"=(\d+)=\r*\n")
        status, out = int(self.vm.match.group(1)), console_text(self.vm.before)
        self.expect(SHELL_PROMPT)
        return status, out.partition("\n")[2]  # after the echoed command

    def vpd(self, offset):
        status, out = self.run("i2cget -y 0 0x54 0x%02x" % offset)
        assert status == 0, out
        return int(out, 16)

    def wait_end(self, timeout=STEP_TIMEOUT):
        """Waits for QEMU to end (the board powered off or rebooted);
        returns the console text since the last expectation."""
        self.vm.expect(pexpect.EOF, timeout=timeout)
        self.vm.close()
        assert self.vm.exitstatus == 0, "QEMU ended with %s" % self.vm.exitstatus
        rest, self.vm = console_text(self.vm.before), None
        return rest

    def poweroff(self):
        self.send("poweroff")
        assert "reboot: Power down" in self.wait_end()


@pytest.fixture
def board(board_files, tmp_path, request):
    b = Board(*board_files, str(tmp_path / "board"))
    started = time.monotonic()
    yield b
    if b.vm is not None:
        b.vm.terminate(force=True)
    # Shown by pytest when the test failed.
    print("--- console of %s (%.1f s) ---" % (request.node.name, time.monotonic() - started))
    print(console_text(b.log.getvalue()))
