#!/usr/bin/python3
"""vemra-image end to end: the built binary run as a user runs it.

Containers are built and checked here independently of the tool: struct for
the big-endian header, zlib for the checksum (the container's crc is the
bitwise NOT of the common CRC-32 of bytes 4 .. 16 + length).

usage: test_cli.py [EMULATOR...] PATH-TO-vemra-image
"""
import io
import os
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
NOT_GZIP = ("vemra-image: warning: {} does not start like a gzip file; "
            "the launcher unpacks the payload with tar -z\n")


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


def container(payload, reserved=0, magic=MAGIC, length=None, crc=None):
    length = len(payload) if length is None else length
    covered = struct.pack(">I", length) + magic + struct.pack(">I", reserved) + payload
    return struct.pack(">I", jamcrc(covered) if crc is None else crc) + covered


def tar_gz(name, data):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tf:
        info = tarfile.TarInfo(name)
        info.size = len(data)
        tf.addfile(info, io.BytesIO(data))
    return buf.getvalue()


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

    def test_help(self):
        for args in (["--help"], ["help"], ["-h"], ["create", "--help"]):
            r = run(*args)
            self.assertEqual((r.returncode, r.stderr), (0, ""), args)
            self.assertTrue(r.stdout.startswith("usage: vemra-image create -o OUT"), args)

    def test_directory_round_trip(self):
        elf = bytes((i * 37 + 11) & 0xFF for i in range(50000))
        os.chmod(self.write("tree/home/bin/mp.elf.strip", elf), 0o755)
        self.write("tree/etc/app.conf", b"x=1\n")
        self.write("tree/--to-stdout", b"a member that looks like an option\n")
        if os.geteuid() == 0:  # a file of someone else's, recorded as root's
            os.chown(self.path("tree/etc/app.conf"), 1234, 1234)
        img_path = self.path("app.img")
        self.assert_run(["create", "-o", img_path, "-C", self.path("tree")], 0)

        img = self.read("app.img")
        crc, length, _, reserved = struct.unpack(">IIII", img[:16])
        self.assertEqual((img[8:12], length, reserved), (MAGIC, len(img) - 16, 0))
        self.assertEqual(crc, jamcrc(img[4:]))
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(stat.S_IMODE(os.stat(img_path).st_mode), 0o666 & ~umask)
        self.assert_run(["verify", img_path], 0, f"{img_path}: OK\n")
        self.assert_run(["extract", img_path, "-o", self.path("p.tar.gz")], 0)
        self.assertEqual(self.read("p.tar.gz"), img[16:])

        # Members relative to the tree (unpacked in /tmp on the board: no
        # "./" entry), owned by root, the program executable.
        with tarfile.open(self.path("p.tar.gz")) as tf:
            self.assertEqual(sorted((m.name, m.uid, m.gid) for m in tf),
                             [(n, 0, 0) for n in ("--to-stdout", "etc", "etc/app.conf",
                                                  "home", "home/bin", "home/bin/mp.elf.strip")])
            prog = tf.getmember("home/bin/mp.elf.strip")
            self.assertTrue(prog.mode & stat.S_IXUSR)
            self.assertEqual(tf.extractfile(prog).read(), elf)

    def test_payload_file(self):
        payload = tar_gz("home/bin/mp.elf.strip", b"\x7fELF" + bytes(100))
        src = self.write("p.tar.gz", payload)
        for arg, value in (("0xA5A5A5A5", 0xA5A5A5A5), ("42", 42), ("4294967295", 0xFFFFFFFF)):
            self.assert_run(["create", "-o", self.path("img"), "--reserved", arg, src], 0)
            self.assertEqual(self.read("img"), container(payload, reserved=value), arg)
        for data, kind in ((b"just bytes", "not gzip"), (b"", "empty")):
            src = self.write("plain", data)
            self.assert_run(["create", "-o", self.path("img"), src], 0, "", NOT_GZIP.format(src))
            self.assertEqual(self.read("img"), container(data))
            self.assertIn(f"Payload:   {kind}\n", run("list", self.path("img")).stdout)

    def test_list(self):
        payload = tar_gz("home/bin/mp.elf.strip", b"app")
        img = container(payload, reserved=0x12345678)
        crc = jamcrc(img[4:])
        # A raw dump of a partition: the erased flash after the image is ignored.
        dump = self.write("mtd-rescue.bin", img + b"\xff" * 65536)
        self.assert_run(["list", dump], 0,
                        f"Image:     {dump}\n"
                        f"CRC:       0x{crc:08X} (valid, computed 0x{crc:08X})\n"
                        f"Length:    {len(payload)} bytes\n"
                        "Magic:     0x014F5249 (valid)\n"
                        "Reserved:  0x12345678\n"
                        "Payload:   gzip\n"
                        "Verdict:   valid\n")
        self.assert_run(["verify", dump], 0, f"{dump}: OK\n")
        self.assert_run(["extract", dump, "-o", self.path("p")], 0)
        self.assertEqual(self.read("p"), payload)

        bad = self.write("bad.img", container(b"\x1f\x8bxx", magic=b"IRO\x01", crc=5))
        self.assert_run(["list", bad], 1,
                        f"Image:     {bad}\n"
                        "CRC:       0x00000005 (not checked)\n"
                        "Length:    4 bytes\n"
                        "Magic:     0x49524F01 (invalid)\n"
                        "Reserved:  0x00000000\n"
                        "Payload:   not read\n"
                        "Verdict:   invalid header: magic 0x49524F01, expected 0x014F5249\n")

    def test_rejected(self):
        """Images the launcher does not boot: exit 1, a one-line reason, no output file."""
        good = container(tar_gz("home/bin/mp.elf.strip", b"app"), reserved=7)
        common = zlib.crc32(good[4:])
        cases = [
            (b"", "invalid header: 0 of 16 bytes"),
            (container(b"\x1f\x8b", magic=b"\x49\x52\x4f\x01"),
             "invalid header: magic 0x49524F01, expected 0x014F5249"),
            (container(b"", length=0xFFFFFFEF), "truncated: 16 of 4294967295 bytes"),
            (container(b"", length=0xFFFFFFFF),
             "invalid length: 4294967295 bytes, at most 4294967279"),
            (struct.pack(">I", common) + good[4:],
             f"checksum mismatch: crc 0x{common:08X}, computed 0x{jamcrc(good[4:]):08X}"),
        ]
        out = self.write("payload", b"old")
        for data, reason in cases:
            with self.subTest(reason):
                img = self.write("bad.img", data)
                err = f"vemra-image: {img}: {reason}\n"
                self.assert_run(["verify", img], 1, "", err)
                self.assert_run(["extract", img, "-o", out], 1, "", err)
                self.assertEqual(self.read("payload"), b"old")
                r = run("list", img)
                self.assertEqual((r.returncode, r.stderr), (1, ""))
                self.assertTrue(r.stdout.endswith(f"Verdict:   {reason}\n"), r.stdout)

    def test_errors(self):
        """Usage and I/O errors: exit 2, the message on stderr, nothing written."""
        p, missing = self.path, self.path("missing")
        img = self.write("ok.img", container(b"\x1f\x8b"))
        src = self.write("p.tar.gz", b"\x1f\x8b")
        old = self.write("old", b"old image")
        os.mkdir(p("empty"))
        with open(p("huge"), "wb") as f:
            f.truncate(0xFFFFFFF0)  # sparse: refused before anything is copied
        usage = [
            ([], "no command given"),
            (["bogus"], "unknown command 'bogus'"),
            (["--bogus"], "unknown option '--bogus'"),
            (["list", "-o", old, img], "list: unknown option '-o'"),
            (["verify"], "verify: expected one IMAGE file"),
            (["verify", img, img], "verify: expected one IMAGE file"),
            (["create", src], "create: no output file given (-o)"),
            (["create", "-o", old], "create: expected one PAYLOAD file"),
            (["create", "-o", old, "-C", p("empty"), src],
             "create: expected no input file with -C"),
            (["create", "-o"], "create: option -o needs a value"),
            (["extract", img], "extract: no output file given (-o)"),
        ] + [(["create", "-o", old, "--reserved", n, src],
              f"--reserved: not a 32-bit number: '{n}'") for n in ("0x100000000", "12abc", "")]
        files = [
            (["verify", missing], f"{missing}: No such file or directory"),
            (["verify", self.dir], f"{self.dir}: Is a directory"),
            (["extract", missing, "-o", old], f"{missing}: No such file or directory"),
            (["create", "-o", old, missing], f"{missing}: No such file or directory"),
            (["create", "-o", old, self.dir],
             f"{self.dir}: Is a directory (use -C to pack a directory)"),
            (["create", "-o", old, p("huge")],
             f"{p('huge')}: too large: 4294967280 bytes, at most 4294967279"),
            (["create", "-o", old, "-C", missing], f"{missing}: No such file or directory"),
            (["create", "-o", old, "-C", src], f"{src}: Not a directory"),
            (["create", "-o", old, "-C", p("empty")],
             f"{p('empty')}: empty directory, nothing to pack"),
            (["create", "-o", p("missing", "img"), src],
             f"{p('missing', 'img')}: cannot create a file beside it: No such file or directory"),
            (["create", "-o", p("empty"), src], f"{p('empty')}: Is a directory"),
        ]
        for args, err in ([(a, m + "\nTry 'vemra-image --help'.\n") for a, m in usage]
                          + [(a, m + "\n") for a, m in files]):
            with self.subTest(args=args):
                self.assert_run(args, 2, "", "vemra-image: " + err)
                self.assertEqual(self.read("old"), b"old image")
                self.assertEqual(os.listdir(p("empty")), [])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    TOOL = sys.argv[1:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
