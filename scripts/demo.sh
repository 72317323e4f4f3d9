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
# fleet (five boards side by side, each on a network of its own, with the
# MQTT agent: they report to Debian's mosquitto on the host; the operator
# announces the update signed as 2.0 to the canary group (two boards),
# reads the fleet table, then announces it to the main group (three
# boards, one of them started with vboard.unhealthy: its application's
# health check fails and it goes back to 1.0); the boards pull it from
# lighttpd on the host; the verdict comes from vemra-fleet fleet --json;
# board5's credentials are refused board1's state; the consoles are in
# build-board/demo/fleet/boardN.log).
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

# The MQTT fleet: five boards in two groups (canary: board1, board2; main:
# board3, board4 and board5, whose application's health check fails),
# each with the agent, a password of its own and the broker on the host
# (scripts/broker.sh), their updates on lighttpd (scripts/web.sh). The
# operator steers them with vemra-fleet alone, and the verdict comes from
# the broker, never from the consoles (DEMO/boardN.log).
FLEET_BOARDS=(board1:canary board2:canary board3:main board4:main board5:main:unhealthy)

# fleet_board N GROUP PASSWORD [ARG...]: board N (flashed in DEMO/boardN),
# booted again after each reboot (QEMU ends there) until the demo ends,
# at most 12 times; its consoles go one after another to DEMO/boardN.log.
fleet_board() {
	local n=$1 group=$2 password=$3 boot qemu
	shift 3
	for boot in $(seq 12); do
		[ ! -e "$DEMO/stop" ] || return 0
		echo "==> demo: board$n, boot $boot" >>"$DEMO/board$n.log"
		$VB boot "$DEMO/initramfs.cpio.gz" "$DEMO/board$n" vboard.trust=demo vboard.board=vboard \
			"vboard.time=$(date +%s)" "vboard.fleet=10.0.2.2:$port,$group,board$n,$password" "$@" \
			</dev/null >>"$DEMO/board$n.log" 2>&1 &
		qemu=$!
		echo "$qemu" >"$DEMO/board$n.pid"
		wait "$qemu" || [ -e "$DEMO/stop" ] || return 1
	done
	say "board$n: rebooted 12 times"
	return 1
}

fleet_cli() {
	"$HOST/fleet/vemra-fleet" "$1" --broker "127.0.0.1:$port" --credentials "$broker/operator.conf" "${@:2}"
}

# fleet_wait SECONDS WHAT CONDITION: until CONDITION (Python, over b: each
# board's state by its id, and on(id, version): the board runs that
# version and has no trial pending) holds of what the broker keeps.
fleet_wait() {
	local end=$((SECONDS + $1))
	while [ $SECONDS -lt "$end" ]; do
		if fleet_cli fleet --json >"$DEMO/fleet.json" 2>"$DEMO/fleet.err" &&
			python3 - "$DEMO/fleet.json" "$3" <<'PY'
import json, sys
b = {e["state"]["id"]: e["state"] for e in json.load(open(sys.argv[1]))}
def on(i, version):
    s = b.get(i)
    return bool(s) and s["running"] in (1, 2) and s["trial"] is None \
        and s["images"][s["running"] - 1]["version"] == version
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
		then
			say "$2 (after $((SECONDS - fleet_start)) s)"
			return 0
		fi
		sleep 2
	done
	die "fleet: not within $1 s: $2 (the broker's view: $DEMO/fleet.json; consoles in $DEMO/)"
}

fleet_stop() {
	touch "$DEMO/stop"
	kill $(cat "$DEMO"/board*.pid 2>/dev/null) 2>/dev/null || true
	wait 2>/dev/null || true
	scripts/web.sh stop "$web" 2>/dev/null || true
	scripts/broker.sh stop "$broker" 2>/dev/null || true
}

