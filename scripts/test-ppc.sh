#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the project for the board (32-bit big-endian PowerPC) into
# build-ppc/ and runs every unit test there under qemu-ppc user-mode
# emulation. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages "${BUILD_PACKAGES[@]}" "${PPC_PACKAGES[@]}"

prefix=$(scripts/cross-deps.sh)

say "building for powerpc (build-ppc/)"
cmake -S . -B build-ppc -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/powerpc-linux-gnu.cmake" \
	-DVEMRA_TARGET_PREFIX="$prefix" >/dev/null
cmake --build build-ppc -j"$(jobs)"

say "running the tests on powerpc under qemu-ppc"
start=$(date +%s)
ctest --test-dir build-ppc --output-on-failure -j"$(jobs)" "$@"
say "emulated run: $(($(date +%s) - start)) s"
