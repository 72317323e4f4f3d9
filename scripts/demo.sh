#!/bin/bash
# Boots the virtual board, a 32-bit big-endian PowerPC in QEMU, on this
# terminal. On a fresh Debian bookworm machine, as root, it first sets
# everything up: Debian packages, the host build (vemra-image), the board
# build (PowerPC), the board's kernel and busybox (cross-built once from
# Debian's sources, cached in ~/.cache/vemra-vboard), the demo images. The
# console then shows the launcher booting image 1 and handing over to
# /bin/zid-Monitor.
#
#   ./scripts/demo.sh [SCENARIO] [KEY=VALUE...]   a new board, then boot it
#   ./scripts/demo.sh again                       boot the board as it was left
#
# SCENARIO: normal (default), fallback (image 1 has a bad magic), crc (both
# images fail the checksum: the board reboots, which ends QEMU), recovery
# (no images: the recovery image is offered for installation), rescue
# (diagnostics=rescue: the erase prompt), update (vemra-boot installs the
# update image into slot 2, selects it, and the board reboots into it),
# trial (vemra-boot installs an update whose application fails into slot 2
# for a trial of two boots; the board boots it twice, the monitor rebooting
# it as the watchdog would, then goes back to image 1, which runs and
# confirms), signed (a key pair made here with minisign; the board trusts
# its public key, refuses a tampered copy of the signed update and keeps
# image 1, installs the update signed as 2.0 into slot 2, then refuses an
# older signed image and one for another board, and reboots into 2.0).
# KEY=VALUE pairs go into the boot loader's environment: gdb=on
# gdbserver=10.0.2.2 gdbport=2345, memchk=on, shell=on.
#
# With a terminal on standard input the board stays up after the
# hand-over: a shell on its console; leave QEMU with Ctrl-A X, or with
# poweroff or reboot at that shell. Without one (a log, CI) the board
# powers off by itself after the hand-over and the demo ends with status 0.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

HOST=${VBOARD_HOST_BUILD:-build}
BUILD=${VBOARD_BUILD:-build-board}
DEMO=$BUILD/demo
VB=virtual-board/vboard
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

scenario=${1:-normal}
[ $# -gt 0 ] && shift
case $scenario in normal|fallback|crc|recovery|rescue|update|trial|signed|again) ;;
	*) die "unknown scenario '$scenario' (normal, fallback, crc, recovery, rescue, update, trial, signed, again)" ;;
esac
append=()
[ -t 0 ] || append=(vboard.poweroff)

if [ "$scenario" = again ]; then
	[ -f "$DEMO/board/vpd.bin" ] || die "no board yet: run ./scripts/demo.sh first"
	say "booting the virtual board as it was left (leave with Ctrl-A X)"
	exec $VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" "${append[@]}"
fi

say "Debian packages"
need_packages "${BUILD_PACKAGES[@]}" "${PPC_PACKAGES[@]}" "${VBOARD_PACKAGES[@]}" ||
	die "cannot install the packages (run as root on Debian bookworm)"

say "building the host tools ($HOST/) and the board ($BUILD/, PowerPC)"
cmake -S . -B "$HOST" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$HOST" -j"$(jobs)" --target vemra-image >/dev/null
$VB build "$BUILD"

say "the board's kernel and busybox"
$VB kernel >/dev/null
$VB busybox >/dev/null

say "demo images, initramfs and a new board ($scenario)"
$VB images "$HOST" "$BUILD" "$DEMO/images"
img=$DEMO/images
if [ "$scenario" = signed ]; then
	# A key pair without a password, made for this demo only; the board
	# gets the public key and the board string vboard. update is signed as
	# version 2.0 for vboard; old (a copy) as 1.0 for vboard, acme (a copy)
	# as 3.0 for another board; tampered: the signed update with one byte
	# changed.
	rm -f "$DEMO/demo.key" "$img/demo.pub"
	minisign -G -W -p "$img/demo.pub" -s "$DEMO/demo.key" >/dev/null
	cp "$img/update" "$img/old"
	cp "$img/update" "$img/acme"
	for signed in update:2.0:vboard old:1.0:vboard acme:3.0:acme-ppc-3; do
		IFS=: read -r name version for <<<"$signed"
		"$HOST/vemra-image/vemra-image" sign --key "$DEMO/demo.key" --version "$version" \
			--board "$for" "$img/$name" >/dev/null
	done
	cp "$img/update" "$img/tampered"
	cp "$img/update.minisig" "$img/tampered.minisig"
	printf 'X' | dd of="$img/tampered" bs=1 seek=100 conv=notrunc status=none
fi
VBOARD_IMAGES=$img $VB initramfs "$BUILD" "$DEMO/initramfs.cpio.gz"
flash=(--image1 "$img/image1" --image2 "$img/image2" --rescue "$img/recovery")
case $scenario in
fallback)
	cp "$img/image1" "$DEMO/image1.bad"
	printf '\111\122\117\001' | dd of="$DEMO/image1.bad" bs=1 seek=8 conv=notrunc status=none
	flash[1]=$DEMO/image1.bad ;;
crc)
	for n in 1 2; do
		cp "$img/image$n" "$DEMO/image$n.bad"
		printf '\377' | dd of="$DEMO/image$n.bad" bs=1 seek=15 conv=notrunc status=none
	done
	flash[1]=$DEMO/image1.bad flash[3]=$DEMO/image2.bad ;;
recovery) flash=(--rescue "$img/recovery") ;;
trial) flash[1]=$img/stable ;;
rescue) set -- diagnostics=rescue "$@" ;;
esac
$VB flash "$DEMO/board" "${flash[@]}" -- "$@"

if [ "$scenario" = update ]; then
	say "booting the virtual board: once image 1 runs, vemra-boot installs the update image into slot 2 and selects it"
	$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" vboard.update
	say "the board rebooted (QEMU ends there); booting it again"
fi
if [ "$scenario" = signed ]; then
	say "booting the virtual board: once image 1 runs, vemra-boot refuses a tampered update, installs the signed one into slot 2, and refuses an older one and another board's"
	$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" vboard.signed
	say "the board rebooted (QEMU ends there); booting it again"
fi
if [ "$scenario" = trial ]; then
	say "booting the virtual board: once image 1 runs, vemra-boot installs the broken update into slot 2 for a trial of two boots"
	$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" vboard.trial
	for n in 1 2; do
		say "trial boot $n of 2: the update's application fails, the watchdog reboots the board (QEMU ends there)"
		$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board"
	done
	say "boot-check goes back to image 1"
fi
say "booting the virtual board (leave with Ctrl-A X, or poweroff at its shell)"
exec $VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" "${append[@]}"
