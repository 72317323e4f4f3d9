# SPDX-License-Identifier: MIT
SUMMARY = "Boot-time application launcher and boot control for the board"
DESCRIPTION = "vemra-launcher starts the board's application at boot; \
vemra-boot is the board's boot control. The native variant is vemra-image, \
the host tool that makes, signs and checks images."
# The programs link i2c-tools' libi2c (LGPL-2.1+); linked statically, its
# license applies to them as well.
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=8f3f38aa273ce4f230584f4161e3d653"

# The source is the tree this layer ships in, at the recipe's version (the
# project's, CMakeLists.txt): a checkout of a release builds that release.
# To build a pinned commit from a git server instead, drop these two lines
# and set SRC_URI (git://...;protocol=https;branch=main), SRCREV (the
# release's commit) and S = "${WORKDIR}/git".
inherit externalsrc
EXTERNALSRC = "${@os.path.abspath(d.getVar('FILE_DIRNAME') + '/../../../..')}"

DEPENDS = "i2c-tools libsodium"
DEPENDS:class-native = "libsodium-native"

inherit cmake update-rc.d systemd

# The board's settings: minisign public keys (NAME.pub paths, separated by
# spaces) for /etc/vemra-boot/keys, the board's string for
# /etc/vemra-boot/board (empty: no keys, no string), the first of the
# trial's six VPD bytes, and the boot loader environment's size and erase
# sector for /etc/fw_env.config (empty where another package, such as
# u-boot-fw-utils, installs that file).
VEMRA_KEYS ?= ""
VEMRA_BOARD_NAME ?= ""
VEMRA_TRIAL_VPD ?= "250"
VEMRA_FW_ENV ?= "0x2000 0x20000"

# The board layer, the launcher, vemra-boot and their start-up files; the
# cmake class installs them with DESTDIR=${D}. Warnings stay warnings: the
# layer's compiler may warn where the project's does not.
EXTRA_OECMAKE = "-DVEMRA_TESTS=OFF -DVEMRA_INSTALL_BOARD=ON -DVEMRA_WERROR=OFF \
    -DVEMRA_TRIAL_VPD=${VEMRA_TRIAL_VPD} '-DVEMRA_FW_ENV=${VEMRA_FW_ENV}' \
    '-DVEMRA_BOARD_NAME=${VEMRA_BOARD_NAME}' '-DVEMRA_KEYS=${VEMRA_KEYS}' \
    -DVEMRA_SYSTEMD_UNIT_DIR=${systemd_system_unitdir} \
    -DVEMRA_UDEV_RULES_DIR=${nonarch_base_libdir}/udev/rules.d"
# vemra-image alone on the build machine: no libi2c.
EXTRA_OECMAKE:class-native = "-DVEMRA_TESTS=OFF -DVEMRA_IMAGE_ONLY=ON -DVEMRA_WERROR=OFF"

# Started once per boot, last: the init script with sysvinit, the unit
# with systemd.
INITSCRIPT_NAME = "vemra-launcher"
INITSCRIPT_PARAMS = "start 99 2 3 4 5 ."
SYSTEMD_SERVICE:${PN} = "vemra-launcher.service"

# With busybox mdev, its rule goes into /etc/mdev.conf (once).
pkg_postinst:${PN}() {
	if [ -f $D${sysconfdir}/mdev.conf ] && ! grep -qs vemra-launcher/mtd-name $D${sysconfdir}/mdev.conf; then
		cat $D${datadir}/vemra-launcher/mdev.conf >>$D${sysconfdir}/mdev.conf
	fi
}

FILES:${PN} = "${sbindir}/vemra-launcher ${sbindir}/vemra-boot ${sysconfdir} \
    ${datadir}/vemra-launcher ${libexecdir}/vemra-launcher \
    ${systemd_system_unitdir} ${nonarch_base_libdir}/udev/rules.d"

BBCLASSEXTEND = "native"
