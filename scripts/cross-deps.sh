#!/bin/bash
# Cross-builds the target libraries that Debian does not ship for powerpc
# into a git-ignored prefix, by default .cache/powerpc/usr:
#
#   libi2c (i2c-tools' SMBus library): lib/libi2c.a, include/i2c/smbus.h
#
# The source is the upstream tarball of Debian's i2c-tools source package,
# the same release as the host's libi2c-dev, fetched with apt-get source
# from the deb-src twins of the machine's own Debian entries. apt works on
# a private list and cache under .cache/powerpc/apt: the machine's apt
# set-up is only read, never changed. Prints the prefix on stdout.
#
# Usage: scripts/cross-deps.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

triple=powerpc-linux-gnu
cache=$PWD/.cache/powerpc
prefix=${1:-$cache/usr}
stamp=$prefix/.libi2c-stamp

# The release to build: the host's libi2c-dev (Debian's i2c-tools).
version=$(dpkg-query -W -f='${source:Version}' libi2c-dev 2>/dev/null || true)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "i2c-tools $version" ] &&
	[ -f "$prefix/lib/libi2c.a" ] && [ -f "$prefix/include/i2c/smbus.h" ]; then
	echo "$prefix"
	exit 0
fi

# deb_src_entries: one deb-src line per Debian archive that the machine
# installs packages from (its own URIs and suites, main component).
deb_src_entries() {
	apt-get indextargets --format '$(TARGET_OF) $(SITE) $(RELEASE)' \
		'Identifier: Packages' 'Origin: Debian' 'Component: main' |
		awk '$1 == "deb" { print "deb-src " $2 " " $3 " main" }' | sort -u
}

apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$cache/src"
entries=$(deb_src_entries)
if [ -z "$entries" ] && [ "$(id -u)" -eq 0 ]; then
	# No release information yet on a fresh machine: fetch the lists.
	apt-get update -q >/dev/null
	entries=$(deb_src_entries)
fi
if [ -z "$entries" ]; then
	say "no Debian 'deb' entry in the apt sources to derive a deb-src entry from"
	exit 1
fi
printf '%s\n' "$entries" >"$apt_dir/parts/deb-src.list"

apt_private=(-q
	-o Dir::Etc::SourceList=/dev/null
	-o Dir::Etc::SourceParts="$apt_dir/parts"
	-o Dir::State::Lists="$apt_dir/lists"
	-o Dir::Cache="$apt_dir/cache"
	-o APT::Sandbox::User="$(id -un)")

say "fetching the i2c-tools source (${version:-newest})"
apt-get "${apt_private[@]}" update >/dev/null
want=i2c-tools${version:+=$version}
rm -rf "$cache/src"/*
(cd "$cache/src" && apt-get "${apt_private[@]}" source --tar-only "$want" >/dev/null)
tarball=$(find "$cache/src" -maxdepth 1 -name 'i2c-tools_*.orig.tar.*' | head -n 1)
if [ -z "$tarball" ]; then
	say "apt-get source brought no i2c-tools tarball"
	exit 1
fi
tar -xf "$tarball" -C "$cache/src"
srcdir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'i2c-tools-*' | head -n 1)

say "cross-building libi2c for $triple"
# The upstream makefile, static library only (the launcher links it in).
make -s -C "$srcdir" CC="$triple-gcc" AR="$triple-ar" CFLAGS="-O2" \
	BUILD_DYNAMIC_LIB=0 BUILD_STATIC_LIB=1 lib/libi2c.a >/dev/null
install -D -m 0644 "$srcdir/lib/libi2c.a" "$prefix/lib/libi2c.a"
install -D -m 0644 "$srcdir/include/i2c/smbus.h" "$prefix/include/i2c/smbus.h"
echo "i2c-tools $version" >"$stamp"
echo "$prefix"
