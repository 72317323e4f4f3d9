# SPDX-License-Identifier: MIT
################################################################################
#
# vemra-launcher
#
################################################################################

# The source is the tree this external tree ships in, at the version its
# CMakeLists.txt gives: a checkout of a release builds that release. To
# build a pinned commit from a git server instead, set
#   VEMRA_LAUNCHER_VERSION = <tag or commit>
#   VEMRA_LAUNCHER_SITE = https://git.example.com/vemra/vemra-launcher.git
#   VEMRA_LAUNCHER_SITE_METHOD = git
VEMRA_LAUNCHER_VERSION = 0.2
VEMRA_LAUNCHER_SITE = $(BR2_EXTERNAL_VEMRA_PATH)/../..
VEMRA_LAUNCHER_SITE_METHOD = local
# The programs link i2c-tools' libi2c (LGPL-2.1+), statically with
# BR2_STATIC_LIBS: its license then applies to them as well.
VEMRA_LAUNCHER_LICENSE = MIT
VEMRA_LAUNCHER_LICENSE_FILES = LICENSE
VEMRA_LAUNCHER_DEPENDENCIES = i2c-tools libsodium
# The board layer, the launcher, vemra-boot and their start-up files.
# Warnings stay warnings: the toolchain's compiler may warn where the
# project's does not.
VEMRA_LAUNCHER_CONF_OPTS = -DVEMRA_TESTS=OFF -DVEMRA_INSTALL_BOARD=ON -DVEMRA_WERROR=OFF \
	-DVEMRA_TRIAL_VPD=$(call qstrip,$(BR2_PACKAGE_VEMRA_LAUNCHER_TRIAL_VPD)) \
	-DVEMRA_FW_ENV="$(call qstrip,$(BR2_PACKAGE_VEMRA_LAUNCHER_FW_ENV))" \
	-DVEMRA_BOARD_NAME="$(call qstrip,$(BR2_PACKAGE_VEMRA_LAUNCHER_BOARD_NAME))" \
	-DVEMRA_KEYS="$(abspath $(call qstrip,$(BR2_PACKAGE_VEMRA_LAUNCHER_KEYS)))" \
	-DVEMRA_UDEV_RULES_DIR=/lib/udev/rules.d

# Busybox init and sysvinit run /etc/init.d/S??* from rcS: the launcher
# last. systemd enables the unit that cmake --install put in place.
define VEMRA_LAUNCHER_INSTALL_INIT_SYSV
	ln -sf vemra-launcher $(TARGET_DIR)/etc/init.d/S99vemra-launcher
endef

# With mdev, its rule goes into /etc/mdev.conf (once).
ifeq ($(BR2_ROOTFS_DEVICE_CREATION_DYNAMIC_MDEV),y)
define VEMRA_LAUNCHER_MDEV_RULE
	grep -qs vemra-launcher/mtd-name $(TARGET_DIR)/etc/mdev.conf || \
		cat $(TARGET_DIR)/usr/share/vemra-launcher/mdev.conf >>$(TARGET_DIR)/etc/mdev.conf
endef
VEMRA_LAUNCHER_TARGET_FINALIZE_HOOKS += VEMRA_LAUNCHER_MDEV_RULE
endif

# vemra-image alone on the build machine: no libi2c.
HOST_VEMRA_LAUNCHER_DEPENDENCIES = host-libsodium
HOST_VEMRA_LAUNCHER_CONF_OPTS = -DVEMRA_TESTS=OFF -DVEMRA_IMAGE_ONLY=ON -DVEMRA_WERROR=OFF

$(eval $(cmake-package))
$(eval $(host-cmake-package))
