#!/usr/bin/python3
"""vemra-image end to end: the built binary run as a user runs it.

Containers are built here independently of the tool: struct for the
big-endian header, zlib for the checksum (the container's crc is the
bitwise NOT of the common CRC-32 of bytes 4 .. 16 + length).

usage: test_cli.py [EMULATOR...] PATH-TO-vemra-image
"""
import os
import random
import stat
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zlib

TOOL = []  # the command line that runs the tool
MAGIC = b"\x01\x4f\x52\x49"


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


def container(payload, reserved=0, magic=MAGIC, length=None):
    length = len(payload) if length is None else length
    covered = struct.pack(">I", length) + magic + struct.pack(">I", reserved) + payload
    return struct.pack(">I", jamcrc(covered)) + covered


def run(*args):
    return subprocess.run([*TOOL, *args], capture_output=True, text=True, timeout=120)


class Tool(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assert_run(self, args, status, out="", err=""):
        """Exit status and both streams exactly; no temporary file left."""
        r = run(*args)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (status, out, err), args)
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".vemra")], [])

    def test_round_trip(self):
        """A tree packed, checked and unpacked; the container as built here."""
        elf = random.Random(1).randbytes(200000)  # incompressible: several read chunks
        os.chmod(self.write("tree/home/bin/mp.elf.strip", elf), 0o755)
        self.write("tree/--to-stdout", b"a member that looks like an option\n")
        if os.geteuid() == 0:  # a file of someone else's, recorded as root's
            os.chown(self.path("tree/--to-stdout"), 1234, 1234)
        img = self.path("app.img")
        self.assert_run(["create", "-o", img, "--reserved", "0xA5A5A5A5", "-C", self.path("tree")], 0)
        data = self.read("app.img")
        self.assertEqual(data, container(data[16:], reserved=0xA5A5A5A5))
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(stat.S_IMODE(os.stat(img).st_mode), 0o666 & ~umask)
        self.assert_run(["verify", img], 0, f"{img}: OK\n")
        self.assert_run(["extract", img, "-o", self.path("p.tar.gz")], 0)
        self.assertEqual(self.read("p.tar.gz"), data[16:])
        # Unpacked in /tmp on the board: members relative to the tree (no
        # "./" entry), owned by root, the program executable.
        with tarfile.open(self.path("p.tar.gz")) as tf:
            self.assertEqual(sorted((m.name, m.uid, m.gid) for m in tf),
                             [(n, 0, 0) for n in ("--to-stdout", "home", "home/bin", "home/bin/mp.elf.strip")])
            prog = tf.getmember("home/bin/mp.elf.strip")
            self.assertTrue(prog.mode & stat.S_IXUSR)
            self.assertEqual(tf.extractfile(prog).read(), elf)

        plain = self.write("plain", b"just bytes")
        self.assert_run(["create", "-o", img, plain], 0, "",
                        f"vemra-image: warning: {plain} does not start like a gzip file; "
                        "the launcher unpacks the payload with tar -z\n")
        self.assertEqual(self.read("app.img"), container(b"just bytes"))
        r = run("--help")
        self.assertEqual((r.returncode, r.stderr, r.stdout[:32]), (0, "", "usage: vemra-image create -o OUT"))

    def test_list(self):
        """The whole listing of a raw partition dump: the erased flash after the image is ignored."""
        payload = b"\x1f\x8b" + bytes(100)
        crc = jamcrc(container(payload, reserved=0x12345678)[4:])
        dump = self.write("mtd-rescue.bin", container(payload, reserved=0x12345678) + b"\xff" * 65536)
        self.assert_run(["list", dump], 0,
                        f"Image:     {dump}\n"
                        f"CRC:       0x{crc:08X} (valid, computed 0x{crc:08X})\n"
                        "Length:    102 bytes\n"
                        "Magic:     0x014F5249 (valid)\n"
                        "Reserved:  0x12345678\n"
                        "Payload:   gzip\n"
                        "Verdict:   valid\n")

    def test_refusals(self):
        """Images the launcher does not boot (status 1), usage and I/O errors
        (status 2): the message on stderr, nothing written."""
        p, missing = self.path, self.path("missing")
        good = container(b"\x1f\x8bapp", reserved=7)
        images = [
            (b"", "invalid header: 0 of 16 bytes"),
            (container(b"\x1f\x8b", magic=MAGIC[::-1], length=0xFFFFFFF0),  # the magic is checked first
             "invalid header: magic 0x49524F01, expected 0x014F5249"),
            (container(bytes(65536), length=0x20000), "truncated: 65552 of 131088 bytes"),
            (container(b"", length=0xFFFFFFEF), "truncated: 16 of 4294967295 bytes"),
            (container(b"", length=0xFFFFFFF0), "invalid length: 4294967280 bytes, at most 4294967279"),
            (struct.pack(">I", zlib.crc32(good[4:])) + good[4:],
             f"checksum mismatch: crc 0x{zlib.crc32(good[4:]):08X}, computed 0x{jamcrc(good[4:]):08X}"),
        ]
        old = self.write("old", b"old image")
        img = self.write("ok.img", good)
        src = self.write("p.tar.gz", b"\x1f\x8b")
        os.mkdir(p("empty"))
        with open(p("huge"), "wb") as f:
            f.truncate(0xFFFFFFF0)  # sparse: refused before anything is copied
        rows = []
        for i, (data, reason) in enumerate(images):
            bad = self.write(f"bad{i}.img", data)
            rows += [(["verify", bad], 1, f"{bad}: {reason}\n"), (["extract", bad, "-o", old], 1, f"{bad}: {reason}\n")]
            r = run("list", bad)
            self.assertEqual((r.returncode, r.stderr, r.stdout.endswith(f"\nVerdict:   {reason}\n")), (1, "", True))
        usage = [
            ([], "no command given"),
            (["bogus"], "unknown command 'bogus'"),
            (["list", "-o", old, img], "list: unknown option '-o'"),
            (["verify", img, img], "verify: expected one IMAGE file"),
            (["extract", img], "extract: no output file given (-o)"),
            (["create", "-o", old, "-C", p("empty"), src], "create: expected no input file with -C"),
            (["create", "-o"], "create: option -o needs a value"),
            (["create", "-o", old, "--reserved", "0x100000000", src], "--reserved: not a 32-bit number: '0x100000000'"),
            (["create", "-o", old, "--reserved", "12abc", src], "--reserved: not a 32-bit number: '12abc'"),
        ]
        rows += [(args, 2, f"{msg}\nTry 'vemra-image --help'.\n") for args, msg in usage]
        rows += [(args, 2, msg + "\n") for args, msg in [
            (["verify", missing], f"{missing}: No such file or directory"),
            (["verify", self.dir], f"{self.dir}: Is a directory"),
            (["create", "-o", old, self.dir], f"{self.dir}: Is a directory (use -C to pack a directory)"),
            (["create", "-o", old, p("huge")], f"{p('huge')}: too large: 4294967280 bytes, at most 4294967279"),
            (["create", "-o", old, "-C", src], f"{src}: Not a directory"),
            (["create", "-o", old, "-C", p("empty")], f"{p('empty')}: empty directory, nothing to pack"),
            (["create", "-o", p("missing", "img"), src],
             f"{p('missing', 'img')}: cannot create a file beside it: No such file or directory"),
            (["create", "-o", p("empty"), src], f"{p('empty')}: Is a directory"),
        ]]
        for args, status, err in rows:
            with self.subTest(args=args):
                self.assert_run(args, status, "", "vemra-image: " + err)
                self.assertEqual(self.read("old"), b"old image")
                self.assertEqual(os.listdir(p("empty")), [])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    TOOL = sys.argv[1:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
