################################################################################
#
# organ-board
#
# Example Buildroot package (package/organ-board/ in a Buildroot tree or an
# external tree, with Config.in beside it). Set ORGAN_BOARD_SITE to your copy
# of the repository and ORGAN_BOARD_VERSION to a release's commit: Buildroot
# builds from an archive without git's history, so the manual pages and the
# version carry the changelog's newest entry.
#
# What it was checked with: not with Buildroot itself (no Buildroot tree was
# at hand). It was checked by a dry build of what its cmake-package asks for
# (the same configure options, Release, prefix /usr), with Debian 12's
# arm-linux-gnueabihf cross compiler in place of Buildroot's toolchain, in a
# mount namespace where GoogleTest and scdoc are hidden; see
# packaging/yocto/organ-board_git.bb for the commands. Buildroot's own
# checks (check-package, legal-info) have not run on it.
#
################################################################################

ORGAN_BOARD_VERSION = f1388f36a017018bd7064e0a44dd8a8455354d51
ORGAN_BOARD_SITE = https://git.organ.example/board-software.git
ORGAN_BOARD_SITE_METHOD = git
ORGAN_BOARD_LICENSE = Proprietary
ORGAN_BOARD_LICENSE_FILES = debian/copyright

# No tests (GoogleTest, the simulated board) and no manual pages (scdoc is
# not a Buildroot host package); flags and hardening come from the toolchain
# and BR2_* options.
ORGAN_BOARD_CONF_OPTS = -DBOARD_TESTS=OFF -DBOARD_MANUALS=OFF

$(eval $(cmake-package))
