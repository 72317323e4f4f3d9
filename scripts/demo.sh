#!/bin/bash
# SPDX-License-Identifier: MIT
# Boots the virtual board, a 32-bit big-endian PowerPC in QEMU, on this
# terminal. On a fresh Debian bookworm machine, as root, it first sets
# everything up: Debian packages, the host build (vemra-image), the board
# build (PowerPC), the board's kernel and busybox (cross-built once from
# Debian's sources, cached in ~/.cache/vemra-vboard), the demo images. The
# console then shows the launcher booting image 1 and handing over to
# /bin/zid-Monitor.
#
#   ./scripts/demo.sh [SCENARIO] [KEY=VALUE...]   a new board, then boot it
#   ./scripts/demo.sh again                       boot the last board as it was left
#
# SCENARIO: normal (default), fallback (image 1 has a bad magic), crc (both
# images fail the checksum: the board reboots, which ends QEMU), recovery
# (no images: the recovery image is offered for installation), rescue
# (diagnostics=rescue: the erase prompt), update (vemra-boot installs the
# update image into slot 2, selects it, and the board reboots into it),
# trial (vemra-boot installs an update whose application fails into slot 2
# for a trial of two boots; the board boots it twice, the monitor rebooting
# it as the watchdog would, then goes back to image 1, which runs; its
# confirm finds no trial pending), signed (a key pair made here with
# minisign; the board trusts its public key and is "vboard": while image 1
# runs it refuses an image whose bytes are not the ones signed, installs
# the update signed as 2.0 into slot 2, selects it and reboots into it;
# there it refuses an image signed as 1.0, older than its floor, and one
# signed for another board, installs the 1.0 image into slot 1 only with
# --allow-downgrade, refuses to select it, and reboots into 2.0),
# fleet (three boards side by side, each on a network of its own, pull one
# signed update from lighttpd on the host and try it; the third is started
# with vboard.unhealthy, its application's health check fails, and it goes
# back to image 1; one line per board at the end; the boards always power
# off by themselves, their consoles in build-board/demo/fleet/boardN.log).
# KEY=VALUE pairs go into the boot loader's environment: gdb=on
# gdbserver=10.0.2.2 gdbport=2345, memchk=on, shell=on.
#
# Each scenario has a folder of its own, build-board/demo/SCENARIO/: its
# images, its board (flash files and EEPROM) and console.log, the console
# of every boot. Once the board is done, the demo checks that the console
# showed the lines the scenario is there to show, in order, and fails
# naming the first one missing (with KEY=VALUE pairs the outcome is the
# person's, and nothing is checked). Demos started side by side set up
# the builds one at a time, then boot their boards at once.
#
# With a terminal on standard input the board stays up after the
# hand-over: a shell on its console; leave QEMU with Ctrl-A X, or with
# poweroff or reboot at that shell; the person answers the launcher's
# questions. Without one (a log, CI) the demo answers them itself, the
# board powers off by itself after the hand-over and the demo ends with
# status 0 when the console showed what it was to show.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

HOST=${VBOARD_HOST_BUILD:-build}
BUILD=${VBOARD_BUILD:-build-board}
VB=virtual-board/vboard
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# fleet_board N URL [ARG...]: board N, flashed in DEMO/boardN, booted
# until a boot ends without a reboot: its first boot pulls the update at
# URL and reboots, and every reboot (the pull's, the watchdog's) ends
# QEMU, so the board is booted again, at most 8 times. ARGs go on every
# boot's command line. Its consoles go one after another to
# DEMO/boardN.log.
fleet_board() {
	local n=$1 state=$DEMO/board$1 log=$DEMO/board$1.log boot
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
	local log=$DEMO/board$1.log booted outcome="not updated"
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
	web=$DEMO/web pids=()
	trap 'kill "${pids[@]}" 2>/dev/null || true; scripts/web.sh stop "$web"' EXIT
	port=$(scripts/web.sh start "$DEMO/www" "$web")
	say "lighttpd serves $DEMO/www at 127.0.0.1:$port, the boards' 10.0.2.2:$port"
	for n in 1 2 3; do
		$VB flash "$DEMO/board$n" --image1 "$img/image1" --image2 "$img/image2" \
			--rescue "$img/recovery"
	done
	say "three boards pull the update and try it (consoles: $DEMO/board1.log ...)"
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
	[ $failed -eq 0 ] || die "the fleet did not end as planned (consoles in $DEMO/)"
}

