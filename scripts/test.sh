#!/bin/bash
# Installs what the tests need (Debian bookworm; as root), builds the
# project and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages "${BUILD_PACKAGES[@]}"

say "building (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(jobs)"

say "running the native tests"
ctest --test-dir build --output-on-failure -j"$(jobs)"

# Reliability: the native tests under ASan+UBSan, the launcher's runs
# under valgrind, cppcheck and clang-tidy, each fuzz target for a bounded
# time from its seed corpus.
need_packages "${RELIABILITY_PACKAGES[@]}"
./scripts/test-sanitize.sh
./scripts/test-valgrind.sh build
./scripts/static-check.sh
./scripts/test-fuzz.sh

# The same unit tests built for the board and run under qemu-ppc.
./scripts/test-ppc.sh

# The launcher as built above on the virtual board: QEMU booting Debian's
# kernel, real MTD, jffs2 and I2C drivers, driven over its serial console.
need_packages "${VBOARD_PACKAGES[@]}"
virtual-board/vboard kernel >/dev/null || [ "${CI:-}" != true ]  # elsewhere the suite skips
say "running the virtual-board tests"
VBOARD_BUILD=build /usr/bin/python3 -m pytest -p no:cacheprovider -q tests/virtual-board
