#!/bin/bash
# SPDX-License-Identifier: MIT
# Checks the Buildroot package (with its external tree), the Yocto layer in
# dist/ and the start-up files in startup/ without Buildroot, BitBake or a
# board: the Config.in files go through kconfiglib, the .mk through GNU
# make over stand-ins for Buildroot's macros and a .config from the
# Kconfig, the recipe and layer.conf through a check of BitBake's
# assignment syntax; the CMake options both pass must be options of the
# build, their defaults its defaults, their license the LICENSE file and
# their source this tree at the project's version. The shell scripts go
# through sh -n, the unit through systemd-analyze, the inittab, mdev and
# udev lines through their syntax; vemra-image is built alone, without
# libi2c, as the host packages build it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_packages "${PACKAGING_PACKAGES[@]}"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

name=$(sed -n 's/^name: *//p' dist/buildroot/external.desc)
if ! [[ $name =~ ^[A-Za-z0-9_]+$ ]]; then
	say "dist/buildroot/external.desc: no valid 'name:'"
	exit 1
fi
export "BR2_EXTERNAL_${name}_PATH=$PWD/dist/buildroot"

/usr/bin/python3 - "$tmp" "$name" <<'EOF'
import glob, hashlib, os, re, subprocess, sys
os.environ["KCONFIG_WARN_UNDEF"] = "y"  # before kconfiglib reads it
os.environ["CONFIG_"] = ""  # symbols written as Buildroot writes them
import kconfiglib

tmp, name = sys.argv[1:3]
errors = []
def error(msg): errors.append(msg)

# Kconfig: Buildroot's own symbols that the package uses are defined as
# stubs, so that any undefined symbol left is a fault (a typo).
stubs = ["BR2_INSTALL_LIBSTDCPP", "BR2_TOOLCHAIN_GCC_AT_LEAST_8",
         "BR2_PACKAGE_I2C_TOOLS", "BR2_PACKAGE_LIBSODIUM",
         "BR2_ROOTFS_DEVICE_CREATION_DYNAMIC_MDEV"]
with open(f"{tmp}/Config.in", "w") as f:
    for s in stubs:
        f.write(f'config {s}\n\tbool "{s}"\n')
    f.write('source "dist/buildroot/Config.in"\n')
for path in ["dist/buildroot/Config.in"] + glob.glob("dist/buildroot/package/*/Config.in*"):
    for n, line in enumerate(open(path), 1):
        if line.startswith(" "):
            error(f"{path}:{n}: indented with spaces, not a tab")
try:
    kconf = kconfiglib.Kconfig(f"{tmp}/Config.in", warn_to_stderr=False)
except kconfiglib.KconfigError as e:
    kconf = None
    error(f"Kconfig: {e}")
if kconf:
    errors += [f"Kconfig: {w}" for w in kconf.warnings]
    pkg = kconf.syms.get("BR2_PACKAGE_VEMRA_LAUNCHER")
    comments = [n for n in kconf.node_iter() if n.item == kconfiglib.COMMENT
                and "vemra-launcher needs" in n.prompt[0]]
    if not pkg or not pkg.nodes or pkg.type != kconfiglib.BOOL:
        error("Kconfig: no bool BR2_PACKAGE_VEMRA_LAUNCHER")
    elif len(comments) != 1:
        error("Kconfig: no 'vemra-launcher needs a toolchain' comment")
    else:
        sym = kconf.syms
        # Offered with C++ and gcc >= 8 and then selects both libraries;
        # hidden, with the comment shown instead, when either is missing.
        for cpp, gcc8 in [(0, 2), (2, 0), (2, 2)]:
            sym["BR2_INSTALL_LIBSTDCPP"].set_value(cpp)
            sym["BR2_TOOLCHAIN_GCC_AT_LEAST_8"].set_value(gcc8)
            offered = cpp and gcc8
            shown = kconfiglib.expr_value(comments[0].prompt[1])
            if (pkg.visibility == 2) != bool(offered) or bool(shown) == bool(offered):
                error(f"Kconfig: with C++={cpp} gcc>=8={gcc8} the package "
                      f"is {'' if pkg.visibility else 'not '}offered and "
                      f"the comment {'' if shown else 'not '}shown")
        pkg.set_value(2)
        for lib in ["BR2_PACKAGE_I2C_TOOLS", "BR2_PACKAGE_LIBSODIUM"]:
            if sym[lib].tri_value != 2:
                error(f"Kconfig: BR2_PACKAGE_VEMRA_LAUNCHER does not select {lib}")

