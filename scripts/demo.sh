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
# its public key and is "vboard": while image 1 runs it refuses an image
# whose bytes are not the ones signed, installs the update signed as 2.0
# into slot 2, selects it and reboots into it; there it refuses an image
# signed as 1.0, older than its floor, and one signed for another board,
# installs the 1.0 image into slot 1 only with --allow-downgrade, refuses
# to select it, and reboots into 2.0),
# fleet (three boards side by side, each on a network of its own, pull one
# signed update from lighttpd on the host and try it; the third is started
# with vboard.unhealthy, its application's health check fails, and it goes
# back to image 1; one line per board at the end; the boards always power
# off by themselves, their consoles in build-board/demo/fleet/boardN.log).
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

# fleet_board N URL [ARG...]: board N, flashed in DEMO/fleet/boardN,
# booted until a boot ends without a reboot: its first boot pulls the
# update at URL and reboots, and every reboot (the pull's, the watchdog's)
# ends QEMU, so the board is booted again, at most 8 times. ARGs go on
# every boot's command line. Its consoles go one after another to
# DEMO/fleet/boardN.log.
fleet_board() {
	local n=$1 state=$DEMO/fleet/board$1 log=$DEMO/fleet/board$1.log boot
	local pull=("vboard.pull=$2")
	shift 2
	: >"$log"
	for boot in 1 2 3 4 5 6 7 8; do
		say "board $n: boot $boot"
		$VB boot "$DEMO/initramfs.cpio.gz" "$state" vboard.poweroff vboard.trust=demo \
			"${pull[@]}" "$@" </dev/null >"$log.boot" 2>&1 || { cat "$log.boot" >>"$log"; return 1; }
		cat "$log.boot" >>"$log"
		pull=()
		grep -Eq '^vboard# reboot|rebooting, as the watchdog would' "$log.boot" || return 0
	done
	say "board $n: still rebooting after 8 boots ($log)"
	return 1
}

# fleet_outcome N: board N's line: the image its first boot started, the
# image its last boot started, and what became of the trial.
fleet_outcome() {
	local log=$DEMO/fleet/board$1.log booted outcome="not updated"
	booted=$(grep -ao "^Booting image '[12]'" "$log" | tr -dc 12 || true)
	grep -aq '^trial of image 2 confirmed' "$log" && outcome=confirmed
	grep -aq '^vemra-boot: image 2 .*: back to image 1' "$log" && outcome="trial failed, went back"
	echo "board $1: image ${booted:0:1} -> image ${booted: -1}, $outcome"
}

# fleet: lighttpd serves the signed update on a free port; three boards
# pull it at 10.0.2.2 (the host, on each board's own network), the third
# with vboard.unhealthy; then one line per board, each as planned.
fleet() {
	local port n line failed=0 start=$SECONDS
	local want=("board 1: image 1 -> image 2, confirmed" "board 2: image 1 -> image 2, confirmed"
		"board 3: image 1 -> image 1, trial failed, went back")
	web=$DEMO/fleet/web pids=()
	trap 'kill "${pids[@]}" 2>/dev/null || true; scripts/web.sh stop "$web"' EXIT
	port=$(scripts/web.sh start "$DEMO/fleet/www" "$web")
	say "lighttpd serves $DEMO/fleet/www at 127.0.0.1:$port, the boards' 10.0.2.2:$port"
	for n in 1 2 3; do
		$VB flash "$DEMO/fleet/board$n" --image1 "$img/image1" --image2 "$img/image2" \
			--rescue "$img/recovery"
	done
	say "three boards pull the update and try it (consoles: $DEMO/fleet/board1.log ...)"
	fleet_board 1 "http://10.0.2.2:$port/update" & pids+=($!)
	fleet_board 2 "http://10.0.2.2:$port/update" & pids+=($!)
	fleet_board 3 "http://10.0.2.2:$port/update" vboard.unhealthy & pids+=($!)
	for n in 0 1 2; do wait "${pids[$n]}" || failed=1; done
	pids=()
	say "the fleet ran for $((SECONDS - start)) s"
	for n in 1 2 3; do
		line=$(fleet_outcome $n)
		echo "$line"
		[ "$line" = "${want[$((n - 1))]}" ] || failed=1
	done
	[ $failed -eq 0 ] || die "the fleet did not end as planned (consoles in $DEMO/fleet/)"
}

