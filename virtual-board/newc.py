#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Write a directory tree as a gzip-compressed newc cpio archive (an
initramfs), every entry owned by root, plus the device nodes the kernel
needs before devtmpfs is mounted. Needs no root rights and no cpio tool.

usage: newc.py STAGING_DIR OUTPUT.cpio.gz
"""
import gzip
import os
import stat
import sys

# name, mode, major, minor
DEVICE_NODES = [("dev/console", stat.S_IFCHR | 0o600, 5, 1),
                ("dev/null", stat.S_IFCHR | 0o666, 1, 3)]


def entry(out, ino, name, mode, data=b"", nlink=1, rmajor=0, rminor=0):
    name_b = name.encode() + b"\0"
    fields = [ino, mode, 0, 0, nlink, 0, len(data), 0, 0, rmajor, rminor,
              len(name_b), 0]
    out.write(b"070701" + b"".join(b"%08X" % f for f in fields))
    out.write(name_b)
    out.write(b"\0" * (-(110 + len(name_b)) % 4))
    out.write(data)
    out.write(b"\0" * (-len(data) % 4))


def main():
    src, dst = sys.argv[1], sys.argv[2]
    paths = []
    for top, dirs, files in os.walk(src):
        dirs.sort()
        for n in sorted(dirs + files):
            paths.append(os.path.relpath(os.path.join(top, n), src))
    tmp = dst + ".tmp"
    with open(tmp, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb",
                                                compresslevel=6, mtime=0) as out:
        ino = 1
        for rel in sorted(paths):
            full = os.path.join(src, rel)
            st = os.lstat(full)
            if stat.S_ISLNK(st.st_mode):
                data = os.readlink(full).encode()
            elif stat.S_ISREG(st.st_mode):
                with open(full, "rb") as f:
                    data = f.read()
            elif stat.S_ISDIR(st.st_mode):
                data = b""
            else:
                sys.exit("newc.py: unsupported file type: " + full)
            nlink = 2 if stat.S_ISDIR(st.st_mode) else 1
            entry(out, ino, rel, st.st_mode, data, nlink)
            ino += 1
        for name, mode, major, minor in DEVICE_NODES:
            entry(out, ino, name, mode, rmajor=major, rminor=minor)
            ino += 1
        entry(out, 0, "TRAILER!!!", 0)
    os.replace(tmp, dst)


if __name__ == "__main__":
    main()