fleet() {
	local entry id group extra n=0 out
	local canary="on('board1', '2.0') and on('board2', '2.0')"
	local all_old="all(on('board%d' % i, '1.0') for i in range(1, 6))"
	local main_done="on('board3', '2.0') and on('board4', '2.0') and on('board5', '1.0') and b['board5']['rollback'] == {'from': 2, 'to': 1}"
	web=$DEMO/web broker=$DEMO/broker fleet_start=$SECONDS
	mkdir -p "$broker"
	: >"$broker/boards"
	for entry in "${FLEET_BOARDS[@]}"; do
		IFS=: read -r id group extra <<<"$entry"
		echo "$id vboard $group $(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')" >>"$broker/boards"
	done
	trap fleet_stop EXIT
	port=$(scripts/broker.sh start "$broker")
	say "mosquitto at 127.0.0.1:$port (the boards' 10.0.2.2:$port), a password and an ACL entry per board"
	wport=$(scripts/web.sh start "$DEMO/www" "$web")
	say "lighttpd serves the update at 127.0.0.1:$wport (the boards' 10.0.2.2:$wport)"
	while read -r id _ group password; do
		n=$((n + 1))
		$VB flash "$DEMO/board$n" --image1 "$img/old" --image2 "$img/image2" --rescue "$img/recovery"
		extra=()
		[[ ${FLEET_BOARDS[$((n - 1))]} != *:unhealthy ]] || extra=(vboard.unhealthy)
		fleet_board "$n" "$group" "$password" "${extra[@]}" &
	done <"$broker/boards"
	say "five boards boot image 1 (1.0, signed); each agent reports to the broker"
	fleet_wait 180 "all five boards report 1.0" "$all_old"
	fleet_cli fleet
	say "operator: announce 2.0 to the canary group"
	fleet_cli announce --board vboard --group canary --url "http://10.0.2.2:$wport/update" --version 2.0
	fleet_wait 240 "both canary boards run 2.0, confirmed" "$canary"
	fleet_cli fleet
	say "operator: announce 2.0 to the main group"
	fleet_cli announce --board vboard --group main --url "http://10.0.2.2:$wport/update" --version 2.0
	fleet_wait 300 "board3 and board4 run 2.0, confirmed; board5 went back to 1.0" "$canary and $main_done"
	fleet_cli fleet
	read -r id _ group password < <(sed -n 5p "$broker/boards")
	say "board5's credentials publishing board1's state (mosquitto_pub):"
	# The broker answers the publish with reason code 0x87, which
	# mosquitto_pub reports (its exit status stays 0).
	out=$(mosquitto_pub -h 127.0.0.1 -p "$port" -V mqttv5 -q 1 -i demo-board5 -u "$id" -P "$password" \
		-t vemra/vboard/board1/state -m '{}' 2>&1) || true
	echo "$out"
	[ "$out" = "Warning: Publish 1 failed: Not authorized." ] ||
		die "fleet: board5's publish of board1's state was not refused by the ACL"
	fleet_wait 10 "board1's state is still its own" "$canary"
	fleet_cli fleet --json >"$DEMO/fleet.json"
	say "the verdict, from the broker: four boards run 2.0, confirmed; board5 went back to 1.0"
	say "the fleet ran for $((SECONDS - fleet_start)) s"
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
# busybox beside the rest too: libsodium's configure and the links keep a
# core idle now and then.
busybox_log=$(mktemp)
trap 'rm -f "$kernel_log" "$busybox_log"' EXIT
$VB busybox >/dev/null 2>"$busybox_log" 9>&- &
busybox=$!
say "building the host tools ($HOST/), the board ($BUILD/, PowerPC), its busybox and kernel"
# A new host build is vemra-image's alone; one the tests made keeps them.
tests=()
[ -f "$HOST/CMakeCache.txt" ] || tests=(-DVEMRA_TESTS=OFF)
targets=(vemra-image)
if [ "$scenario" = fleet ]; then
	# The fleet's own: the broker and its clients, vemra-fleet on the host,
	# the agent's libraries for the board (then vboard build adds it).
	need_packages "${FLEET_PACKAGES[@]}" || die "cannot install the packages (run as root on Debian bookworm)"
	tests+=(-DVEMRA_FLEET=ON)
	targets+=(vemra-fleet)
	scripts/cross-deps.sh --fleet >/dev/null
fi
cmake -S . -B "$HOST" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]}" >/dev/null
cmake --build "$HOST" -j"$(jobs)" --target "${targets[@]}" >/dev/null
$VB build "$BUILD"
wait "$busybox" || { cat "$busybox_log" >&2; die "the board's busybox could not be built"; }
cat "$busybox_log" >&2

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
	# The boards start with old, a copy of image 1 signed as 1.0, its
	# signature kept beside it. The update the fleet pulls: stable (its
	# application checks its health, then confirms) signed as 2.0 for
	# vboard, beside its signature in the folder lighttpd serves.
	cp "$img/image1" "$img/old"
	sign --version 1.0 --board vboard "$img/old"
	mkdir -p "$DEMO/www"
	cp "$img/stable" "$DEMO/www/update"
	sign --version 2.0 --board vboard "$DEMO/www/update"
fi
VBOARD_IMAGES=$img $VB initramfs "$BUILD" "$DEMO/initramfs.cpio.gz"
# The kernel last: all the rest was made while it was being built.
wait "$kernel" || { cat "$kernel_log" >&2; die "the board's kernel could not be built"; }
cat "$kernel_log" >&2
rm -f "$kernel_log" "$busybox_log"
trap - EXIT
exec 9>&-
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
