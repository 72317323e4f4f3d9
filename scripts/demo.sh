#!/bin/bash
# Boots the virtual board on this terminal. On a fresh Debian bookworm
# machine, as root, it first sets everything up: Debian packages, the
# build, the demo images and Debian's kernel (downloaded once, cached in
# .cache/). The console then shows the launcher booting image 1 and
# handing over to /bin/zid-Monitor.
#
#   ./scripts/demo.sh [SCENARIO] [KEY=VALUE...]   a new board, then boot it
#   ./scripts/demo.sh again                       boot the board as it was left
#
# SCENARIO: normal (default), fallback (image 1 has a bad magic), crc (both
# images fail the checksum: the board reboots, which ends QEMU), recovery
# (no images: the recovery image is offered for installation), rescue
# (diagnostics=rescue: the erase prompt). KEY=VALUE pairs go into the boot
# loader's environment: gdb=on gdbserver=10.0.2.2 gdbport=2345, memchk=on,
# shell=on. Leave QEMU with Ctrl-A X, or with poweroff at the board's shell.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

BUILD=${VBOARD_BUILD:-build}
BOARD=$BUILD/vboard
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

if [ "${1:-}" = again ]; then
	[ -f "$BOARD/board/vpd.bin" ] || die "no board yet: run ./scripts/demo.sh first"
	say "booting the virtual board as it was left (leave with Ctrl-A X)"
	exec virtual-board/vboard boot "$BOARD/initramfs.cpio.gz" "$BOARD/board"
fi
scenario=${1:-normal}
[ $# -gt 0 ] && shift

say "Debian packages"
need_packages "${BUILD_PACKAGES[@]}" busybox-static mtd-utils libi2c0 ||
	die "cannot install the build packages (run as root on Debian bookworm)"
need_packages qemu-system-x86 && command -v qemu-system-x86_64 >/dev/null ||
	die "QEMU cannot be had: install Debian's qemu-system-x86 as root (apt-get install qemu-system-x86), then run this again"

say "building ($BUILD/)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(jobs)" >/dev/null

say "Debian's kernel for the board"
virtual-board/vboard kernel >/dev/null || exit 1  # it says what to do

say "initramfs, demo images and a new board ($scenario)"
virtual-board/vboard initramfs "$BUILD" "$BOARD/initramfs.cpio.gz"
virtual-board/vboard images "$BUILD" "$BOARD/images"
virtual-board/vboard flash "$BOARD/images" "$BOARD/board" "$scenario" "$@"

say "booting the virtual board (leave with Ctrl-A X, or poweroff at its shell)"
exec virtual-board/vboard boot "$BOARD/initramfs.cpio.gz" "$BOARD/board"
