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


def jamcrc(data):
    return zlib.crc32(data) ^ 0xFFFFFFFF


def container(payload, reserved=0, magic=MAGIC, length=None, crc=None):
    length = len(payload) if length is None else length
    covered = struct.pack(">I", length) + magic + struct.pack(">I", reserved) + payload
    return struct.pack(">I", jamcrc(covered) if crc is None else crc) + covered


def tar_gz(members):
    """A gzip-compressed tar of {name: bytes}, made with Python's tarfile."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tf:
        for name, data in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tf.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def run(*args):
    return subprocess.run([*TOOL, *args], capture_output=True, text=True, timeout=120)


class ToolTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assert_no_temp_left(self):
        left = [n for n in os.listdir(self.dir) if n.startswith(".vemra-image")]
        self.assertEqual(left, [])

    def assert_independent_container(self, img, reserved=0):
        """Big-endian fields, magic bytes at 8, crc = ~CRC-32 of 4 .. 16+length."""
        crc, length, magic, res = struct.unpack(">IIII", img[:16])
        self.assertEqual(img[8:12], MAGIC)
        self.assertEqual(magic, 0x014F5249)
        self.assertEqual(length, len(img) - 16)
        self.assertEqual(res, reserved)
        self.assertEqual(crc, zlib.crc32(img[4:16 + length]) ^ 0xFFFFFFFF)
        self.assertEqual(img[16:18], b"\x1f\x8b")
        return length

    def make_tree(self):
        root = self.path("tree")
        os.makedirs(os.path.join(root, "home", "bin"))
        os.makedirs(os.path.join(root, "etc"))
        elf = bytes((i * 37 + 11) & 0xFF for i in range(50000))
        with open(os.path.join(root, "home", "bin", "mp.elf.strip"), "wb") as f:
            f.write(elf)
        os.chmod(os.path.join(root, "home", "bin", "mp.elf.strip"), 0o755)
        with open(os.path.join(root, "etc", "app.conf"), "w") as f:
            f.write("x=1\n")
        return root, elf


class Help(ToolTest):
    def test_help(self):
        for args in (["--help"], ["help"], ["-h"], ["create", "--help"]):
            r = run(*args)
            self.assertEqual(r.returncode, 0, args)
            self.assertTrue(r.stdout.startswith("usage: vemra-image create -o OUT"), args)
            self.assertEqual(r.stderr, "", args)


class RoundTrip(ToolTest):
    def test_directory_tree(self):
        root, elf = self.make_tree()
        img_path = self.path("app.img")

        r = run("create", "-o", img_path, "-C", root)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        img = self.read("app.img")
        length = self.assert_independent_container(img)
        self.assertEqual(stat.S_IMODE(os.stat(img_path).st_mode), 0o666 & ~self.umask)

        r = run("list", img_path)
        crc = struct.unpack(">I", img[:4])[0]
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout,
                         f"Image:     {img_path}\n"
                         f"CRC:       0x{crc:08X} (valid, computed 0x{crc:08X})\n"
                         f"Length:    {length} bytes\n"
                         "Magic:     0x014F5249 (valid)\n"
                         "Reserved:  0x00000000\n"
                         "Payload:   gzip\n"
                         "Verdict:   valid\n")

        r = run("verify", img_path)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, f"{img_path}: OK\n", ""))

        r = run("extract", img_path, "-o", self.path("payload.tar.gz"))
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertEqual(self.read("payload.tar.gz"), img[16:])

        # Members relative to the tree, no "./" entry, owned by root.
        t = subprocess.run(["tar", "tzf", self.path("payload.tar.gz")],
                           capture_output=True, text=True, check=True)
        self.assertEqual(sorted(t.stdout.split()),
                         ["etc/", "etc/app.conf", "home/", "home/bin/",
                          "home/bin/mp.elf.strip"])
        with tarfile.open(self.path("payload.tar.gz")) as tf:
            for m in tf.getmembers():
                self.assertEqual((m.uid, m.gid), (0, 0), m.name)

        # Unpacked the way the board does it.
        out = self.path("unpacked")
        os.mkdir(out)
        subprocess.run(["tar", "mxzf", self.path("payload.tar.gz")], cwd=out, check=True)
        prog = os.path.join(out, "home", "bin", "mp.elf.strip")
        with open(prog, "rb") as f:
            self.assertEqual(f.read(), elf)
        self.assertTrue(os.stat(prog).st_mode & stat.S_IXUSR)
        self.assert_no_temp_left()

    def test_member_that_looks_like_an_option(self):
        root, _ = self.make_tree()
        self.write("tree/--to-stdout", b"not an option\n")
        r = run("create", "-o", self.path("img"), "-C", root)
        self.assertEqual(r.returncode, 0, r.stderr)
        with tarfile.open(fileobj=io.BytesIO(self.read("img")[16:])) as tf:
            self.assertIn("--to-stdout", tf.getnames())

    def test_payload_file_and_reserved(self):
        payload = tar_gz({"home/bin/mp.elf.strip": b"\x7fELF" + b"\0" * 100})
        src = self.write("payload.tar.gz", payload)
        for arg, value in (("0xA5A5A5A5", 0xA5A5A5A5), ("42", 42),
                           ("4294967295", 0xFFFFFFFF)):
            r = run("create", "-o", self.path("img"), "--reserved", arg, src)
            self.assertEqual((r.returncode, r.stderr), (0, ""), arg)
            img = self.read("img")
            self.assertEqual(img, container(payload, reserved=value), arg)
            self.assert_independent_container(img, reserved=value)
            r = run("list", self.path("img"))
            self.assertIn(f"Reserved:  0x{value:08X}\n", r.stdout)
        r = run("extract", self.path("img"), "-o", self.path("out.tar.gz"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("out.tar.gz"), payload)

    def test_raw_partition_dump(self):
        payload = tar_gz({"home/bin/mp.elf.strip": b"app"})
        img = container(payload)
        dump = self.write("mtd-rescue.bin", img + b"\xff" * (65536 - len(img)))
        r = run("verify", dump)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        r = run("list", dump)
        self.assertIn(f"Length:    {len(payload)} bytes\n", r.stdout)
        r = run("extract", dump, "-o", self.path("p"))
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.read("p"), payload)

    def test_payload_that_is_not_gzip(self):
        src = self.write("plain.tar", b"just bytes")
        r = run("create", "-o", self.path("img"), src)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr,
                         f"vemra-image: warning: {src} does not start like a gzip file; "
                         "the launcher unpacks the payload with tar -z\n")
        self.assertEqual(self.read("img"), container(b"just bytes"))
        self.assertIn("Payload:   not gzip\n", run("list", self.path("img")).stdout)

    def test_empty_payload(self):
        src = self.write("empty", b"")
        self.assertEqual(run("create", "-o", self.path("img"), src).returncode, 0)
        self.assertEqual(self.read("img"), container(b""))
        self.assertIn("Payload:   empty\n", run("list", self.path("img")).stdout)

    @property
    def umask(self):
        m = os.umask(0)
        os.umask(m)
        return m


class Rejected(ToolTest):
    """Images the launcher does not boot: exit 1 and a one-line reason."""

    def test_reasons(self):
        payload = tar_gz({"home/bin/mp.elf.strip": b"app"})
        good = container(payload, reserved=7)
        n = len(good)
        common = zlib.crc32(good[4:])
        cases = [
            ("empty", b"", "invalid header: 0 of 16 bytes"),
            ("15 bytes", good[:15], "invalid header: 15 of 16 bytes"),
            ("little-endian magic", container(payload, magic=b"\x49\x52\x4f\x01"),
             "invalid header: magic 0x49524F01, expected 0x014F5249"),
            ("one byte short", good[:-1], f"truncated: {n - 1} of {n} bytes"),
            ("largest length", container(b"", length=0xFFFFFFEF),
             "truncated: 16 of 4294967295 bytes"),
            ("length wraps", container(b"", length=0xFFFFFFFF),
             "invalid length: 4294967295 bytes, at most 4294967279"),
            ("common CRC-32", good[:0] + struct.pack(">I", common) + good[4:],
             f"checksum mismatch: crc 0x{common:08X}, computed 0x{jamcrc(good[4:]):08X}"),
            ("reserved changed", good[:15] + b"\x06" + good[16:],
             "checksum mismatch: crc 0x%08X, computed 0x%08X"
             % (jamcrc(good[4:]), jamcrc(good[4:15] + b"\x06" + good[16:]))),
        ]
        for name, data, reason in cases:
            with self.subTest(name):
                img = self.write("bad.img", data)
                r = run("verify", img)
                self.assertEqual((r.returncode, r.stdout, r.stderr),
                                 (1, "", f"vemra-image: {img}: {reason}\n"))
                r = run("list", img)
                self.assertEqual(r.returncode, 1)
                self.assertTrue(r.stdout.endswith(f"Verdict:   {reason}\n"), r.stdout)
                r = run("extract", img, "-o", self.path("payload"))
                self.assertEqual((r.returncode, r.stderr),
                                 (1, f"vemra-image: {img}: {reason}\n"))
                self.assertFalse(os.path.exists(self.path("payload")))
                self.assert_no_temp_left()

    def test_list_of_bad_magic_does_not_read_on(self):
        img = self.write("bad.img", container(b"\x1f\x8bxx", magic=b"IRO\x01", crc=5))
        r = run("list", img)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout,
                         f"Image:     {img}\n"
                         "CRC:       0x00000005 (not checked)\n"
                         "Length:    4 bytes\n"
                         "Magic:     0x49524F01 (invalid)\n"
                         "Reserved:  0x00000000\n"
                         "Payload:   not read\n"
                         "Verdict:   invalid header: magic 0x49524F01, expected 0x014F5249\n")

    def test_failed_extract_keeps_old_output(self):
        self.write("payload", b"old")
        img = self.write("bad.img", container(b"\x1f\x8b", crc=0))
        self.assertEqual(run("extract", img, "-o", self.path("payload")).returncode, 1)
        self.assertEqual(self.read("payload"), b"old")
        self.assert_no_temp_left()


class Errors(ToolTest):
    """Usage and I/O errors: exit 2, a message on stderr, nothing written."""

    def assert_error(self, args, message):
        r = run(*args)
        self.assertEqual(r.returncode, 2, (args, r.stderr))
        self.assertEqual(r.stdout, "", args)
        self.assertTrue(r.stderr.startswith("vemra-image: "), (args, r.stderr))
        self.assertIn(message, r.stderr.splitlines()[0], args)
        self.assert_no_temp_left()

    def test_usage(self):
        img = self.write("ok.img", container(tar_gz({"a": b"a"})))
        src = self.write("p.tar.gz", tar_gz({"a": b"a"}))
        out = self.path("out")
        cases = [
            ([], "no command given"),
            (["bogus"], "unknown command 'bogus'"),
            (["--bogus"], "unknown option '--bogus'"),
            (["verify", "-x", img], "verify: unknown option '-x'"),
            (["list", "-o", out, img], "list: unknown option '-o'"),
            (["verify"], "verify: expected one IMAGE file"),
            (["verify", img, img], "verify: expected one IMAGE file"),
            (["create", src], "create: no output file given (-o)"),
            (["create", "-o", out], "create: expected one PAYLOAD file"),
            (["create", "-o", out, "-C", self.dir, src],
             "create: expected no input file with -C"),
            (["create", "-o"], "create: option -o needs a value"),
            (["create", "-o", out, "--reserved", "0x100000000", src],
             "--reserved: not a 32-bit number: '0x100000000'"),
            (["create", "-o", out, "--reserved", "-1", src], "not a 32-bit number: '-1'"),
            (["create", "-o", out, "--reserved", "12abc", src], "not a 32-bit number"),
            (["create", "-o", out, "--reserved", "", src], "not a 32-bit number"),
            (["create", "-o", out, "--reserved", "0x", src], "not a 32-bit number"),
            (["extract", img], "extract: no output file given (-o)"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_error(args, message)
                self.assertFalse(os.path.exists(out))

    def test_files(self):
        missing = self.path("missing")
        src = self.write("p.tar.gz", tar_gz({"a": b"a"}))
        os.mkdir(self.path("emptydir"))
        self.write("old", b"old image")
        cases = [
            (["verify", missing], f"{missing}: No such file or directory"),
            (["list", missing], f"{missing}: No such file or directory"),
            (["verify", self.dir], f"{self.dir}: Is a directory"),
            (["list", self.dir], f"{self.dir}: Is a directory"),
            (["extract", missing, "-o", self.path("old")], "No such file or directory"),
            (["create", "-o", self.path("old"), missing], "No such file or directory"),
            (["create", "-o", self.path("old"), self.dir],
             "Is a directory (use -C to pack a directory)"),
            (["create", "-o", self.path("old"), "-C", missing], "No such file or directory"),
            (["create", "-o", self.path("old"), "-C", src], "Not a directory"),
            (["create", "-o", self.path("old"), "-C", self.path("emptydir")],
             "empty directory, nothing to pack"),
            (["create", "-o", os.path.join(missing, "img"), src],
             "cannot create a file beside it: No such file or directory"),
            (["create", "-o", self.path("emptydir"), src], "Is a directory"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_error(args, message)
                self.assertEqual(self.read("old"), b"old image")
                self.assertEqual(os.listdir(self.path("emptydir")), [])

    def test_payload_too_large_is_refused_before_copying(self):
        with open(self.path("huge"), "wb") as f:
            f.truncate(0xFFFFFFF0)  # sparse
        self.assert_error(["create", "-o", self.path("img"), self.path("huge")],
                          f"{self.path('huge')}: too large: 4294967280 bytes, "
                          "at most 4294967279")
        self.assertFalse(os.path.exists(self.path("img")))

    @unittest.skipIf(os.geteuid() == 0, "root reads every file")
    def test_unreadable(self):
        img = self.write("img", container(b"\x1f\x8b"))
        os.chmod(img, 0)
        self.assert_error(["verify", img], f"{img}: Permission denied")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    TOOL = sys.argv[1:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