# boot [ARG...]: one boot of the board in DEMO, ARGs added to its kernel
# command line; its console shows here and goes on in DEMO/console.log.
# Without a terminal on standard input the demo types the answers itself
# (`answers`: a prompt, then what it types once the console shows it).
boot() {
	local typist
	if [ -t 0 ] || [ ${#answers[@]} -eq 0 ]; then
		$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" "$@" | tee -a "$log"
		return
	fi
	rm -f "$DEMO/console.in"
	mkfifo "$DEMO/console.in"
	type_answers "${answers[@]}" >"$DEMO/console.in" &
	typist=$!
	$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" "$@" <"$DEMO/console.in" | tee -a "$log"
	kill "$typist" 2>/dev/null || true
}

# type_answers PROMPT TEXT...: each TEXT and a newline once the console
# shows its PROMPT; waits at most 3 minutes for one, and not beyond the
# demo.
type_answers() {
	local try
	while [ $# -ge 2 ]; do
		for try in $(seq 900); do
			grep -qF -- "$1" "$log" && break
			kill -0 $$ 2>/dev/null || return 0
			sleep 0.2
		done
		printf '%s\n' "$2"
		shift 2
	done
}

# check: the console shows every line of `want`, whole and in this order
# (other lines may come between); the demo fails naming the first that it
# does not show, and the line it last found.
check() {
	local missing
	missing=$(printf '%s\n' "${want[@]}" | awk 'BEGIN { n = i = at = 0 } NR == FNR { want[n++] = $0; next }
		{ gsub(/\r/, "") } i < n && $0 == want[i] { last = $0; at = FNR; i++ }
		END { if (i < n) printf "\"%s\"%s", want[i], at ? sprintf(" after line %d (\"%s\")", at, last) : "" }' \
		- "$log")
	[ -z "$missing" ] || die "$scenario: the board did not show $missing; its console: $log"
	say "$scenario: the board showed the ${#want[@]} lines it was to show"
}

# header FILE: the length and crc of the image in FILE, as vemra-boot shows
# them (the file is the image: a 16-byte header, then its length).
header() {
	echo "length $(($(stat -c %s "$1") - 16)), crc 0x$(od -An -tx1 -N4 "$1" | tr -d ' \n')"
}

# app IMAGE: the demo application's line when it starts from IMAGE.
app() {
	echo "mp.elf.strip: application of demo $1 running as \"/tmp/mp.elf.strip\" (argc 1), LD_PRELOAD unset"
}

scenario=${1:-normal}
[ $# -gt 0 ] && shift
pairs=$#
case $scenario in normal|fallback|crc|recovery|rescue|update|trial|signed|fleet|again) ;;
	*) die "unknown scenario '$scenario' (normal, fallback, crc, recovery, rescue, update, trial, signed, fleet, again)" ;;
esac
append=()
[ -t 0 ] || append=(vboard.poweroff)

if [ "$scenario" = again ]; then
	last=$(cat "$BUILD/demo/last" 2>/dev/null) && [ -f "$BUILD/demo/$last/board/vpd.bin" ] ||
		die "no board yet: run ./scripts/demo.sh first"
	DEMO=$BUILD/demo/$last
	say "booting the virtual board of '$last' as it was left (leave with Ctrl-A X)"
	exec $VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board" "${append[@]}"
fi
DEMO=$BUILD/demo/$scenario

# The board's kernel takes longest to build (the first time only): it is
# built from the moment its tools are there, and waited for once the rest
# is ready. Should the rest fail, the kernel's build still runs to its
# end, and is cached. Another demo's set-up is waited for: the builds are
# shared.
mkdir -p "$BUILD/demo"
exec 9>"$BUILD/demo/setup.lock"
flock 9
say "Debian packages"
need_packages "${KERNEL_PACKAGES[@]}" || die "cannot install the packages (run as root on Debian bookworm)"
kernel_log=$(mktemp)
trap 'rm -f "$kernel_log"' EXIT
$VB kernel >/dev/null 2>"$kernel_log" 9>&- &
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
exec 9>&-

say "demo images, initramfs and a new board ($scenario, in $DEMO/)"
rm -rf "$DEMO"
$VB images "$HOST" "$BUILD" "$DEMO/images"
img=$DEMO/images
sign() { "$HOST/vemra-image/vemra-image" sign --key "$DEMO/demo.key" "$@" >/dev/null; }
if [ "$scenario" = signed ] || [ "$scenario" = fleet ]; then
	# A key pair without a password, made for this demo only; the board
	# gets the public key.
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
	mkdir -p "$DEMO/www"
	cp "$img/stable" "$DEMO/www/update"
	sign --version 2.0 --board vboard "$DEMO/www/update"
fi
VBOARD_IMAGES=$img $VB initramfs "$BUILD" "$DEMO/initramfs.cpio.gz"
if [ "$scenario" = fleet ]; then
	fleet
	exit 0
fi

# What each scenario is there to show: `want`, the lines its console must
# show in order; `answers`, the prompts the demo answers without a
# terminal, and `answered`, the lines that must follow those answers.
flash=(--image1 "$img/image1" --image2 "$img/image2" --rescue "$img/recovery")
ran=("zid-Monitor: starting /tmp/mp.elf.strip")
ended=("zid-Monitor: /tmp/mp.elf.strip ended with status 0")
fails=("mp.elf.strip: failing" "zid-Monitor: /tmp/mp.elf.strip ended with status 1"
	"zid-Monitor: the application failed: rebooting, as the watchdog would")
answers=() answered=()
case $scenario in
normal) want=("Booting image '1'" "${ran[@]}" "$(app image1)" "${ended[@]}") ;;
fallback)
	cp "$img/image1" "$DEMO/image1.bad"
	printf '\111\122\117\001' | dd of="$DEMO/image1.bad" bs=1 seek=8 conv=notrunc status=none
	flash[1]=$DEMO/image1.bad
	want=("Booting image '1'" "Image1 has invalid header... trying Image2." "Booting image '2'"
		"${ran[@]}" "$(app image2)" "${ended[@]}") ;;
crc)
	for n in 1 2; do
		cp "$img/image$n" "$DEMO/image$n.bad"
		printf '\377' | dd of="$DEMO/image$n.bad" bs=1 seek=15 conv=notrunc status=none
	done
	flash[1]=$DEMO/image1.bad flash[3]=$DEMO/image2.bad
	want=("Booting image '1'" "Image1 CRC failed, trying Image2 now." "Booting image '2'"
		"Both image1 and image2 failed." "Requesting system reboot") ;;
