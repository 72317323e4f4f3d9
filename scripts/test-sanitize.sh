#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the native tests (vemra-fleet's too) with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ and runs them: any invalid access, leak or undefined
# operation fails the run (no recovery, no error swallowed).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# vemra-agent's tests too (Debian's libmosquitto, cJSON and broker).
need_packages "${BUILD_PACKAGES[@]}" "${FLEET_PACKAGES[@]}"

san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
say "building with ASan+UBSan (build-asan/)"
# Warnings are already fatal in the plain build; gcc's instrumented code
# gives false -Wmaybe-uninitialized/-Wstringop-* hits, so not here.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVEMRA_WERROR=OFF -DVEMRA_AGENT=ON -DVEMRA_FLEET=ON \
	-DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san -O1" \
	-DCMAKE_EXE_LINKER_FLAGS="$san" >/dev/null
cmake --build build-asan -j"$(jobs)"

say "running the native tests under ASan+UBSan"
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$(jobs)" "$@"
