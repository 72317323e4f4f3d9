#!/bin/bash
# Runs the launcher's own runs in the tests (its pass from main on the fake
# board, and the fault sweep on the real board layer) under valgrind's
# memcheck: any invalid access, use of an uninitialised value, or block
# lost on a path that returns, execs or exits fails the run.
#   scripts/test-valgrind.sh [BUILD_DIR]   (default build/, as test.sh makes it)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages "${RELIABILITY_PACKAGES[@]}"
build=${1:-build}
for t in tests/launcher/launcher_test tests/reliability/fault_sweep_test; do
	say "valgrind: $t"
	valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
		--show-leak-kinds=definite,indirect --track-origins=yes \
		"$build/$t" --gtest_brief=1
done
