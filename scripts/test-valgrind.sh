#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs the unit tests under valgrind's memcheck: the flash module's
# read-modify-write, the launcher's pass from main on the fuzz targets'
# stand-ins (exit and exec included) and gen_crc. Any invalid access, use
# of an uninitialised value, or definitely or indirectly lost block fails
# the run.
#   scripts/test-valgrind.sh [BUILD_DIR]   (default build/, as test.sh makes it)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages "${RELIABILITY_PACKAGES[@]}"
build=${1:-build}
for t in tests/board/flash_test tests/launcher/launcher_test tests/crc_test; do
	say "valgrind: $t"
	valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
		--show-leak-kinds=definite,indirect --track-origins=yes \
		"$build/$t" --gtest_brief=1
done
