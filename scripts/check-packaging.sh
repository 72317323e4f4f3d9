#!/bin/bash
# Checks the Buildroot package (with its external tree) and the Yocto layer
# in dist/ without Buildroot or BitBake: the Config.in files go through
# kconfiglib, the .mk through GNU make over stand-ins for Buildroot's
# macros, the recipe and layer.conf through a check of BitBake's assignment
# syntax; the CMake options both pass must be options of CMakeLists.txt.
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

# Buildroot includes external.mk, which includes the package's .mk. Here
# cmake-package only checks that the package set what a cmake-package
# fetched from git needs, and shows the values the options check reads.
cat >"$tmp/buildroot.mk" <<'EOF'
pkgname = $(lastword $(subst /, ,$(dir $(lastword $(MAKEFILE_LIST)))))
PKG = $(shell echo '$(pkgname)' | tr a-z- A-Z_)
define cmake-package
$(foreach v,VERSION SITE SITE_METHOD DEPENDENCIES CONF_OPTS,$(if $(strip $($(PKG)_$(v))),,$(error $(PKG)_$(v) is not set)))
$(info CONF_OPTS=$($(PKG)_CONF_OPTS))
$(info DEPENDENCIES=$($(PKG)_DEPENDENCIES))
endef
include $(BR2_EXTERNAL_$(NAME)_PATH)/external.mk
all: ; @:
EOF
if ! make -s -n --warn-undefined-variables -f "$tmp/buildroot.mk" NAME="$name" \
	>"$tmp/make.out" 2>"$tmp/make.err" || [ -s "$tmp/make.err" ]; then
	cat "$tmp/make.err" >&2
	say "dist/buildroot: make fails on the package's .mk"
	exit 1
fi

/usr/bin/python3 - "$tmp" <<'EOF'
import glob, os, re, subprocess, sys
os.environ["KCONFIG_WARN_UNDEF"] = "y"  # before kconfiglib reads it
import kconfiglib

tmp = sys.argv[1]
errors = []
def error(msg): errors.append(msg)

# Kconfig: Buildroot's own symbols that the package uses are defined as
# stubs, so that any undefined symbol left is a fault (a typo).
stubs = ["BR2_INSTALL_LIBSTDCPP", "BR2_TOOLCHAIN_GCC_AT_LEAST_8",
         "BR2_PACKAGE_I2C_TOOLS", "BR2_PACKAGE_LIBSODIUM"]
with open(f"{tmp}/Config.in", "w") as f:
    for s in stubs:
        f.write(f'config {s}\n\tbool "{s}"\n')
    f.write('source "dist/buildroot/Config.in"\n')
for path in ["dist/buildroot/Config.in",
             "dist/buildroot/package/vemra-launcher/Config.in"]:
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

# Both builds pass only options that CMakeLists.txt has, and need both
# libraries; the recipe's version is the project's.
cmake = open("CMakeLists.txt").read()
known = set(re.findall(r'option\(\s*(VEMRA_\w+)', cmake))
known |= set(re.findall(r'set\(\s*(VEMRA_\w+)[^)]*\bCACHE\b', cmake))
made = dict(l.split("=", 1) for l in open(f"{tmp}/make.out") if "=" in l)
if not made:
    error("vemra-launcher.mk: no $(eval $(cmake-package))")
for where, opts, deps in [
        ("vemra-launcher.mk", made.get("CONF_OPTS", ""), made.get("DEPENDENCIES", "")),
        (recipe_path, recipe.get("EXTRA_OECMAKE", ""), recipe.get("DEPENDS", ""))]:
    if "-DVEMRA_TESTS=OFF" not in opts.split():
        error(f"{where}: the options do not hold -DVEMRA_TESTS=OFF")
    for opt in re.findall(r'-D(VEMRA_\w+)', opts):
        if opt not in known:
            error(f"{where}: -D{opt} is no option(...) of CMakeLists.txt")
    if not {"i2c-tools", "libsodium"} <= set(deps.split()):
        error(f"{where}: does not depend on both i2c-tools and libsodium")
version = re.search(r'project\(vemra-launcher VERSION ([\d.]+)', cmake)[1]
if not recipe_path.endswith(f"_{version}.bb"):
    error(f"{recipe_path}: the project's version is {version}")

for e in errors:
    print(f"==> {e}", file=sys.stderr)
sys.exit(1 if errors else 0)
EOF
say "packaging files in dist/: checked"
