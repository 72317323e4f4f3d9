#!/bin/bash
# Installs what the tests need (Debian bookworm; as root), builds the
# project and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need_packages "${BUILD_PACKAGES[@]}"

say "building (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMRA_TESTS=ON >/dev/null
cmake --build build -j"$(jobs)"

say "running the native tests"
ctest --test-dir build --output-on-failure -j"$(jobs)"

# The Buildroot package and the Yocto layer in dist/.
./scripts/check-packaging.sh
# The commands and options the docs name, against the help texts.
./scripts/check-docs.py build

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

# The virtual board: the board build (PowerPC) on QEMU's ppce500 with the
# board's kernel and busybox (cross-built from Debian's sources on the first
# run, cached in ~/.cache/vemra-vboard), driven over its serial console.
# Three boards run side by side.
need_packages "${PPC_PACKAGES[@]}" "${VBOARD_PACKAGES[@]}"
virtual-board/vboard build build-board
# No board, no pass: a kernel or busybox that cannot be built fails the run.
virtual-board/vboard kernel >/dev/null
virtual-board/vboard busybox >/dev/null
say "running the virtual-board tests"
start=$(date +%s)
VBOARD_BUILD=build-board VBOARD_HOST_BUILD=build \
	/usr/bin/python3 -m pytest -p no:cacheprovider -q -n 3 tests/virtual-board
say "virtual-board tests: $(($(date +%s) - start)) s"

# Three boards pull one signed update from lighttpd on the host: two
# confirm it, the third goes back; the demo fails otherwise.
start=$(date +%s)
./scripts/demo.sh fleet </dev/null
say "fleet demo: $(($(date +%s) - start)) s"
