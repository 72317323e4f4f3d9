#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets of fuzz/ with clang (ASan+UBSan) into
# build-fuzz/ and runs each for a bounded time from its committed seed
# corpus (fuzz/corpus/<target>/, copied: the committed seeds stay as they
# are). A crash, leak, sanitizer report or broken property fails the run;
# the reproducer is left in build-fuzz/.
#   FUZZ_SECONDS=N  time per target (default 100)
#   scripts/test-fuzz.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages "${RELIABILITY_PACKAGES[@]}"
secs=${FUZZ_SECONDS:-100}
say "building the fuzz targets (build-fuzz/)"
cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j"$(jobs)"

# The launcher's messages go to the closed standard streams
# (-close_fd_mask=3); libFuzzer and the sanitizers keep their own.
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=($(cd fuzz/corpus && ls))
for t in "${targets[@]}"; do
	work=build-fuzz/run/$t
	rm -rf "$work" && mkdir -p "$work/corpus"
	cp fuzz/corpus/"$t"/* "$work/corpus/"
	say "fuzzing $t for ${secs}s"
	if ! (cd "$work" && ../../fuzz_"$t" -max_total_time="$secs" -timeout=10 \
		-close_fd_mask=3 -print_final_stats=1 corpus >log 2>&1); then
		tail -n 60 "$work/log"
		say "fuzz target $t failed; reproducer in $work"
		exit 1
	fi
	runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
	printf '%-18s %10s executions in %ss\n' "$t" "$runs" "$secs"
done
