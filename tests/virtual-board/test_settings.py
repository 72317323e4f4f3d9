# SPDX-License-Identifier: MIT
# The switches that the launcher reads from the boot loader's environment,
# read back on the board with `vemra-boot status -p`, which runs the
# launcher's own reader over the environment partition. One board: each
# row writes the partition anew.
import base64
import os
import subprocess

KEYS = ("gdb", "gdbserver", "gdbport", "shell", "memchk", "rescue_mode")


def pad(start, end):
    # A variable from partition offset start whose NUL ends just before
    # offset end.
    return "pad=" + "x" * (end - start - len("pad=") - 1)


# The environment (variables from partition offset 4 on, or raw bytes from
# offset 0), then gdb, gdbserver, gdbport, shell, memchk, rescue_mode.
ROWS = [
    (["gdb=on", "gdbserver=192.168.1.10", "gdbport=2345"], (1, "192.168.1.10", 2345, 0, 0, 0)),
    (["gdb=online", "gdbserver=1.2.3.256", "gdbport=80x", "shell=On", "memchk=on"],
     (1, "1.2.4.0", 80, 0, 1, 0)),
    (["gdb=ON", "gdbserver=10.0.0.1:2345", "gdbport=abc", "diagnostics=Rescue"],
     (0, "10.0.0.1", 0, 0, 0, 0)),
    (["gdbserver=10.0.0", "gdbport=-1", "diagnostics=rescue-me"], (0, "0.0.0.0", -1, 0, 0, 1)),
    (["gdbserver=-1.0.0.0", "gdbport=99999999999"], (0, "255.0.0.0", 2147483647, 0, 0, 0)),
    (["gdbserver= 1. 2. 3. 4", "gdbport=-99999999999"], (0, "1.2.3.4", -2147483648, 0, 0, 0)),
    # A blank before a dot; an empty value reads on into the next variable;
    # a name ending in shell.
    (["gdbserver=10 .0.0.1", "gdbport=", "9lives=1", "noshell=on", "shell=off"],
     (0, "0.0.0.0", 9, 1, 0, 0)),
    # The window ends at byte 1283: "on" seen whole, "on" cut after its o,
    # an address cut after its third number.
    ([pad(4, 1276), "shell=on"], (0, "0.0.0.0", 0, 1, 0, 0)),
    ([pad(4, 1277), "shell=on"], (0, "0.0.0.0", 0, 0, 0, 0)),
    (["gdbport=7", pad(14, 1268), "gdbserver=10.0.0.1"], (0, "0.0.0.0", 7, 0, 0, 0)),
    # Key text in the checksum's bytes is not seen; an erased partition.
    (b"gdb=on\0memchk=on\0\xff", (0, "0.0.0.0", 0, 0, 1, 0)),
    (b"\xff" * 2048, (0, "0.0.0.0", 0, 0, 0, 0)),
]


def environment(tmp_path, env):
    if isinstance(env, bytes):
        return env
    src, out = tmp_path / "env.txt", tmp_path / "env.bin"
    src.write_text("".join(v + "\n" for v in env))
    subprocess.run(["mkenvimage", "-b", "-s", "2048", "-o", str(out), str(src)], check=True)
    return out.read_bytes()


def test_key_table(board, tmp_path):
    board.up()
    failures = []
    for env, want in ROWS:
        text = base64.b64encode(environment(tmp_path, env)).decode()
        board.sh("rm -f /tmp/env.b64")
        for i in range(0, len(text), 800):  # the shell's line editor takes 1024
            board.sh("echo %s >> /tmp/env.b64" % text[i:i + 800])
        status, out, err = board.sh("base64 -d /tmp/env.b64 > /tmp/env && flash_eraseall -q"
                                    " /dev/mtd-ubootenv && cat /tmp/env > /dev/mtd-ubootenv"
                                    " && vemra-boot status -p")
        got = dict(line.split("=", 1) for line in out.splitlines())
        got = tuple(got.get(k) for k in KEYS)
        if got != tuple(str(v) for v in want):
            failures.append((env if isinstance(env, bytes) else env[-1], want, got, err))
    assert not failures