scenario=${1:-normal}
[ $# -gt 0 ] && shift
case $scenario in normal|fallback|crc|recovery|rescue|update|trial|signed|fleet|again) ;;
	*) die "unknown scenario '$scenario' (normal, fallback, crc, recovery, rescue, update, trial, signed, fleet, again)" ;;
esac
append=()
[ -t 0 ] || append=(vboard.poweroff)

if [ "$scenario" = again ]; then
	[ -f "$DEMO/board/vpd.bin" ] || die "no board yet: run ./scripts/demo.sh first"
	say "booting the virtual board as it was left (leave with Ctrl-A X)"
	exec $VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" "${append[@]}"
fi

# The board's kernel takes longest to build (the first time only): it is
# built from the moment its tools are there, and waited for once the rest
# is ready. Should the rest fail, the kernel's build still runs to its
# end, and is cached.
say "Debian packages"
need_packages "${KERNEL_PACKAGES[@]}" || die "cannot install the packages (run as root on Debian bookworm)"
kernel_log=$(mktemp)
trap 'rm -f "$kernel_log"' EXIT
$VB kernel >/dev/null 2>"$kernel_log" &
kernel=$!
need_packages "${DEMO_PACKAGES[@]}" || die "cannot install the packages (run as root on Debian bookworm)"
say "building the host tools ($HOST/), the board ($BUILD/, PowerPC), its busybox and kernel"
# A new host build is vemra-image's alone; one the tests made keeps them.
tests=()
[ -f "$HOST/CMakeCache.txt" ] || tests=(-DVEMRA_TESTS=OFF)
cmake -S . -B "$HOST" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]}" >/dev/null
cmake --build "$HOST" -j"$(jobs)" --target vemra-image >/dev/null
$VB build "$BUILD"
$VB busybox >/dev/null
wait "$kernel" || { cat "$kernel_log" >&2; die "the board's kernel could not be built"; }
cat "$kernel_log" >&2
rm -f "$kernel_log"
trap - EXIT

say "demo images, initramfs and a new board ($scenario)"
$VB images "$HOST" "$BUILD" "$DEMO/images"
img=$DEMO/images
sign() { "$HOST/vemra-image/vemra-image" sign --key "$DEMO/demo.key" "$@" >/dev/null; }
if [ "$scenario" = signed ] || [ "$scenario" = fleet ]; then
	# A key pair without a password, made for this demo only; the board
	# gets the public key.
	rm -f "$DEMO/demo.key" "$img/demo.pub"
	minisign -G -W -p "$img/demo.pub" -s "$DEMO/demo.key" >/dev/null
fi
if [ "$scenario" = signed ]; then
	# The board gets the board string vboard. update is signed as version
	# 2.0 for vboard; old (a copy of image1, the image the board starts
	# with) as 1.0 for vboard, acme (a copy of update) as 3.0 for another
	# board. tampered is image2, a valid image, beside the update's
	# signature: not the bytes that were signed.
	cp "$img/image1" "$img/old"
	cp "$img/update" "$img/acme"
	for signed in update:2.0:vboard old:1.0:vboard acme:3.0:acme-ppc-3; do
		IFS=: read -r name version for <<<"$signed"
		sign --version "$version" --board "$for" "$img/$name"
	done
	cp "$img/image2" "$img/tampered"
	cp "$img/update.minisig" "$img/tampered.minisig"
fi
if [ "$scenario" = fleet ]; then
	# The update the fleet pulls: stable (its application checks its
	# health, then confirms) signed as 2.0 for vboard, beside its
	# signature in the folder lighttpd serves.
	rm -rf "$DEMO/fleet"
	mkdir -p "$DEMO/fleet/www"
	cp "$img/stable" "$DEMO/fleet/www/update"
	sign --version 2.0 --board vboard "$DEMO/fleet/www/update"
fi
VBOARD_IMAGES=$img $VB initramfs "$BUILD" "$DEMO/initramfs.cpio.gz"
if [ "$scenario" = fleet ]; then
	fleet
	exit 0
fi
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
	say "booting the virtual board: once image 1 runs, vemra-boot refuses an image that is not what the key signed, installs the update signed as 2.0 into slot 2 and selects it"
	$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" vboard.signed
	say "the board rebooted into 2.0: vemra-boot refuses an image signed as 1.0 and one for another board, installs the 1.0 image into slot 1 as asked, and refuses to select it"
	$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" vboard.signed
	say "the board rebooted (QEMU ends there); booting it again: 2.0 runs"
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
