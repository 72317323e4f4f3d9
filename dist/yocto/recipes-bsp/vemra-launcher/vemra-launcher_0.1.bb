SUMMARY = "Boot-time application launcher and boot control for the board"
DESCRIPTION = "vemra-launcher starts the board's application at boot; \
vemra-boot is the board's boot control."
# The repository has no license file yet; CLOSED needs no
# LIC_FILES_CHKSUM. Name the license and its file here once it has one.
LICENSE = "CLOSED"

# The team's repository and the commit to build; move SRCREV (and the
# recipe's version) with each release.
SRC_URI = "git://git.example.com/vemra/vemra-launcher.git;protocol=https;branch=main"
SRCREV = "53ac5dda60aaa3d40226626b7e91b0ee32841ff0"
S = "${WORKDIR}/git"

DEPENDS = "i2c-tools libsodium"

inherit cmake

# Only the board layer, the launcher and vemra-boot; the cmake class
# installs them with DESTDIR=${D} into ${sbindir}. Warnings stay warnings:
# the layer's compiler may warn where the project's does not.
EXTRA_OECMAKE = "-DVEMRA_TESTS=OFF -DVEMRA_INSTALL_BOARD=ON -DVEMRA_WERROR=OFF"

FILES:${PN} = "${sbindir}/vemra-launcher ${sbindir}/vemra-boot"