# The build's settings, from every CMake file: name -> default.
cmake = open("CMakeLists.txt").read()
settings = {}
for path in ["CMakeLists.txt"] + glob.glob("*/CMakeLists.txt") + glob.glob("cmake/*.cmake"):
    text = open(path).read()
    settings.update((m[1], "") for m in re.finditer(r'option\(\s*(VEMRA_\w+)', text))
    settings.update((m[1], m[2].strip('"')) for m in
                    re.finditer(r'set\(\s*(VEMRA_\w+)\s+("[^"]*"|\S+)[^)]*\bCACHE\b', text))

# The board's settings are package options whose defaults are the build's,
# offered with the package only; the host tool is an option of its own.
options = {"KEYS": "VEMRA_KEYS", "BOARD_NAME": "VEMRA_BOARD_NAME",
           "TRIAL_VPD": "VEMRA_TRIAL_VPD", "FW_ENV": "VEMRA_FW_ENV"}
if kconf:
    host = kconf.syms.get("BR2_PACKAGE_HOST_VEMRA_LAUNCHER")
    if not host or not host.nodes or host.type != kconfiglib.BOOL:
        error("Kconfig: no bool BR2_PACKAGE_HOST_VEMRA_LAUNCHER")
    for opt, setting in options.items():
        o = kconf.syms.get(f"BR2_PACKAGE_VEMRA_LAUNCHER_{opt}")
        if not o or not o.nodes or o.type != kconfiglib.STRING:
            error(f"Kconfig: no string BR2_PACKAGE_VEMRA_LAUNCHER_{opt}")
            continue
        if o.str_value != settings.get(setting):
            error(f"Kconfig: BR2_PACKAGE_VEMRA_LAUNCHER_{opt} defaults to "
                  f"'{o.str_value}', the build's {setting} to '{settings.get(setting)}'")
        pkg.set_value(0)
        if o.visibility:
            error(f"Kconfig: BR2_PACKAGE_VEMRA_LAUNCHER_{opt} offered without the package")
        pkg.set_value(2)
    sym["BR2_ROOTFS_DEVICE_CREATION_DYNAMIC_MDEV"].set_value(2)
    kconf.write_config(f"{tmp}/.config")

# Buildroot includes .config, then external.mk, which includes the
# package's .mk. Every Kconfig symbol is defined (empty when not set), so
# that an undefined variable is a typo. cmake-package checks that the
# package set what it needs and shows the values checked below.
syms = sorted(kconf.syms) if kconf else []
with open(f"{tmp}/buildroot.mk", "w") as f:
    f.write("".join(f"{s} :=\n" for s in syms if s.startswith("BR2_")))
    f.write(f"include {tmp}/.config\n" if kconf else "")
    f.write(r'''
qstrip = $(strip $(subst ",,$(1)))
TARGET_DIR := /target
VEMRA_LAUNCHER_TARGET_FINALIZE_HOOKS :=
pkgname = $(lastword $(subst /, ,$(dir $(lastword $(MAKEFILE_LIST)))))
PKG = $(shell echo '$(pkgname)' | tr a-z- A-Z_)
define cmake-package
$(foreach v,VERSION SITE SITE_METHOD DEPENDENCIES CONF_OPTS LICENSE LICENSE_FILES,$(if $(strip $($(PKG)_$(v))),,$(error $(PKG)_$(v) is not set)))
$(foreach v,VERSION SITE SITE_METHOD DEPENDENCIES CONF_OPTS LICENSE LICENSE_FILES INSTALL_INIT_SYSV,$(info $(v)=$(strip $($(PKG)_$(v)))))
$(info MDEV=$(strip $($(PKG)_TARGET_FINALIZE_HOOKS)))
endef
define host-cmake-package
$(foreach v,DEPENDENCIES CONF_OPTS,$(info HOST_$(v)=$(strip $(HOST_$(PKG)_$(v)))))
endef
include $(BR2_EXTERNAL_$(NAME)_PATH)/external.mk
all: ; @:
''')
mk = subprocess.run(["make", "-s", "-n", "--warn-undefined-variables", "-f", f"{tmp}/buildroot.mk",
                     f"NAME={name}"], capture_output=True, text=True)
