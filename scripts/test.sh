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

# The same unit tests built for the board and run under qemu-ppc.
./scripts/test-ppc.sh
