# Example Yocto recipe for the board's programs (a layer's
# recipes-organ/organ-board/organ-board_git.bb). Set SRC_URI and SRCREV to
# your copy of the repository and the commit to build.
#
# What it was checked with: not with bitbake (no Yocto build machine was at
# hand). It was checked by a dry build of what it asks for, with Debian 12's
# arm-linux-gnueabihf cross compiler in place of the SDK's, in a mount
# namespace where GoogleTest and scdoc are hidden:
#   cmake -S . -B build/recipe-check -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#     -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBOARD_TESTS=OFF -DBOARD_MANUALS=OFF
#   cmake --build build/recipe-check && DESTDIR=$PWD/image cmake --install build/recipe-check
# which installs the eleven programs in /usr/bin and /usr/sbin and the
# examples in /usr/share/doc/organ-board, the files FILES below names.
# bitbake's own checks (QA, license, packaging) have not run on it.

SUMMARY = "Programs of the digital organ's controller board"
DESCRIPTION = "kovrel brings up the organ's sound modules over the slaves' \
serial bootstrap and SPI; the SPI bench tools yalmet, dasmo, fenwix, quorla \
and brevik; splashgen; the start-up housekeeping programs coeffnotify, \
ocwatch, clockrestore and contrastset."
LICENSE = "CLOSED"

SRC_URI = "git://git.organ.example/board-software.git;protocol=https;branch=main"
SRCREV = "f1388f36a017018bd7064e0a44dd8a8455354d51"
PV = "1.0+git${SRCPV}"
S = "${WORKDIR}/git"

inherit cmake

# No tests (they need GoogleTest and run on the simulated board) and no
# manual pages (scdoc is a host tool Yocto does not have by default).
# Flags, hardening and the sysroot come from the SDK's environment;
# packaging/version.sh finds the commit in the git checkout for the version.
EXTRA_OECMAKE = "-DBOARD_TESTS=OFF -DBOARD_MANUALS=OFF"

FILES:${PN} = "${bindir}/kovrel ${bindir}/yalmet ${bindir}/dasmo ${bindir}/fenwix \
               ${bindir}/quorla ${bindir}/brevik ${bindir}/splashgen \
               ${sbindir}/coeffnotify ${sbindir}/ocwatch ${sbindir}/clockrestore \
               ${sbindir}/contrastset"
FILES:${PN}-doc += "${docdir}/organ-board"
# The demo's firmware generator and the splash preview are shell scripts.
RDEPENDS:${PN}-doc += "${VIRTUAL-RUNTIME_base-utils}"