recovery)
	flash=(--rescue "$img/recovery")
	want=("Booting image '1'" "Failed to open Application image 1. Trying image 2."
		"Failed to open Application image 2. Trying rescue image")
	answers=("Install recovery image as image 1 or 2 (hit return to just boot image): " 2)
	answered=("${answers[0]}2" "Installing recovery image as image2..." "setting boot image to 2"
		"${ran[@]}" "$(app recovery)" "${ended[@]}") ;;
rescue)
	set -- diagnostics=rescue "$@"
	want=("Entering rescue mode....")
	answers=("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: " y
		"Install recovery image as image 1 or 2 (hit return to just boot image): " "")
	answered=("${answers[0]}y" "Erasing filesystem for clean install" "Erasing...." "Mounting..."
		"Booting rescue image..." "${answers[2]}"
		"Booting recovery image. You will need to download and install an image before rebooting"
		"${ran[@]}" "$(app recovery)" "${ended[@]}") ;;
update)
	want=("Booting image '1'" "$(app image1)" "vboard# vemra-boot install /usr/share/vboard/update 2 --select"
		"image 2 installed: $(header "$img/update")" "selected image 2" "vboard# reboot"
		"Booting image '2'" "${ran[@]}" "$(app update)" "${ended[@]}") ;;
trial)
	flash[1]=$img/stable
	confirm=("no trial pending: nothing to confirm")
	want=("Booting image '1'" "$(app stable)" "${confirm[@]}"
		"vboard# vemra-boot install /usr/share/vboard/broken 2 --trial --boots 2"
		"image 2 installed: $(header "$img/broken")" "selected image 2 for a trial of 2 boots" "vboard# reboot"
		"Booting image '2'" "$(app broken)" "${fails[@]}" "Booting image '2'" "$(app broken)" "${fails[@]}"
		"vemra-boot: image 2 not confirmed in 2 boots: back to image 1"
		"Booting image '1'" "$(app stable)" "${confirm[@]}" "${ended[@]}") ;;