if mk.returncode or mk.stderr:
    error(f"dist/buildroot: make fails on the package's .mk:\n{mk.stderr.strip()}")
made = dict(l.split("=", 1) for l in mk.stdout.splitlines() if "=" in l)

# BitBake: every logical line (a trailing backslash continues it) is an
# assignment with a quoted value, an inherit/include/require, or a shell
# function whose body sh -n accepts.
ASSIGN = re.compile(r'(?:export\s+)?([\w${}/.+-]+(?:\[[\w-]+\])?(?::[\w${}-]+)*)'
                    r'\s*(?:\?\?=|\?=|:=|\+=|=\+|\.=|=\.|=)\s*("[^"]*"|\'[^\']*\')')
FUNC = re.compile(r'[\w${}-]+(?::[\w${}-]+)*\s*\(\)\s*\{')
def bitbake(path):
    values, lines, i = {}, open(path).read().split("\n"), 0
    while i < len(lines):
        start, line = i + 1, lines[i]
        i += 1
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        while line.endswith("\\") and i < len(lines):
            line, i = line[:-1] + lines[i], i + 1
        if FUNC.fullmatch(line.strip()):
            body = []
            while i < len(lines) and lines[i] != "}":
                body.append(lines[i])
                i += 1
            if i == len(lines):
                error(f"{path}:{start}: function without a closing '}}'")
            i += 1
            sh = subprocess.run(["sh", "-n"], input="\n".join(body) + "\n",
                                text=True, capture_output=True)
            if sh.returncode:
                error(f"{path}:{start}: shell body: {sh.stderr.strip()}")
        elif m := ASSIGN.fullmatch(line.strip()):
            values[m[1]] = m[2][1:-1]
        elif not re.fullmatch(r'(inherit|include|require)\s+\S.*', line):
            error(f"{path}:{start}: not BitBake syntax: {line.strip()}")
    return values
recipes = glob.glob("dist/yocto/recipes-bsp/vemra-launcher/vemra-launcher_*.bb")
if len(recipes) != 1:
    sys.exit(f"==> dist/yocto: {len(recipes)} vemra-launcher recipes, not one")
recipe_path = recipes[0]
recipe = bitbake(recipe_path)
bitbake("dist/yocto/conf/layer.conf")

# Both builds pass only options that the build has, and need both
# libraries; the board's settings come from the package's options and the
# recipe's variables; the host builds make vemra-image alone.
if not made:
    error("vemra-launcher.mk: no $(eval $(cmake-package))")
