#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs what the tests need (Debian bookworm; as root), builds the
# project and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# Every package first: later steps then install nothing while the board's
# kernel and busybox build.
need_packages "${BUILD_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}" "${RELIABILITY_PACKAGES[@]}" "${KERNEL_PACKAGES[@]}" \
	"${PPC_PACKAGES[@]}" "${VBOARD_PACKAGES[@]}" "${FLEET_PACKAGES[@]}"

# The virtual boards' parts build in the background from here on, on what
# the host's single-threaded steps (fuzzing, valgrind, qemu-ppc) leave
# free: the board's kernel and busybox (cross-built from Debian's sources
# on the first run, cached in ~/.cache/vemra-vboard), then the board's
# libraries with the fleet agent's and the two boards' builds (the second
# from another description, virtual-board/board-b.cmake: the EEPROM at
# 0x50, partitions env and recovery, the user partition on /data, the
# trial in VPD bytes 200 to 205). The virtual-board tests wait for them.
parts_log=$(mktemp)
trap 'rm -f "$parts_log"' EXIT
(virtual-board/vboard kernel >/dev/null && virtual-board/vboard busybox >/dev/null &&
	./scripts/cross-deps.sh --fleet >/dev/null && virtual-board/vboard build build-board &&
	virtual-board/vboard build build-board-b virtual-board/board-b.cmake) >/dev/null 2>"$parts_log" &
parts=$!

say "building (build/)"
# With the fleet: the board's agent and vemra-fleet, the operator's
# program, and their tests against a real broker.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMRA_TESTS=ON -DVEMRA_AGENT=ON -DVEMRA_FLEET=ON >/dev/null
cmake --build build -j"$(jobs)"

say "running the native tests"
ctest --test-dir build --output-on-failure -j"$(jobs)"

# The Buildroot package and the Yocto layer in dist/.
./scripts/check-packaging.sh
# Board facts in the board description alone, and the README's table.
./scripts/check-board-facts.sh

# The commands and options the docs name, against the help texts.
./scripts/check-docs.py build

# Reliability: the native tests under ASan+UBSan, the launcher's runs
# under valgrind, cppcheck and clang-tidy, each fuzz target for 30 s from
# its seed corpus (FUZZ_SECONDS; scripts/test-fuzz.sh alone: 100 s).
need_packages "${RELIABILITY_PACKAGES[@]}"
./scripts/test-sanitize.sh
./scripts/test-valgrind.sh build
./scripts/static-check.sh
FUZZ_SECONDS=${FUZZ_SECONDS:-30} ./scripts/test-fuzz.sh

# The same unit tests built for the board and run under qemu-ppc.
./scripts/test-ppc.sh

# The virtual board: the board build (PowerPC) on QEMU's ppce500 with the
# board's kernel and busybox, driven over its serial console. Three boards
# run side by side. The board build holds the fleet agent.
# No board, no pass: a part that cannot be built fails the run.
wait "$parts" || { cat "$parts_log" >&2; say "the virtual boards' parts could not be built"; exit 1; }
cat "$parts_log" >&2
say "running the virtual-board tests"
start=$(date +%s)
VBOARD_BUILD=build-board VBOARD_HOST_BUILD=build \
	/usr/bin/python3 -m pytest -p no:cacheprovider -q -n 3 tests/virtual-board
say "virtual-board tests: $(($(date +%s) - start)) s"

# The second board: the rows of a boot, a fallback, the recovery image's
# install, a trial going back and a signed install.
say "running the second board's tests"
rows="vpd-1-boots-image1 or vpd-2-boots-image2 or bad-magic-tries-image2"
rows+=" or no-slots-install-recovery-as-2 or test_unconfirmed_trial_goes_back"
rows+=" or test_only_signed_images_install"
start=$(date +%s)
VBOARD_BUILD=build-board-b VBOARD_HOST_BUILD=build \
	/usr/bin/python3 -m pytest -p no:cacheprovider -q -n 3 tests/virtual-board -k "$rows"
say "second board's tests: $(($(date +%s) - start)) s"

# Every other demo, three at a time, each in its folder under
# build-board/demo/: each fails unless its board's console shows the lines
# it is there to show (its output in build-board/demo/SCENARIO.out). Then
# the fleet of five boards steered through the broker: four confirm the
# update, the fifth goes back; the demo fails otherwise.
start=$(date +%s)
failed=0
mkdir -p build-board/demo
printf '%s\n' trial signed update crc rescue recovery normal fallback |
	xargs -P 3 -I{} sh -c './scripts/demo.sh {} </dev/null >build-board/demo/{}.out 2>&1 ||
		{ echo "demo {} failed (build-board/demo/{}.out):"; tail -n 2 build-board/demo/{}.out; exit 1; } >&2' ||
	failed=1
say "demos: $(($(date +%s) - start)) s"
start=$(date +%s)
./scripts/demo.sh fleet </dev/null || failed=1
say "fleet demo: $(($(date +%s) - start)) s"
[ $failed -eq 0 ]
