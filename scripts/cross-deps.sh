#!/bin/bash
# SPDX-License-Identifier: MIT
# Cross-builds the target libraries that Debian does not ship for powerpc
# into a git-ignored prefix, by default .cache/powerpc/usr:
#
#   libi2c (i2c-tools' SMBus library): lib/libi2c.a, include/i2c/smbus.h
#   libsodium (vemra-boot's signature checks): lib/libsodium.a, include/sodium.h
#
# and with --fleet, for vemra-agent (the board's MQTT agent):
#
#   libmosquitto (MQTT client, no TLS, no threads): lib/libmosquitto.a, include/mosquitto.h
#   cJSON: lib/libcjson.a, include/cjson/cJSON.h
#
# The sources are the upstream tarballs of Debian's i2c-tools and libsodium
# source packages, the same releases as the host's libi2c-dev and
# libsodium-dev, fetched with apt-get source (scripts/lib.sh:
# apt_source_tarball). Prints the prefix on stdout.
#
# Usage: scripts/cross-deps.sh [--fleet] [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

fleet=false
if [ "${1:-}" = --fleet ]; then
	fleet=true
	shift
fi
triple=powerpc-linux-gnu
cache=$PWD/.cache/powerpc
prefix=${1:-$cache/usr}
# One build at a time (the test command builds the board's while it tests
# on the host): a second waits, then finds the first one's stamps.
mkdir -p "$cache"
exec 8>"$cache/.lock"
flock 8

# built NAME VERSION: the stamp says that this release is in the prefix.
built() {
	[ -f "$prefix/.$1-stamp" ] && [ "$(cat "$prefix/.$1-stamp")" = "$1 $2" ]
}

# source NAME VERSION: the unpacked upstream source; prints its folder.
source_of() {
	local tarball
	rm -rf "$cache/src-$1" && mkdir -p "$cache/src-$1"
	tarball=$(apt_source_tarball "$1" "$2" "$cache/src-$1")
	tar -xf "$tarball" -C "$cache/src-$1"
	find "$cache/src-$1" -mindepth 1 -maxdepth 1 -type d -iname "$1-*" | head -n 1
}

# The releases to build: the host's -dev packages' (Debian's sources).
i2c_version=$(dpkg-query -W -f='${source:Version}' libi2c-dev 2>/dev/null || true)
if ! built libi2c "$i2c_version" || [ ! -f "$prefix/lib/libi2c.a" ]; then
	say "fetching the i2c-tools source (${i2c_version:-newest})"
	srcdir=$(source_of i2c-tools "$i2c_version")
	say "cross-building libi2c for $triple"
	# The upstream makefile, static library only (the launcher links it in).
	make -s -C "$srcdir" CC="$triple-gcc" AR="$triple-ar" CFLAGS="-O2" \
		BUILD_DYNAMIC_LIB=0 BUILD_STATIC_LIB=1 lib/libi2c.a >/dev/null
	install -D -m 0644 "$srcdir/lib/libi2c.a" "$prefix/lib/libi2c.a"
	install -D -m 0644 "$srcdir/include/i2c/smbus.h" "$prefix/include/i2c/smbus.h"
	echo "libi2c $i2c_version" >"$prefix/.libi2c-stamp"
fi

sodium_version=$(dpkg-query -W -f='${source:Version}' libsodium-dev 2>/dev/null || true)
if ! built libsodium "$sodium_version" || [ ! -f "$prefix/lib/libsodium.a" ]; then
	say "fetching the libsodium source (${sodium_version:-newest})"
	srcdir=$(source_of libsodium "$sodium_version")
	say "cross-building libsodium for $triple (about a minute)"
	# The tarball holds no generated configure: autogen.sh makes it.
	(cd "$srcdir" && ./autogen.sh -s >/dev/null 2>&1 &&
		./configure -q --host=$triple --prefix="$prefix" --disable-shared \
			--enable-minimal >/dev/null &&
		make -s -j"$(jobs)" >/dev/null 2>&1 && make -s install >/dev/null)
	echo "libsodium $sodium_version" >"$prefix/.libsodium-stamp"
fi

if ! $fleet; then
	echo "$prefix"
	exit 0
fi
mosquitto_version=$(dpkg-query -W -f='${source:Version}' libmosquitto-dev 2>/dev/null || true)
if ! built libmosquitto "$mosquitto_version" || [ ! -f "$prefix/lib/libmosquitto.a" ]; then
	say "fetching the mosquitto source (${mosquitto_version:-newest})"
	srcdir=$(source_of mosquitto "$mosquitto_version")
	say "cross-building libmosquitto for $triple"
	# The client library alone, static: no TLS (the board's trust is in
	# the update's signature), no threads (the agent runs its own loop),
	# no broker, programs, plugins, C++ wrapper, SOCKS or manuals. Its
	# CMake always makes the shared library too: only the static one's
	# target is built, installed under the name the linker looks for.
	rm -rf "$srcdir/build"
	cmake -S "$srcdir" -B "$srcdir/build" -DCMAKE_SYSTEM_NAME=Linux \
		-DCMAKE_C_COMPILER="$triple-gcc" -DCMAKE_CXX_COMPILER="$triple-g++" \
		-DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_INSTALL_PREFIX="$prefix" \
		-DWITH_TLS=OFF -DWITH_TLS_PSK=OFF -DWITH_CJSON=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF \
		-DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF -DWITH_THREADING=OFF -DWITH_LIB_CPP=OFF \
		-DWITH_CLIENTS=OFF -DWITH_SOCKS=OFF -DWITH_SRV=OFF -DWITH_STATIC_LIBRARIES=ON \
		-DWITH_PIC=OFF >/dev/null
	cmake --build "$srcdir/build" -j"$(jobs)" --target libmosquitto_static >/dev/null
	install -D -m 0644 "$srcdir/build/lib/libmosquitto_static.a" "$prefix/lib/libmosquitto.a"
	install -D -m 0644 "$srcdir/include/mosquitto.h" "$prefix/include/mosquitto.h"
	install -D -m 0644 "$srcdir/include/mqtt_protocol.h" "$prefix/include/mqtt_protocol.h"
	echo "libmosquitto $mosquitto_version" >"$prefix/.libmosquitto-stamp"
fi

cjson_version=$(dpkg-query -W -f='${source:Version}' libcjson-dev 2>/dev/null || true)
if ! built libcjson "$cjson_version" || [ ! -f "$prefix/lib/libcjson.a" ]; then
	say "fetching the cjson source (${cjson_version:-newest})"
	srcdir=$(source_of cjson "$cjson_version")
	say "cross-building cJSON for $triple"
	# One C file: compiled as its own CMake file would, into a static
	# library, the header where Debian's libcjson-dev puts it.
	"$triple-gcc" -std=c89 -Os -fno-strict-aliasing -c "$srcdir/cJSON.c" -o "$srcdir/cJSON.o"
	rm -f "$srcdir/libcjson.a"
	"$triple-ar" rcs "$srcdir/libcjson.a" "$srcdir/cJSON.o"
	install -D -m 0644 "$srcdir/libcjson.a" "$prefix/lib/libcjson.a"
	install -D -m 0644 "$srcdir/cJSON.h" "$prefix/include/cjson/cJSON.h"
	echo "libcjson $cjson_version" >"$prefix/.libcjson-stamp"
fi
echo "$prefix"