for where, opts, deps, host_opts, host_deps in [
        ("vemra-launcher.mk", made.get("CONF_OPTS", ""), made.get("DEPENDENCIES", ""),
         made.get("HOST_CONF_OPTS", ""), made.get("HOST_DEPENDENCIES", "")),
        (recipe_path, recipe.get("EXTRA_OECMAKE", ""), recipe.get("DEPENDS", ""),
         recipe.get("EXTRA_OECMAKE:class-native", ""), recipe.get("DEPENDS:class-native", ""))]:
    if "-DVEMRA_TESTS=OFF" not in opts.split():
        error(f"{where}: the options do not hold -DVEMRA_TESTS=OFF")
    for opt in re.findall(r'-D(VEMRA_\w+)', opts + " " + host_opts):
        if opt not in settings:
            error(f"{where}: -D{opt} is no setting of the build")
    if not {"i2c-tools", "libsodium"} <= set(deps.split()):
        error(f"{where}: does not depend on both i2c-tools and libsodium")
    for setting in options.values():
        if f"-D{setting}=" not in opts:
            error(f"{where}: does not pass {setting}")
    if "-DVEMRA_IMAGE_ONLY=ON" not in host_opts.split() or "i2c-tools" in host_deps \
            or "libsodium" not in host_deps:
        error(f"{where}: the host build is not vemra-image alone (-DVEMRA_IMAGE_ONLY=ON, libsodium)")
for opt, setting in options.items():
    if f"-D{setting}=" in made.get("CONF_OPTS", "") and f"BR2_PACKAGE_VEMRA_LAUNCHER_{opt}" not in \
            open("dist/buildroot/package/vemra-launcher/vemra-launcher.mk").read():
        error(f"vemra-launcher.mk: {setting} is not BR2_PACKAGE_VEMRA_LAUNCHER_{opt}")
    if recipe.get(setting) != settings.get(setting) or f"${{{setting}}}" not in recipe.get("EXTRA_OECMAKE", ""):
        error(f"{recipe_path}: {setting} ?= '{settings.get(setting)}' is not passed as ${{{setting}}}")
if "recipes-bsp/vemra-launcher" in recipe_path and recipe.get("BBCLASSEXTEND") != "native":
    error(f"{recipe_path}: no native variant (BBCLASSEXTEND)")

# The version is the project's; the source is this tree; the license is
# the LICENSE file's.
version = re.search(r'project\(vemra-launcher VERSION ([\d.]+)', cmake)[1]
if not recipe_path.endswith(f"_{version}.bb"):
    error(f"{recipe_path}: the project's version is {version}")
if made.get("VERSION") != version:
    error(f"vemra-launcher.mk: version {made.get('VERSION')}, the project's is {version}")
site = made.get("SITE", "")
if made.get("SITE_METHOD") != "local" or not os.path.isdir(site) or not os.path.samefile(site, "."):
    error(f"vemra-launcher.mk: the site ({made.get('SITE_METHOD')} {site}) is not this tree")
class Recipe:
    def getVar(self, v): return os.path.dirname(os.path.abspath(recipe_path)) if v == "FILE_DIRNAME" else None
src = recipe.get("EXTERNALSRC", "")
src = eval(src[3:-1], {"os": os, "d": Recipe()}) if src.startswith("${@") else src
if not os.path.isdir(src) or not os.path.samefile(src, "."):
    error(f"{recipe_path}: EXTERNALSRC is not this tree")
license_md5 = hashlib.md5(open("LICENSE", "rb").read()).hexdigest()
if not open("LICENSE").readline().startswith("MIT License"):
    error("LICENSE: not the MIT license")
if made.get("LICENSE") != "MIT" or made.get("LICENSE_FILES") != "LICENSE":
    error("vemra-launcher.mk: license not MIT in LICENSE")
if recipe.get("LICENSE") != "MIT" or recipe.get("LIC_FILES_CHKSUM") != f"file://LICENSE;md5={license_md5}":
    error(f"{recipe_path}: license not MIT in LICENSE (md5 {license_md5})")

# Start-up: Buildroot and the recipe start the init script and the unit
# that cmake --install puts in place, and add the mdev rule.
startup = open("startup/CMakeLists.txt").read()
if "RENAME vemra-launcher" not in startup or "vemra-launcher.service" not in startup:
    error("startup/CMakeLists.txt: no /etc/init.d/vemra-launcher or vemra-launcher.service")
