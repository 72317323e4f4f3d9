################################################################################
#
# vemra-launcher
#
################################################################################

# A board team builds a pinned commit from its own git server: the
# download is cached in DL_DIR and every rebuild gets the same source.
# Set the site to the team's repository and move the version with each
# release (a tag or a commit). To build a working copy instead, put
#   VEMRA_LAUNCHER_OVERRIDE_SRCDIR = /path/to/vemra-launcher
# in the local.mk that BR2_PACKAGE_OVERRIDE_FILE names.
VEMRA_LAUNCHER_VERSION = v0.1
VEMRA_LAUNCHER_SITE = https://git.example.com/vemra/vemra-launcher.git
VEMRA_LAUNCHER_SITE_METHOD = git
# No _LICENSE/_LICENSE_FILES: the repository has no license file yet.
VEMRA_LAUNCHER_DEPENDENCIES = i2c-tools libsodium
# Only the board layer, the launcher and vemra-boot are built; the two
# programs go to $(TARGET_DIR)/usr/sbin. Warnings stay warnings: the
# toolchain's compiler may warn where the project's does not.
VEMRA_LAUNCHER_CONF_OPTS = -DVEMRA_TESTS=OFF -DVEMRA_INSTALL_BOARD=ON -DVEMRA_WERROR=OFF

$(eval $(cmake-package))
