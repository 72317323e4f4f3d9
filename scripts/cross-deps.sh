#!/bin/bash
# Cross-builds the target libraries that Debian does not ship for powerpc
# into a git-ignored prefix, by default .cache/powerpc/usr:
#
#   libi2c (i2c-tools' SMBus library): lib/libi2c.a, include/i2c/smbus.h
#
# The source is the upstream tarball of Debian's i2c-tools source package,
# the same release as the host's libi2c-dev, fetched with apt-get source
# (scripts/lib.sh: apt_source_tarball). Prints the prefix on stdout.
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

say "fetching the i2c-tools source (${version:-newest})"
rm -rf "$cache/src" && mkdir -p "$cache/src"
tarball=$(apt_source_tarball i2c-tools "$version" "$cache/src")
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