if "etc/init.d/S99vemra-launcher" not in made.get("INSTALL_INIT_SYSV", "") or \
        "VEMRA_LAUNCHER_MDEV_RULE" not in made.get("MDEV", ""):
    error("vemra-launcher.mk: the init script is not S99vemra-launcher, or no mdev rule")
if recipe.get("INITSCRIPT_NAME") != "vemra-launcher" or \
        recipe.get("SYSTEMD_SERVICE:${PN}") != "vemra-launcher.service":
    error(f"{recipe_path}: INITSCRIPT_NAME or SYSTEMD_SERVICE is not what cmake --install puts in place")

# The start-up files, with their @SETTINGS@ filled in: the scripts are
# shell; the inittab lines run boot-check, then the launcher once (wait,
# never respawn); the mdev line runs the naming script that is installed;
# each udev line is KEY op "value" pairs; the unit passes systemd-analyze
# with boot-check before the launcher, never restarted.
def filled(path):
    return re.sub(r'@(VEMRA_\w+)@', r'\1', open(path).read().replace("@VEMRA_SBIN@", f"{tmp}/sbin"))
for script in ["startup/vemra-launcher.init.in", "startup/mtd-name.in", "startup/vemra-agent.init.in"]:
    sh = subprocess.run(["sh", "-n"], input=filled(script), text=True, capture_output=True)
    if sh.returncode or not filled(script).startswith("#!/bin/sh\n"):
        error(f"{script}: not a shell script: {sh.stderr.strip()}")
lines = [l for l in filled("startup/inittab.in").splitlines() if l and not l.startswith("#")]
if [l.split(":")[2:] for l in lines] != [["sysinit", f"{tmp}/sbin/vemra-boot boot-check"],
                                         ["wait", f"{tmp}/sbin/vemra-launcher"]]:
    error("startup/inittab.in: not boot-check (sysinit), then the launcher (wait)")
lines = [l for l in open("startup/mdev.conf.in").read().splitlines() if l and not l.startswith("#")]
if len(lines) != 1 or not re.fullmatch(r'-?\S+ \d+:\d+ [0-7]{3} @@VEMRA_MTD_LINK@', lines[0]) or \
        "VEMRA_MTD_LINK ${CMAKE_INSTALL_FULL_LIBEXECDIR}/vemra-launcher/mtd-name" not in startup or \
        "${out}/mtd-name DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vemra-launcher" not in startup:
    error("startup/mdev.conf.in: not one rule that runs the installed mtd-name")
PAIR = r'[A-Z]+(\{[\w-]+\})?\s*(==|!=|=|\+=|:=)\s*"[^"]*"'
for n, l in enumerate(open("startup/60-vemra-mtd.rules.in"), 1):
    if l.strip() and not l.startswith("#") and not re.fullmatch(rf'{PAIR}(\s*,\s*{PAIR})*', l.strip()):
        error(f"startup/60-vemra-mtd.rules.in:{n}: not udev rule syntax")
os.makedirs(f"{tmp}/sbin")
for prog in ["vemra-boot", "vemra-launcher", "vemra-agent"]:
    with open(f"{tmp}/sbin/{prog}", "w") as f:
        f.write("#!/bin/sh\n")
    os.chmod(f"{tmp}/sbin/{prog}", 0o755)
# A unit's KEY=VALUE lines, once systemd-analyze has passed it.
def unit_of(name):
    with open(f"{tmp}/{name}", "w") as f:
        f.write(filled(f"startup/{name}.in"))
    verify = subprocess.run(["systemd-analyze", "verify", "--man=no", f"{tmp}/{name}"],
                            capture_output=True, text=True)
    if verify.returncode or name in verify.stderr:
        error(f"startup/{name}.in: systemd-analyze: {verify.stderr.strip()}")
    return {k: v.strip() for k, v in (l.split("=", 1) for l in open(f"{tmp}/{name}") if "=" in l and l[0] != "#")}
unit = unit_of("vemra-launcher.service")
if unit.get("ExecStartPre") != f"-{tmp}/sbin/vemra-boot boot-check" or \
        unit.get("ExecStart") != f"{tmp}/sbin/vemra-launcher" or unit.get("Restart") != "no":
    error("startup/vemra-launcher.service.in: not boot-check, then the launcher once")
# The fleet agent: one respawn line; a unit restarted whenever it ends.
lines = [l for l in filled("startup/inittab-agent.in").splitlines() if l and not l.startswith("#")]
if [l.split(":")[2:] for l in lines] != [["respawn", f"{tmp}/sbin/vemra-agent"]]:
    error("startup/inittab-agent.in: not the agent alone, respawned")
unit = unit_of("vemra-agent.service")
if unit.get("ExecStart") != f"{tmp}/sbin/vemra-agent" or unit.get("Restart") != "always":
    error("startup/vemra-agent.service.in: not the agent, restarted always")

for e in errors:
    print(f"==> {e}", file=sys.stderr)
sys.exit(1 if errors else 0)
EOF
# The board's settings that both packages pass: what a board build
# installs from them, and values it refuses.
b=$tmp/board
printf 'untrusted comment: minisign public key\nRWQ\n' >"$tmp/acme.pub"
cmake -S . -B "$b" -DVEMRA_TESTS=OFF -DVEMRA_INSTALL_BOARD=ON -DCMAKE_INSTALL_PREFIX=/usr \
	-DVEMRA_BOARD_NAME=acme-ppc-3 -DVEMRA_KEYS="$tmp/acme.pub" -DVEMRA_FW_ENV="0x4000 0x10000" >/dev/null
if [ "$(cat "$b/startup/board")" != acme-ppc-3 ] ||
	[ "$(tail -n 1 "$b/startup/fw_env.config")" != "$(printf '/dev/mtd-ubootenv\t0x0000\t0x4000\t0x10000')" ] ||
	! grep -q "/etc/vemra-boot/keys\" TYPE FILE FILES \"$tmp/acme.pub\"" "$b/startup/cmake_install.cmake"; then
	say "startup/CMakeLists.txt: the board's string, keys or fw_env.config not as set"
	exit 1
fi
for bad in "-DVEMRA_BOARD_NAME=acme ppc" -DVEMRA_KEYS=$tmp/none.pub -DVEMRA_FW_ENV=0x2000; do
	name=${bad#-D}
	if out=$(cmake -S . -B "$b" "$bad" 2>&1) || ! grep -q "CMake Error.*" <<<"$out" ||
		! grep -q "${name%%=*}" <<<"$out"; then
		say "startup/CMakeLists.txt: $bad accepted"
		exit 1
	fi
	cmake -S . -B "$b" -DVEMRA_BOARD_NAME= -DVEMRA_KEYS= -DVEMRA_FW_ENV="0x2000 0x20000" >/dev/null
done

# The host packages' build: vemra-image alone, without libi2c, at the
# project's version.
b=$tmp/image-only
cmake -S . -B "$b" -DVEMRA_IMAGE_ONLY=ON -DVEMRA_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$b" -j"$(nproc)" >/dev/null
DESTDIR=$b/root cmake --install "$b" >/dev/null
version=$(sed -n 's/^project(vemra-launcher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$(cd "$b/root" && find . -type f)" != ./usr/bin/vemra-image ] ||
	grep -q libi2c "$b/CMakeCache.txt" || ldd "$b/root/usr/bin/vemra-image" | grep -q libi2c ||
	[ "$("$b/root/usr/bin/vemra-image" --version)" != "vemra-image $version" ]; then
	say "-DVEMRA_IMAGE_ONLY=ON: not vemra-image $version alone, without libi2c"
	exit 1
fi
say "packaging files in dist/ and startup/: checked"
