#!/bin/bash
# Builds the benchmarks (bench/) into build-bench/ and runs them: the
# checksum beside zlib's, the boot path's instructions and peak memory, the
# flash write and erase (system calls, time), and the test suite's wall
# time (native, the board build under qemu-ppc, the virtual board). Prints
# the table and exits non-zero when a budget is missed or a suite fails.
# Results stay in build-bench/results/.
#   scripts/bench.sh [--no-suite]    --no-suite: leave out the suite timings
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

suite=1
[ "${1:-}" = "--no-suite" ] && suite=0

need_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"

build=build-bench
out=$build/results
say "building the benchmarks ($build/)"
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $build -j"$(jobs)" --target bench >&2
rm -rf "$out" && mkdir -p "$out/callgrind"

# Timings: medians of repeated runs, CPU time (the machine may be shared).
gbench() {
	local prog=$1 name=$2
	shift 2
	say "timing: $name"
	"$build/bench/$prog" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
		--benchmark_color=false --benchmark_out="$out/$name.json" --benchmark_out_format=json \
		"$@" >&2
}
# Instruction counts: each region of the program is a callgrind dump.
count() {
	local name=$1
	shift
	say "counting instructions: $name"
	valgrind --tool=callgrind --collect-atstart=no \
		--callgrind-out-file="$out/callgrind/$name.out" "$@" >/dev/null 2>"$out/callgrind/$name.log" ||
		{ cat "$out/callgrind/$name.log" >&2; return 1; }
}

mib=$((1 << 20))
gbench bench_crc crc
count crc "$build/bench/bench_crc" probe $mib $((64 * mib))

if [ -x "$build/bench/bench_boot" ]; then
	gbench bench_boot boot
	count boot "$build/bench/bench_boot" probe $mib $((16 * mib)) $((64 * mib))
	say "peak memory of the boot path"
	for n in 1 16 64; do
		"$build/bench/bench_boot" rss $((n * mib)) >>"$out/boot_rss.txt"
	done
fi

if [ -x "$build/bench/bench_flash" ]; then
	gbench bench_flash flash
	"$build/bench/bench_flash" probe >"$out/flash_calls.txt"
fi

# suite_time NAME COMMAND...: one timed run of a built suite; a failing
# suite is recorded (the report then fails) and its log kept.
suite_time() {
	local name=$1 start end status=ok
	shift
	start=$(date +%s%N)
	"$@" >"$out/suite-$name.log" 2>&1 || status=failed
	end=$(date +%s%N)
	[ $status = ok ] || tail -n 30 "$out/suite-$name.log" >&2
	echo "$name ms=$(((end - start) / 1000000)) status=$status" >>"$out/suite.txt"
}

if [ $suite = 1 ]; then
	# Each suite is built first, so that only its run is timed.
	say "test suite, native"
	cmake --build $build -j"$(jobs)" >&2
	suite_time native ctest --test-dir $build -j"$(jobs)"
	say "test suite, board build under qemu-ppc"
	./scripts/test-ppc.sh -N >&2
	suite_time emulated ctest --test-dir build-ppc -j"$(jobs)"
	say "test suite, virtual board (QEMU system emulation)"
	need_packages "${VBOARD_PACKAGES[@]}"
	virtual-board/vboard kernel >/dev/null || true # without it the suite skips
	suite_time vboard env VBOARD_BUILD=$build /usr/bin/python3 -m pytest -p no:cacheprovider \
		-q tests/virtual-board
fi

echo
python3 bench/report.py "$out" "$build"
