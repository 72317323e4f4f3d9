#!/bin/bash
# SPDX-License-Identifier: MIT
# A web server on the host for the virtual boards' updates: Debian's
# lighttpd serving a folder's files as they are, on 127.0.0.1 at a free
# port, as a team's own web server or CDN serves its images and their
# signatures. On a virtual board's network (QEMU's user network) the
# host's 127.0.0.1 is 10.0.2.2. The server is a process of its own, with
# its configuration, pid file and logs in the folder RUN; the Debian
# service is left as it is.
#
#   scripts/web.sh start DIR RUN   serves DIR; prints the port once it listens
#   scripts/web.sh stop RUN        stops the server that RUN holds
set -euo pipefail

die() { printf 'web: %s\n' "$*" >&2; exit 1; }

free_port() {
	python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# config DIR RUN PORT: files as they are, nothing else (no listings, no
# scripts), each request in RUN/access.log.
config() {
	cat <<EOF
server.document-root = "$1"
server.bind = "127.0.0.1"
server.port = $3
server.pid-file = "$2/lighttpd.pid"
server.errorlog = "$2/error.log"
server.modules = ( "mod_accesslog" )
accesslog.filename = "$2/access.log"
mimetype.assign = ( "" => "application/octet-stream" )
EOF
}

running() { [ -s "$1/lighttpd.pid" ] && kill -0 "$(cat "$1/lighttpd.pid")" 2>/dev/null; }

cmd_start() {
	local dir run port
	command -v lighttpd >/dev/null ||
		die "lighttpd is missing: install Debian's lighttpd (apt-get install lighttpd) as root"
	[ -d "$1" ] || die "no folder $1 to serve"
	dir=$(realpath "$1")
	mkdir -p "$2"
	run=$(realpath "$2")
	! running "$run" || die "a server runs already from $run (scripts/web.sh stop $run)"
	# The port can be taken between the look-up and lighttpd's bind: a few
	# tries. lighttpd goes into the background once it listens, and its
	# status says whether it does.
	for _ in 1 2 3 4 5; do
		port=$(free_port)
		config "$dir" "$run" "$port" >"$run/lighttpd.conf"
		if lighttpd -f "$run/lighttpd.conf" 2>>"$run/error.log"; then
			echo "$port"
			return 0
		fi
	done
	die "lighttpd did not start: $(tail -n 3 "$run/error.log")"
}

cmd_stop() {
	local run=$1 pid _
	running "$run" || return 0
	pid=$(cat "$run/lighttpd.pid")
	kill "$pid"
	for _ in $(seq 50); do
		kill -0 "$pid" 2>/dev/null || { rm -f "$run/lighttpd.pid"; return 0; }
		sleep 0.1
	done
	die "lighttpd (pid $pid) did not stop within 5 s"
}

case ${1:-} in
start) [ $# -eq 3 ] || die "usage: web.sh start DIR RUN"; cmd_start "$2" "$3" ;;
stop) [ $# -eq 2 ] || die "usage: web.sh stop RUN"; cmd_stop "$2" ;;
*) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac
