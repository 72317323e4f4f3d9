#!/bin/bash
# SPDX-License-Identifier: MIT
# The fleet's MQTT broker on the host: Debian's mosquitto run as a process
# of its own (the Debian service is left as it is), on 127.0.0.1 at a free
# port (on a virtual board's network, QEMU's user network, that is
# 10.0.2.2). No anonymous clients: a password file made with
# mosquitto_passwd and an ACL file, both made from the folder's list of
# boards, DIR/boards, one line per board (blank lines and # comments
# aside):
#
#   ID BOARD GROUP PASSWORD
#
# Each board may publish its own state, vemra/BOARD/ID/state, and read its
# group's announcement, vemra/BOARD/GROUP/update; the user "operator" may
# read and write vemra/# and vemra-fleet/#, with the credentials written
# to DIR/operator.conf (mode 0600, vemra-fleet --credentials; kept as they
# are when the file is there). Retained messages are kept in
# DIR/mosquitto.db across restarts; the log is DIR/mosquitto.log.
#
#   scripts/broker.sh start DIR    starts the broker; prints its port once it listens
#                                  (the port it had, when it ran from DIR before)
#   scripts/broker.sh users DIR    makes the password and ACL files again from
#                                  DIR/boards; a running broker reloads them
#   scripts/broker.sh stop DIR     stops the broker that DIR holds
set -euo pipefail

die() { printf 'broker: %s\n' "$*" >&2; exit 1; }

NAME='^[A-Za-z0-9._-]{1,63}$'

free_port() {
	python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

running() { [ -s "$1/mosquitto.pid" ] && kill -0 "$(cat "$1/mosquitto.pid")" 2>/dev/null; }

# config DIR PORT: one listener, no anonymous clients, the files below.
# "user" names the user running this script: mosquitto started by root
# otherwise drops to the user mosquitto, which cannot read DIR's files.
config() {
	cat <<EOF
per_listener_settings false
listener $2 127.0.0.1
allow_anonymous false
password_file $1/passwd
acl_file $1/acl
user $(id -un)
pid_file $1/mosquitto.pid
persistence true
persistence_location $1/
persistence_file mosquitto.db
log_dest file $1/mosquitto.log
log_type error
log_type warning
log_type notice
log_type information
connection_messages true
log_timestamp_format %Y-%m-%dT%H:%M:%S
EOF
}

# operator DIR: the operator's credentials file, made once.
operator() {
	local file=$1/operator.conf
	[ -f "$file" ] && return 0
	(umask 077 && printf 'user=operator\npassword=%s\n' \
		"$(head -c 18 /dev/urandom | base64 | tr '+/' '._')" >"$file.new")
	mv "$file.new" "$file"
}

# users DIR: DIR/passwd and DIR/acl from DIR/boards and DIR/operator.conf,
# each written beside and renamed over the old one.
users() {
	local dir=$1 n=0 id board group password extra pass acl name
	local -A seen=()
	operator "$dir"
	pass=$(sed -n 's/^password=//p' "$dir/operator.conf")
	[ -n "$pass" ] || die "$dir/operator.conf has no password= line"
	acl=$'user operator\ntopic readwrite vemra/#\ntopic readwrite vemra-fleet/#\n'
	rm -f "$dir/passwd.new"
	(umask 077 && mosquitto_passwd -c -b "$dir/passwd.new" operator "$pass")
	if [ -f "$dir/boards" ]; then
		while read -r id board group password extra; do
			n=$((n + 1))
			case $id in '' | '#'*) continue ;; esac
			[ -n "$password" ] && [ -z "$extra" ] ||
				die "$dir/boards:$n: not 'ID BOARD GROUP PASSWORD'"
			for name in "$id" "$board" "$group"; do
				[[ $name =~ $NAME ]] || die "$dir/boards:$n: '$name': not 1 to 63 of A-Z a-z 0-9 . _ -"
			done
			[ "$id" != operator ] || die "$dir/boards:$n: 'operator' is the operator's user"
			[ -z "${seen[$id]:-}" ] || die "$dir/boards:$n: board $id listed twice"
			seen[$id]=1
			mosquitto_passwd -b "$dir/passwd.new" "$id" "$password"
			acl+=$'\n'"user $id"$'\n'"topic write vemra/$board/$id/state"$'\n'"topic read vemra/$board/$group/update"$'\n'
		done <"$dir/boards"
	fi
	printf '%s' "$acl" >"$dir/acl.new"
	mv "$dir/passwd.new" "$dir/passwd"
	mv "$dir/acl.new" "$dir/acl"
}

# started DIR FROM PID: waits until the broker's log, from byte FROM on,
# says it runs (its listener is open then), or its process PID ends.
started() {
	local _
	for _ in $(seq 100); do
		tail -c +"$(($2 + 1))" "$1/mosquitto.log" 2>/dev/null | grep -q ' running$' && return 0
		kill -0 "$3" 2>/dev/null || return 1
		sleep 0.05
	done
	return 1
}

cmd_start() {
	local dir port pid from last _
	command -v mosquitto >/dev/null && command -v mosquitto_passwd >/dev/null ||
		die "mosquitto is missing: install Debian's mosquitto (apt-get install mosquitto) as root"
	mkdir -p "$1"
	dir=$(realpath "$1")
	! running "$dir" || die "a broker runs already from $dir (scripts/broker.sh stop $dir)"
	users "$dir"
	# A broker started again in DIR listens where it did, as the boards
	# know it; a new one at a free port. That port can be taken between the
	# look-up and mosquitto's bind: a few tries.
	last=$(sed -n 's/^listener \([0-9]*\) .*/\1/p' "$dir/mosquitto.conf" 2>/dev/null || true)
	for _ in 1 2 3 4 5; do
		port=${last:-$(free_port)}
		last=
		config "$dir" "$port" >"$dir/mosquitto.conf"
		from=$(stat -c %s "$dir/mosquitto.log" 2>/dev/null || echo 0)
		setsid mosquitto -c "$dir/mosquitto.conf" </dev/null >/dev/null 2>>"$dir/mosquitto.log" &
		pid=$!
		if started "$dir" "$from" "$pid"; then
			echo "$port"
			return 0
		fi
		kill "$pid" 2>/dev/null || true
	done
	die "mosquitto did not start: $(tail -n 3 "$dir/mosquitto.log")"
}

cmd_users() {
	[ -d "$1" ] || die "no folder $1"
	command -v mosquitto_passwd >/dev/null ||
		die "mosquitto is missing: install Debian's mosquitto (apt-get install mosquitto) as root"
	users "$1"
	! running "$1" || kill -HUP "$(cat "$1/mosquitto.pid")"
}

cmd_stop() {
	local pid _
	running "$1" || return 0
	pid=$(cat "$1/mosquitto.pid")
	kill "$pid"
	for _ in $(seq 50); do
		kill -0 "$pid" 2>/dev/null || return 0
		sleep 0.1
	done
	die "mosquitto (pid $pid) did not stop within 5 s"
}

case ${1:-} in
start | users | stop) [ $# -eq 2 ] || die "usage: broker.sh $1 DIR"; "cmd_$1" "$2" ;;
*) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac
