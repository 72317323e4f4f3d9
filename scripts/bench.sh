#!/bin/bash
# Builds the benchmarks (bench/) into build-bench/ and runs them: the
# checksum beside zlib's, the boot path's instructions and peak memory, the
# flash write and erase (system calls, time), and the test suite's wall
# time natively and under qemu-ppc. Prints the table and exits non-zero
# when a budget is missed. Results stay in build-bench/results/.
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

# suite_time NAME BUILD_DIR: one timed ctest run over a built tree.
suite_time() {
	local start end
	start=$(date +%s%N)
	ctest --test-dir "$2" -j"$(jobs)" >"$out/ctest-$1.log" || { tail -n 30 "$out/ctest-$1.log" >&2; return 1; }
	end=$(date +%s%N)
	echo "$1 ms=$(((end - start) / 1000000)) tests=$(grep -c 'Test *#' "$out/ctest-$1.log")" >>"$out/suite.txt"
}

if [ $suite = 1 ]; then
	# Built first, so that only the run is timed.
	say "test suite, native"
	cmake --build $build -j"$(jobs)" >&2
	suite_time native $build
	say "test suite, emulated (qemu-ppc)"
	./scripts/test-ppc.sh -N >&2
	suite_time emulated build-ppc
fi

echo
python3 bench/report.py "$out" "$build"
