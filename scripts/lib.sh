# Helpers shared by the set-up scripts. Sourced, not run.

say() { printf '==> %s\n' "$*" >&2; }

# need_packages PKG...: installs the Debian packages that are missing.
need_packages() {
	local missing=() p
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
			missing+=("$p")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	if [ "$(id -u)" -ne 0 ]; then
		say "missing Debian packages: ${missing[*]} (run as root, or install them)"
		return 1
	fi
	say "installing ${missing[*]}"
	if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; then
		apt-get update -q >/dev/null
		DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
	fi
}

# Packages for building the launcher and the host tool and running the
# native tests.
BUILD_PACKAGES=(cmake make g++ pkg-config libi2c-dev libgtest-dev libgmock-dev
	u-boot-tools python3 tar gzip)

# Packages for the board build (32-bit big-endian PowerPC) and its tests
# under user-mode emulation (scripts/test-ppc.sh).
PPC_PACKAGES=(g++-powerpc-linux-gnu libc6-dev-powerpc-cross binutils-powerpc-linux-gnu
	qemu-user xz-utils)

# Packages for the benchmarks (scripts/bench.sh): zlib only as the
# reference checksum, valgrind for instruction counts.
BENCH_PACKAGES=(libbenchmark-dev zlib1g-dev valgrind)

# Packages for the virtual board (virtual-board/vboard, scripts/demo.sh) and
# its console tests: QEMU, and what goes into the board's initramfs.
VBOARD_PACKAGES=(qemu-system-x86 busybox-static mtd-utils u-boot-tools libi2c0
	python3-pytest python3-pexpect)

# Packages for the reliability checks: libFuzzer (clang), the static
# checkers, valgrind (scripts/test-fuzz.sh, static-check.sh, test-valgrind.sh).
RELIABILITY_PACKAGES=(clang libclang-rt-14-dev clang-tidy cppcheck valgrind)

jobs() { nproc 2>/dev/null || echo 2; }
