# SPDX-License-Identifier: MIT
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
BUILD_PACKAGES=(cmake make g++ pkg-config libi2c-dev libsodium-dev minisign libgtest-dev libgmock-dev
	u-boot-tools python3 python3-cryptography tar gzip)


# Packages for the check of the Buildroot and Yocto files in dist/ and the
# start-up files (scripts/check-packaging.sh): kconfiglib reads the
# Config.in files, systemd's systemd-analyze the unit; a board build is
# configured and vemra-image built.
PACKAGING_PACKAGES=(python3-kconfiglib make systemd cmake g++ libsodium-dev libi2c-dev)

# Packages for the board build (32-bit big-endian PowerPC) and its tests
# under user-mode emulation (scripts/test-ppc.sh).
PPC_PACKAGES=(g++-powerpc-linux-gnu libc6-dev-powerpc-cross binutils-powerpc-linux-gnu
	qemu-user xz-utils autoconf automake libtool)

# Packages for the benchmarks (scripts/bench.sh): zlib only as the
# reference checksum, valgrind for instruction counts.
BENCH_PACKAGES=(zlib1g-dev valgrind)

# Packages for the virtual board (virtual-board/vboard, scripts/demo.sh) and
# its console tests: QEMU, what builds the board's kernel and busybox from
# Debian's sources, what makes its flash, pytest with pexpect, and the web
# server the boards pull updates from (scripts/web.sh).
VBOARD_PACKAGES=(qemu-system-ppc bison flex bc bzip2 xz-utils patch
	mtd-utils u-boot-tools python3-pytest python3-pexpect python3-pytest-xdist lighttpd)

# The demo's packages (scripts/demo.sh), in two steps: what builds the
# board's kernel, so that it can be built while the rest is installed; then
# what builds the host tool and the board's programs and busybox, makes the
# flash and boots it (no test tools).
KERNEL_PACKAGES=(gcc libc6-dev perl gcc-powerpc-linux-gnu binutils-powerpc-linux-gnu make bison flex bc xz-utils patch)
DEMO_PACKAGES=(cmake g++ pkg-config libi2c-dev libsodium-dev minisign u-boot-tools python3 tar gzip
	g++-powerpc-linux-gnu libc6-dev-powerpc-cross autoconf automake libtool bzip2
	qemu-system-ppc mtd-utils lighttpd)

# Packages for the fleet: vemra-agent's host build and vemra-fleet
# (-DVEMRA_AGENT=ON, -DVEMRA_FLEET=ON: Debian's libmosquitto and cJSON),
# their tests (the mosquitto broker, scripts/broker.sh, and its clients as
# stand-in boards or operator; wget; pytest), and the fleet demo. Not for
# the first demo: the board's agent is built only once
# scripts/cross-deps.sh --fleet has cross-built its libraries.
FLEET_PACKAGES=(libmosquitto-dev libcjson-dev mosquitto mosquitto-clients wget python3-pytest)

# Packages for the reliability checks: libFuzzer (clang), the static
# checkers, valgrind (scripts/test-fuzz.sh, static-check.sh, test-valgrind.sh).
RELIABILITY_PACKAGES=(clang libclang-rt-14-dev clang-tidy cppcheck valgrind)

jobs() { nproc 2>/dev/null || echo 2; }

# apt_source_tarball PACKAGE VERSION DIR: fetches the upstream tarball of a
# Debian source package (apt-get source --tar-only) into DIR and prints its
# path. apt works on a private list and cache under DIR/.apt with deb-src
# twins of the machine's own Debian entries: the machine's apt set-up is
# only read, never changed. VERSION may be empty (the newest).
apt_source_tarball() {
	local pkg=$1 version=$2 dir=$3 entries tarball
	local apt_dir=$dir/.apt
	mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
	entries=$(deb_src_entries)
	if [ -z "$entries" ] && [ "$(id -u)" -eq 0 ]; then
		# No release information yet on a fresh machine: fetch the lists.
		apt-get update -q >/dev/null
		entries=$(deb_src_entries)
	fi
	if [ -z "$entries" ]; then
		say "no Debian 'deb' entry in the apt sources to derive a deb-src entry from"
		return 1
	fi
	printf '%s\n' "$entries" >"$apt_dir/parts/deb-src.list"
	local apt_private=(-q
		-o Dir::Etc::SourceList=/dev/null
		-o Dir::Etc::SourceParts="$apt_dir/parts"
		-o Dir::State::Lists="$apt_dir/lists"
		-o Dir::Cache="$apt_dir/cache"
		-o APT::Sandbox::User="$(id -un)")
	apt-get "${apt_private[@]}" update >/dev/null || return 1
	(cd "$dir" && apt-get "${apt_private[@]}" source --tar-only "$pkg${version:+=$version}" >/dev/null) ||
		return 1
	tarball=$(find "$dir" -maxdepth 1 -name "${pkg}_*.orig.tar.*" | head -n 1)
	if [ -z "$tarball" ]; then
		say "apt-get source brought no $pkg tarball"
		return 1
	fi
	echo "$tarball"
}

# deb_src_entries: one deb-src line per Debian archive that the machine
# installs packages from (its own URIs and suites, main component).
deb_src_entries() {
	apt-get indextargets --format '$(TARGET_OF) $(SITE) $(RELEASE)' \
		'Identifier: Packages' 'Origin: Debian' 'Component: main' |
		awk '$1 == "deb" { print "deb-src " $2 " " $3 " main" }' | sort -u
}
