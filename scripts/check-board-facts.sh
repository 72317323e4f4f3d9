#!/bin/bash
# SPDX-License-Identifier: MIT
# The board description (cmake/board.cmake) is the only place that spells
# a board fact: this fails when the code of the launcher, the board layer,
# the shared library, vemra-boot, vemra-image or the virtual board's
# scripts spells one of its values itself (comments aside), and when the
# README's "What is compiled in" table gives a path or byte that is not
# the description's default or leaves a setting's value out.
set -euo pipefail
cd "$(dirname "$0")/.."

DESC=cmake/board.cmake
fail=0
bad() { printf 'check-board-facts: %s\n' "$*" >&2; fail=1; }

# NAME=DEFAULT for each setting of the description.
declare -A def
while IFS='=' read -r k v; do def[$k]=$v; done < <(
	sed -n 's/^set(\(VEMRA_[A-Z0-9_]*\) \([^ ]*\) CACHE .*/\1=\2/p' "$DESC")
[ "${#def[@]}" -ge 20 ] || { bad "no settings read from $DESC"; exit 1; }

# Code lines without comments, FILE:LINE:TEXT: C++ (// comments) or
# shell and Python (# comments).
code_lines() {
	local mark=$1
	shift
	[ $# -gt 0 ] || return 0
	grep -nE '' /dev/null "$@" | grep -vE "^[^:]+:[0-9]+:\s*($mark|\*|/\*)" |
		sed -E "s#[[:space:]]${mark}[^\"']*\$##"
}

# The facts' literals: the I2C addresses, register and value (as written
# in hex), the VPD bytes but byte 0, and the paths.
patterns=()
for k in VEMRA_I2C_MUX VEMRA_I2C_SUMMIT VEMRA_I2C_EEPROM VEMRA_SUMMIT_REG VEMRA_SUMMIT_VALUE; do
	patterns+=("\\b${def[$k]}\\b")
done
for k in VEMRA_VPD_BOOTED VEMRA_TRIAL_VPD; do
	patterns+=("([^0-9x.])${def[$k]}([^0-9]|$)")
done
patterns+=("${def[VEMRA_MTD_PREFIX]}" "${def[VEMRA_USER_DIR]}[/\"' ]" "${def[VEMRA_APP_PROGRAM]}"
	"${def[VEMRA_APP_PROGRAM]##*/}" "${def[VEMRA_APP_MONITOR]}" "${def[VEMRA_APP_GDBSERVER]}"
	"${def[VEMRA_APP_DUMA]}" "${def[VEMRA_LOCK_FILE]}" "${def[VEMRA_AGENT_CONFIG]}")

sources=$(find agent board launcher libvemra vemra-boot vemra-image -name '*.cpp' -o -name '*.h' | sort)
scripts=(virtual-board/vboard virtual-board/board.py virtual-board/rootfs/etc/board/rc.start
	virtual-board/rootfs/etc/board/rc.stop)
# shellcheck disable=SC2086
lines=$(code_lines // $sources | grep -v '#include <'; code_lines '#' "${scripts[@]}")
for p in "${patterns[@]}"; do
	hits=$(grep -iE -- "^[^:]+:[0-9]+:(.*)$p" <<< "$lines" || true)
	[ -z "$hits" ] || bad "a board fact outside $DESC (from its settings there):"$'\n'"$hits"
done

# The README's table: every setting it names has its default in the
# row; every path and 0x byte in the rows is a default or made of them.
table=$(sed -n '/^\*\*What is compiled in\*\*/,/^$/p;/^| What /,/^$/p' README.md | grep '^| ' | tail -n +3)
[ -n "$table" ] || bad "README.md: no \"What is compiled in\" table"
grep -q "$DESC" <<< "$(sed -n '/What is compiled in/,+3p' README.md)" ||
	bad "README.md: the \"What is compiled in\" table does not name $DESC"
prefix=${def[VEMRA_MTD_PREFIX]} user=${def[VEMRA_USER_DIR]}
known=" $user $user/images $user/images/image1 $user/images/image2 ${prefix}${def[VEMRA_PART_USER]}-char"
known+=" /dev/i2c-${def[VEMRA_I2C_VPD_BUS]} /tmp/${def[VEMRA_APP_PROGRAM]##*/} /sys/class/mtd"
for k in "${!def[@]}"; do
	case $k in VEMRA_PART_*) known+=" $prefix${def[$k]}" ;; esac
	known+=" ${def[$k]}"
done
known=$(tr 'A-F' 'a-f' <<< "$known ")
while IFS= read -r row; do
	value=$(cut -d'|' -f3 <<< "$row") settings=$(cut -d'|' -f4 <<< "$row")
	while read -r k; do
		[ -n "${def[$k]+x}" ] || { bad "README.md: no setting $k in $DESC"; continue; }
		v=${def[$k]}
		[[ $k == VEMRA_PART_* ]] && v=$prefix$v
		[[ $k == VEMRA_MTD_PREFIX ]] && continue
		grep -qiE "(^|[^0-9A-Za-z_/.-])$v([^0-9A-Za-z_/-]|$)" <<< "$value" ||
			bad "README.md: the row of $k does not give its value $v: $value"
	done < <(grep -oE "VEMRA_[A-Z0-9_]+" <<< "$settings")
	while read -r t; do
		grep -qF " $(tr 'A-F' 'a-f' <<< "$t") " <<< "$known" ||
			bad "README.md: '$t' in the table is no value of $DESC"
	done < <(grep -oE '(/[A-Za-z0-9_.-]+)+|0x[0-9A-Fa-f]+|\b[a-z]+/[A-Za-z0-9_./-]+' <<< "$value")
done <<< "$table"

[ "$fail" -eq 0 ] && echo "check-board-facts: the board's facts are in $DESC alone"
exit "$fail"