signed)
	i=/usr/share/vboard
	refused=("exit status 1" "vboard# vemra-boot status")
	want=("Booting image '1'" "$(app image1)"
		"vboard# vemra-boot install $i/tampered 2 --select"
		"stderr: vemra-boot: $i/tampered: the signature does not match" "${refused[@]}"
		"selected:      1" "image2:        valid, $(header "$img/image2"), signature none"
		"vboard# vemra-boot install $i/update 2 --select"
		"image 2 installed: $(header "$img/update")" "selected image 2" "vboard# reboot"
		"Booting image '2'" "$(app update)"
		"vboard# vemra-boot install $i/old 1"
		"stderr: vemra-boot: $i/old: version 1.0 is older than this board's floor 2.0 (--allow-downgrade installs it)"
		"exit status 1" "vboard# vemra-boot install $i/acme 1"
		"stderr: vemra-boot: $i/acme: signed for board acme-ppc-3, not for this board (vboard)" "${refused[@]}"
		"selected:      2" "image1:        valid, $(header "$img/image1"), signature none"
		"image2:        valid, $(header "$img/update"), signed version 2.0 for vboard" "floor:         2.0"
		"vboard# vemra-boot install $i/old 1 --allow-downgrade"
		"$i/old: version 1.0 is older than this board's floor 2.0: installed as asked"
		"image 1 installed: $(header "$img/old")"
		"vboard# vemra-boot select 1"
		"stderr: vemra-boot: image 1: version 1.0 is older than this board's floor 2.0 (--allow-downgrade selects it)"
		"${refused[@]}" "selected:      2" "vboard# reboot"
		"Booting image '2'" "${ran[@]}" "$(app update)" "${ended[@]}") ;;
esac
[ -t 0 ] || want+=("${answered[@]}")
$VB flash "$DEMO/board" "${flash[@]}" -- "$@"
echo "$scenario" >"$BUILD/demo/last"
log=$DEMO/console.log
: >"$log"

if [ "$scenario" = update ]; then
	say "booting the virtual board: once image 1 runs, vemra-boot installs the update image into slot 2 and selects it"
	boot vboard.update
	say "the board rebooted (QEMU ends there); booting it again"
fi
if [ "$scenario" = signed ]; then
	say "booting the virtual board: once image 1 runs, vemra-boot refuses an image that is not what the key signed, installs the update signed as 2.0 into slot 2 and selects it"
	boot vboard.signed
	say "the board rebooted into 2.0: vemra-boot refuses an image signed as 1.0 and one for another board, installs the 1.0 image into slot 1 as asked, and refuses to select it"
	boot vboard.signed
	say "the board rebooted (QEMU ends there); booting it again: 2.0 runs"
fi
if [ "$scenario" = trial ]; then
	say "booting the virtual board: once image 1 runs, vemra-boot installs the broken update into slot 2 for a trial of two boots"
	boot vboard.trial
	for n in 1 2; do
		say "trial boot $n of 2: the update's application fails, the watchdog reboots the board (QEMU ends there)"
		boot
	done
	say "boot-check goes back to image 1"
fi
say "booting the virtual board (leave with Ctrl-A X, or poweroff at its shell)"
boot "${append[@]}"
if [ "$pairs" -gt 0 ]; then
	say "$scenario: KEY=VALUE pairs given: the board's console is not checked"
else
	check
fi
