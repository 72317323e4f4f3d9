#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the benchmarks (bench/) into build-bench/ and checks the budgets
# of docs/performance.md: the boot path's instructions against one gen_crc
# pass and the memory it adds (64 MiB image); prints gen_crc's speed
# beside zlib's; then the board's own times on the virtual board
# (bench/board_bench.py: boot-check beside the launcher, a signed install
# beside a plain one). Exits
# non-zero when a budget is missed. Callgrind's dumps stay in
# build-bench/results/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
build=build-bench
out=$build/results
say "building the benchmarks ($build/)"
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $build -j"$(jobs)" --target bench >&2
rm -rf "$out" && mkdir -p "$out"
size=$((64 << 20))
status=0

say "gen_crc beside zlib's crc32"
$build/bench/bench_boot crc >/dev/null || status=1

say "boot path: instructions (callgrind)"
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/boot.out" \
	$build/bench/bench_boot boot $size >/dev/null 2>"$out/callgrind.log" || { cat "$out/callgrind.log" >&2; status=1; }
# Each dump names its region ("desc: Trigger: Client Request: LABEL") and
# its instruction count ("summary: N").
awk '/^desc: Trigger: Client Request:/ { label = $NF } /^summary:/ { n[label] = $2 }
	END { r = n["gen_crc"] ? n["boot"] / n["gen_crc"] : 99
	      printf "boot path, %d-byte image: %.0f instructions, %.5f x one gen_crc pass (%.0f, %.2f per byte); budget 1.10 x: %s\n",
		     size, n["boot"], r, n["gen_crc"], n["gen_crc"] / (size - 4), r <= 1.10 ? "ok" : "MISSED"
	      exit r > 1.10 }' size=$size "$out"/boot.out.* || status=1

say "boot path: peak memory"
$build/bench/bench_boot rss $size >/dev/null || status=1

say "the board's own times (virtual board)"
need_packages "${PPC_PACKAGES[@]}" "${VBOARD_PACKAGES[@]}"
cmake --build $build -j"$(jobs)" --target vemra-image >/dev/null
virtual-board/vboard build build-board
virtual-board/vboard kernel >/dev/null
virtual-board/vboard busybox >/dev/null
work=$(mktemp -d)
VBOARD_BUILD=build-board /usr/bin/python3 bench/board_bench.py build-board "$build" "$work" ||
	status=1
rm -rf "$work"
exit $status
