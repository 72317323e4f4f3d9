#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# vemra-image end to end: the built binary run as a user runs it.
#
# Containers are built here independently of the tool: struct for the
# big-endian header, zlib for the checksum (the container's crc is the
# bitwise NOT of the common CRC-32 of bytes 4 .. 16 + length).
#
# usage: test_cli.py VERSION [EMULATOR...] PATH-TO-vemra-image
import base64
import hashlib
import os
import pathlib
import pty
import stat
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zlib

# TOOL, set by main: the command line that runs the tool.
MAGIC = b"\x01\x4f\x52\x49"


def container(payload, reserved=0, magic=MAGIC, length=None):
    covered = struct.pack(">I4sI", len(payload) if length is None else length, magic, reserved) + payload
    return struct.pack(">I", zlib.crc32(covered) ^ 0xFFFFFFFF) + covered


def run(*args, feed=None):
    # feed: bytes the tool reads from a pipe, /dev/stdin.
    r = subprocess.run([*TOOL, *args], input=feed, capture_output=True, timeout=120)
    return subprocess.CompletedProcess(r.args, r.returncode, r.stdout.decode(), r.stderr.decode())


class Tool(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))

    def write(self, name, data):
        (self.dir / name).write_bytes(data)
        return self.dir / name

    def assert_run(self, args, status, out="", err="", feed=None):
        # Exit status and both streams exactly; no temporary file left.
        r = run(*args, feed=feed)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (status, out, err), args)
        self.assertEqual(list(self.dir.glob(".vemra*")), [])

    def test_round_trip(self):
        # A tree packed, checked, listed and unpacked; the container as built here.
        elf = os.urandom(200000)  # incompressible: several read chunks
        (self.dir / "tree/home/bin").mkdir(parents=True)
        self.write("tree/home/bin/mp.elf.strip", elf).chmod(0o755)
        member = self.write("tree/--to-stdout", b"a member that looks like an option\n")
        self.write("tree/a", b"")  # created after: members come in name order, not the directory's
        if os.geteuid() == 0:  # a file of someone else's, recorded as root's
            os.chown(member, 1234, 1234)
        img, tgz = self.dir / "app.img", self.dir / "p.tar.gz"
        self.assert_run(["create", "-o", img, "--reserved", "0xA5A5A5A5", "-C", self.dir / "tree"], 0)
        data = img.read_bytes()
        self.assertEqual(data, container(data[16:], reserved=0xA5A5A5A5))
        self.assertEqual(img.stat().st_mode & 0o777, 0o664)  # 0666 under the umask of main
        self.assert_run(["verify", img], 0, f"{img}: OK\n")
        # The whole listing of a raw partition dump read from a pipe: the erased flash after the image is ignored.
        dump, crc = data + b"\xff" * 65536, data[:4].hex().upper()
        self.assert_run(["list", "/dev/stdin"], 0, f"Image:     /dev/stdin\nCRC:       0x{crc} (valid, computed 0x{crc})\n"
                        f"Length:    {len(data) - 16} bytes\nMagic:     0x014F5249 (valid)\nReserved:  0xA5A5A5A5\n"
                        "Payload:   gzip\nVerdict:   valid\n", feed=dump)
        # Extracted from a pipe, read once from its start; cut short, it is refused.
        self.assert_run(["extract", "/dev/stdin", "-o", tgz], 0, feed=dump)
        self.assertEqual(tgz.read_bytes(), data[16:])
        for feed, verdict in ((data[:70000], f"truncated: 70000 of {len(data)} bytes"),
                              (data[:16], f"truncated: 16 of {len(data)} bytes"), (data[:10], "invalid header: 10 of 16 bytes")):
            self.assert_run(["verify", "/dev/stdin"], 1, "", f"vemra-image: /dev/stdin: {verdict}\n", feed)
        # Unpacked in /tmp on the board: members relative to the tree (no
        # "./" entry), owned by root, the program executable.
        with tarfile.open(tgz) as tf:
            exe = tf.getmember("home/bin/mp.elf.strip")
            self.assertEqual(([(m.name, m.uid, m.gid) for m in tf], exe.mode & 0o100, tf.extractfile(exe).read()),
                             ([(n, 0, 0) for n in ("--to-stdout", "a", "home", "home/bin", exe.name)], 0o100, elf))

        plain = self.write("plain", b"just bytes")
        self.assert_run(["create", "-o", img, plain], 0, "", f"vemra-image: warning: {plain} does not start like a "
                        "gzip file; the launcher unpacks the payload with tar -z\n")
        self.assertEqual(img.read_bytes(), container(b"just bytes"))
        for flag in ("--help", "-h"):
            r = run(flag)
            self.assertEqual((r.returncode, r.stderr, r.stdout[:32]), (0, "", "usage: vemra-image create -o OUT"))
        self.assert_run(["--version"], 0, f"vemra-image {VERSION}\n")

    def test_outputs(self):
        # -o through symbolic links (which stay), to standard output and to
        # a pipe's device path; a tree without the program is packed with a
        # warning.
        d, payload = self.dir, b"\x1f\x8bpayload"
        src, want = self.write("p.tar.gz", payload), container(payload)
        img = self.write("img", want)
        (d / "real").mkdir()
        self.write("real/old", b"old")
        os.symlink("real/old", d / "link")
        os.symlink("link", d / "chain")
        os.symlink(d / "real/new", d / "dangling")
        for out, target in (("link", "real/old"), ("chain", "real/old"), ("dangling", "real/new")):
            with self.subTest(out=out):
                self.assert_run(["create", "-o", d / out, src], 0)
                self.assertEqual(((d / out).is_symlink(), (d / target).read_bytes()), (True, want))
        self.assertEqual(sorted(os.listdir(d / "real")), ["new", "old"])  # nothing else left beside them
        for out in ("-", "/dev/stdout"):
            with self.subTest(out=out):
                r = subprocess.run([*TOOL, "create", "-o", out, src], capture_output=True)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, want, b""))
                r = subprocess.run([*TOOL, "extract", img, "-o", out], capture_output=True)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, payload, b""))
        # A FIFO gets the bytes and stays a FIFO; a link loop, a terminal
        # and no temporary directory are refused.
        os.mkfifo(d / "fifo")
        reader = subprocess.Popen(["cat", d / "fifo"], stdout=subprocess.PIPE)
        self.assert_run(["create", "-o", d / "fifo", src], 0)
        self.assertEqual((reader.communicate(timeout=60)[0], stat.S_ISFIFO(os.lstat(d / "fifo").st_mode)), (want, True))
        os.symlink("loop2", d / "loop1")
        os.symlink("loop1", d / "loop2")
        self.assert_run(["create", "-o", d / "loop1", src], 2, "",
                        f"vemra-image: {d}/loop1: Too many levels of symbolic links\n")
        leader, terminal = pty.openpty()
        r = subprocess.run([*TOOL, "create", "-o", "-", src], stdout=terminal, stderr=subprocess.PIPE)
        os.close(terminal)
        os.close(leader)
        self.assertEqual((r.returncode, r.stderr), (2, b"vemra-image: standard output: a terminal: the output is "
                                                       b"not written to one\n"))
        r = subprocess.run([*TOOL, "create", "-o", "-", src], capture_output=True, env={**os.environ, "TMPDIR": str(d / "none")})
        self.assertEqual((r.returncode, r.stdout, r.stderr), (2, b"", b"vemra-image: standard output: cannot create a file "
                                                                 b"in the temporary directory: No such file or directory\n"))
        # A failed run writes nothing to the stream.
        self.assert_run(["extract", self.write("bad", want[:-1]), "-o", "-"], 1, "",
                        f"vemra-image: {d}/bad: truncated: {len(want) - 1} of {len(want)} bytes\n")
        (d / "tree/home").mkdir(parents=True)
        self.write("tree/home/app", b"")
        self.assert_run(["create", "-o", d / "t.img", "-C", d / "tree"], 0, "", f"vemra-image: warning: {d}/tree holds "
                        "no home/bin/mp.elf.strip, the program the launcher starts\n")
        self.assert_run(["verify", d / "t.img"], 0, f"{d}/t.img: OK\n")

    def test_refusals(self):
        # Images the launcher does not boot (status 1), usage and I/O errors
        # (status 2): the message on stderr, nothing written.
        d, good = self.dir, container(b"\x1f\x8bapp", reserved=7)
        old, img, src = self.write("old", b"old image"), self.write("ok.img", good), self.write("p.tar.gz", b"\x1f\x8b")
        (d / "empty").mkdir()
        os.truncate(self.write("huge", b""), 0xFFFFFFF0)  # sparse: refused before anything is copied
        rows = []
        for i, (data, reason) in enumerate([
                (b"", "invalid header: 0 of 16 bytes"),
                (container(b"\x1f\x8b", magic=MAGIC[::-1], length=0xFFFFFFF0),  # the magic is checked first
                 "invalid header: magic 0x49524F01, expected 0x014F5249"),
                (container(bytes(65536), length=0x20000), "truncated: 65552 of 131088 bytes"),
                (container(b"", length=0xFFFFFFEF), "truncated: 16 of 4294967295 bytes"),
                (container(b"", length=0xFFFFFFF0), "invalid length: 4294967280 bytes, at most 4294967279"),
                (struct.pack(">I", zlib.crc32(good[4:])) + good[4:],
                 f"checksum mismatch: crc 0x{zlib.crc32(good[4:]):08X}, computed 0x{good[:4].hex().upper()}")]):
            bad = self.write(f"bad{i}.img", data)
            rows += [(["verify", bad], 1, f"{bad}: {reason}"), (["extract", bad, "-o", old], 1, f"{bad}: {reason}")]
            r = run("list", bad)
            self.assertEqual((r.returncode, r.stderr, r.stdout.endswith(f"\nVerdict:   {reason}\n")), (1, "", True))
            if i == 1:  # a wrong magic: marked, the checksum and the payload not read
                self.assertIn(" (not checked)\nLength:    4294967280 bytes\nMagic:     0x49524F01 (invalid)\n"
                              "Reserved:  0x00000000\nPayload:   not read\n", r.stdout)
        rows += [(args, 2, msg + "\nTry 'vemra-image --help'.") for args, msg in [
            ([], "no command given"),
            (["bogus"], "unknown command 'bogus'"),
            (["-x"], "unknown option '-x'"),
            (["verify", "--signature", old, img], "verify: --signature goes with --key"),
            (["list", "-o", old, img], "list: unknown option '-o'"),
            (["verify", img, img], "verify: expected one IMAGE file"),
            (["extract", img], "extract: no output file given (-o)"),
            (["create", "-o", old, "-C", d / "empty", src], "create: expected no input file with -C"),
            (["create", "-o"], "create: option -o needs a value"),
            (["create", "-o", old, "--reserved", "0x100000000", src], "--reserved: not a 32-bit number: '0x100000000'"),
            (["create", "-o", old, "--reserved", "12abc", src], "--reserved: not a 32-bit number: '12abc'"),
            (["create", "-o", old, "--reserved", "0x", src], "--reserved: not a 32-bit number: '0x'"),
        ]] + [(args, 2, msg) for args, msg in [
            *[(args, f"{d}/missing: No such file or directory") for args in
              (["verify", d / "missing"], ["list", d / "missing"], ["extract", d / "missing", "-o", old])],
            (["verify", d], f"{d}: Is a directory"),
            (["create", "-o", old, d], f"{d}: Is a directory (use -C to pack a directory)"),
            (["create", "-o", old, d / "huge"], f"{d}/huge: too large: 4294967280 bytes, at most 4294967279"),
            (["create", "-o", old, "-C", src], f"{src}: Not a directory"),
            (["create", "-o", old, "-C", d / "empty"], f"{d}/empty: empty directory, nothing to pack"),
            *[([*args, "-o", d / "missing/img"], f"{d}/missing/img: cannot create a file beside it: No such file or "
              "directory") for args in (["create", src], ["extract", img])],
            (["create", "-o", d / "empty", src], f"{d}/empty: Is a directory"),
        ]]
        for args, status, err in rows:
            with self.subTest(args=args):
                self.assert_run(args, status, "", f"vemra-image: {err}\n")
                self.assertEqual((old.read_bytes(), os.listdir(d / "empty")), (b"old image", []))


    def test_signatures(self):
        # verify --key: keys and signatures made by Debian's minisign; the verdicts the board gives.
        d, good = self.dir, container(b"\x1f\x8bapp")
        img, bad, trusted = self.write("img", good), self.write("bad", good[:-1] + b"x"), d / "trusted.pub"
        for key in ("trusted", "other"):
            subprocess.run(["minisign", "-GW", "-p", d / f"{key}.pub", "-s", d / f"{key}.key"], check=True, capture_output=True)
        for name, key in (("img", "trusted"), ("foreign", "other"), ("bad", "trusted")):
            subprocess.run(["minisign", "-S", "-s", d / f"{key}.key", "-m", bad if name == "bad" else img, "-x",
                            d / f"{name}.sig"], check=True, capture_output=True)
        key_id = "%016X" % int.from_bytes(base64.b64decode((d / "foreign.sig").read_text().splitlines()[1])[2:10], "little")
        for args, status, out, err in (
                ([img, "--signature", d / "img.sig"], 0, f"{img}: OK, signed by a trusted key\n", ""),
                (["/dev/stdin", "--signature", d / "img.sig"], 0, "/dev/stdin: OK, signed by a trusted key\n", ""),
                ([img], 1, "", f"{img}.minisig: no signature: No such file or directory"),
                ([img, "--signature", self.write("x.sig", b"x")], 1, "", f"{d}/x.sig: not a minisign signature file"),
                ([img, "--signature", d / "foreign.sig"], 1, "", f"{img}: signed by key {key_id}, not by the key in {trusted}"),
                ([bad, "--signature", d / "img.sig"], 1, "", f"{bad}: the signature does not match"),
                ([bad, "--signature", d / "bad.sig"], 1, "", f"{bad}: checksum mismatch: crc 0x{good[:4].hex().upper()}, "
                 f"computed 0x{zlib.crc32(good[4:-1] + b'x') ^ 0xFFFFFFFF:08X}"),
                (["--key", img, img], 2, "", f"{img}: not a minisign public key"),
                (["--key", d / "none", img], 2, "", f"{d}/none: No such file or directory"),
                ([d / "none"], 2, "", f"{d}/none: No such file or directory")):
            with self.subTest(args=args):
                key = [] if "--key" in args else ["--key", trusted]
                self.assert_run(["verify", *key, *args], status, out, err and f"vemra-image: {err}\n", good)

    def test_signed_for_a_version_and_a_board(self):
        # sign runs Debian's minisign with version: and board: words, which
        # list and verify show; signature files crafted here (Ed25519 from
        # python3-cryptography with minisign's secret key) get the same
        # verdict from verify --key as from minisign -V.
        from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
        d, img = self.dir, self.write("img", container(b"\x1f\x8bapp"))
        subprocess.run(["minisign", "-GW", "-p", d / "k.pub", "-s", d / "k.key"], check=True, capture_output=True)
        self.assert_run(["sign", "--key", d / "k.key", "--version", "2.10", "--board", "acme-ppc-3", img], 0,
                        f"{img}.minisig: version 2.10 for acme-ppc-3\n")
        self.assert_run(["verify", "--key", d / "k.pub", img], 0,
                        f"{img}: OK, signed by a trusted key, version 2.10 for acme-ppc-3\n")
        self.assertTrue(run("list", img).stdout.endswith(
            f"Signed:    prehashed, version 2.10 for acme-ppc-3 ({img}.minisig, not checked)\n"))
        # The longest words taken come back whole.
        long_img, long_v = self.write("n" * 128, container(b"\x1f\x8bapp")), ".".join(["123456789"] * 6) + ".123"
        self.assert_run(["sign", "--key", d / "k.key", "--version", long_v, "--board", "b" * 63, long_img], 0,
                        f"{long_img}.minisig: version {long_v} for {'b' * 63}\n")
        self.assertTrue(run("list", long_img).stdout.endswith(
            f"Signed:    prehashed, version {long_v} for {'b' * 63} ({long_img}.minisig, not checked)\n"))
        for args, err in ((["--version", "2..1", "--board", "b"], "--version takes numbers and dots (2.4.1), not '2..1'"),
                          (["--version", "2", "--board", "a b"], "--board takes 1 to 63 characters without blanks, not 'a b'"),
                          (["--version", "2"], "sign: --key, --version and --board are needed")):
            self.assert_run(["sign", "--key", d / "k.key", *args, img], 2, "",
                            f"vemra-image: {'' if err.startswith('sign') else 'sign: '}{err}\nTry 'vemra-image --help'.\n")
        raw = base64.b64decode((d / "k.key").read_text().splitlines()[1])[54:]  # after the algorithms, salt and limits
        key_id, key = raw[:8], Ed25519PrivateKey.from_private_bytes(raw[8:40])

        def signature(comment, alg=b"ED"):
            # The global signature covers the comment up to a NUL, as a reader that stops there checks it.
            s = key.sign(hashlib.blake2b(img.read_bytes()).digest())
            return (b"untrusted comment: crafted\n" + base64.b64encode(alg + key_id + s) + b"\ntrusted comment: "
                    + comment + b"\n" + base64.b64encode(key.sign(s + comment.split(b"\0")[0])) + b"\n")
        for name, data, valid in (("8173-byte comment", signature(b"x" * 8173), True),
                                  ("8174-byte comment", signature(b"x" * 8174), False),
                                  ("a NUL in the comment", signature(b"x\0version:9"), False),
                                  ("prehashed relabelled legacy", signature(b"x", b"Ed"), False)):
            with self.subTest(name):
                sig = self.write("crafted.sig", data)
                mine = run("verify", "--key", d / "k.pub", "--signature", sig, img).returncode
                theirs = subprocess.run(["minisign", "-V", "-p", d / "k.pub", "-x", sig, "-m", img],
                                        capture_output=True).returncode
                self.assertEqual((mine == 0, theirs == 0), (valid, valid))
        self.assert_run(["verify", "--key", d / "k.pub", "--signature", "/dev/zero", img], 1, "",
                        "vemra-image: /dev/zero: not a minisign signature file\n")


if __name__ == "__main__":
    VERSION, TOOL = sys.argv[1], sys.argv[2:]
    os.umask(0o002)  # not the usual 022: a mode written as a constant shows
    unittest.main(argv=sys.argv[:1], verbosity=2)
