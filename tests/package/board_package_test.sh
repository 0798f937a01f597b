#!/bin/sh
# The board's Debian package works as installed: it is unpacked with dpkg-deb
# into a staging root, as on a board, and the ARM programs are run from that
# root on the simulated board under qemu-arm: a full kovrel bring-up with the
# package's own example jobs, a bench tool, splashgen and a housekeeping
# program. Their results are compared with what the host build of the same
# programs does. The control fields, the file list, the programs' libraries
# and the manual pages are checked too.
#
# Usage: board_package_test.sh DEB VERSION BOARDSIM ARM_SHIM HOST_PROGRAM_DIR
set -eu

[ $# -eq 5 ] || { echo "usage: $0 DEB VERSION BOARDSIM ARM_SHIM HOST_PROGRAM_DIR" >&2; exit 2; }
deb=$(readlink -f "$1") version=$2 boardsim=$(readlink -f "$3")
arm_shim=$(readlink -f "$4") host_bin=$(readlink -f "$5")
here=$(cd "$(dirname "$0")" && pwd)
runner=${BOARD_PACKAGE_RUNNER:-qemu-arm -L /usr/arm-linux-gnueabihf}

user_programs="kovrel yalmet dasmo fenwix quorla brevik splashgen"
system_programs="coeffnotify ocwatch clockrestore contrastset"

work=$(mktemp -d /var/tmp/board-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
expect_in() {  # FILE TEXT: the file holds the line TEXT
  grep -qxF -- "$2" "$1" || { fail "$(basename "$1") lacks the line '$2'"; sed 's/^/  | /' "$1"; }
}

# --- the package as a file ------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = organ-board ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project is $version"
[ "$(field Architecture)" = armhf ] || fail "Architecture is '$(field Architecture)'"
# hwclock (util-linux-extra) for clockrestore; the programs need libc alone.
case $(field Depends) in
  "util-linux-extra, libc6 (>= "*")") ;;
  *) fail "Depends is '$(field Depends)', not util-linux-extra and one versioned libc6" ;;
esac
[ -n "$(field Maintainer)" ] || fail "no Maintainer"

dpkg-deb -x "$deb" "$root"
for p in $user_programs; do
  [ -x "$root/usr/bin/$p" ] || fail "no usr/bin/$p"
  [ -f "$root/usr/share/man/man1/$p.1.gz" ] || fail "no manual page $p.1"
done
for p in $system_programs; do
  [ -x "$root/usr/sbin/$p" ] || fail "no usr/sbin/$p"
  [ -f "$root/usr/share/man/man8/$p.8.gz" ] || fail "no manual page $p.8"
done
docs=$root/usr/share/doc/organ-board
for f in copyright changelog.gz examples/uart_job.txt examples/spi_job.txt examples/firmware.list \
         examples/make_firmware.sh examples/splash_preview.sh; do
  [ -f "$docs/$f" ] || fail "no usr/share/doc/organ-board/$f"
done
if find "$root" -name 'boardsim*' -o -name '*_test' -o -name 'unit_*' -o -name 'e2e_*' | grep -q .; then
  fail "simulator or test programs in the board's package"
fi

# Each program is a stripped 32-bit ARM executable that needs the C library
# alone (its loader included): no C++ runtime on the board.
for program in $(cd "$root" && ls usr/bin/* usr/sbin/*); do
  header=$(readelf -h "$root/$program")
  echo "$header" | grep -q 'Machine: *ARM' || fail "$program is not an ARM program"
  needed=$(readelf -d "$root/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  [ "$needed" = "ld-linux-armhf.so.3 libc.so.6 " ] || [ "$needed" = "libc.so.6 " ] ||
    fail "$program needs: $needed"
  readelf -S "$root/$program" | grep -q '\.symtab' && fail "$program is not stripped"
done

# --- the start-up ---------------------------------------------------------
sh "$here/verify_units.sh" "$root" || fail "systemd units"
control=$work/control
dpkg-deb -e "$deb" "$control"
for conffile in /etc/default/organ-board /etc/init.d/organ-board; do
  expect_in "$control/conffiles" "$conffile"
done
[ -x "$root/usr/libexec/organ-board/organ-start-up" ] || fail "no usr/libexec/organ-board/organ-start-up"
[ -f "$root/lib/udev/rules.d/60-organ-board.rules" ] || fail "no udev rule for the frame buffer"
[ -f "$root/usr/lib/tmpfiles.d/organ-board.conf" ] || fail "no tmpfiles.d entry for the Panel's marker"
# Every unit with an [Install] section is enabled by the postinst.
for unit in "$root"/lib/systemd/system/*; do
  [ ! -L "$unit" ] || continue
  name=$(basename "$unit")
  if grep -q '^\[Install\]' "$unit"; then
    grep -qF "deb-systemd-helper enable '$name'" "$control/postinst" || fail "postinst does not enable $name"
  fi
done
# Only the watchers are started (at install) or restarted (at upgrade) by
# the package's scripts: a one-shot step would reset the slaves of a playing
# organ, set its clock or draw over the Panel's screen.
started=$(sed -n "s/.*deb-systemd-invoke [^ ]* \(.*\) >.*/\1/p" "$control/postinst" | tr -d "'" | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$started" = "coeffnotify.path coeffnotify.service ocwatch.service " ] ||
  fail "the postinst starts or restarts: $started"
grep -q 'invoke-rc.d' "$control/postinst" && fail "the postinst starts the init script"
grep -qF 'update-rc.d organ-board defaults' "$control/postinst" || fail "the postinst does not enable the init script"
[ "$(readlink "$root/lib/systemd/system/organ-board.service")" = /dev/null ] ||
  fail "the init script's name is not masked for systemd"

# --- the installed programs on the simulated board ------------------------
# BOARD_DIR names the directory the programs are run from (usr/bin or
# usr/sbin), SANDBOXES where the simulator makes its sandbox.
on_board() {
  BOARDSIM_PROGRAM_DIR=$root/$BOARD_DIR BOARDSIM_SHIM=$arm_shim BOARDSIM_RUNNER=$runner \
    BOARDSIM_WORKDIR=${SANDBOXES:-$work} "$boardsim" --timeout 120 "$@"
}
on_host_board() {
  BOARDSIM_PROGRAM_DIR=$host_bin BOARDSIM_WORKDIR=${SANDBOXES:-$work} "$boardsim" --timeout 120 "$@"
}

# kovrel: the demo's bring-up with the package's own example jobs and images,
# in a directory of its own as its manual page shows.
cp -r "$docs/examples" "$work/"
(cd "$work" && sh examples/make_firmware.sh)
status=0
(cd "$work" && BOARD_DIR=usr/bin on_board --tty 0=imx --spi 0-4=sound:0=2,2=4 -- \
  kovrel -v 3 -r -b 57600 -u examples/uart_job.txt -s examples/spi_job.txt) \
  > "$work/kovrel.out" 2> "$work/kovrel.err" || status=$?
[ "$status" -eq 0 ] || { fail "kovrel bring-up ended with status $status"; tail -20 "$work/kovrel.err"; }
expect_in "$work/kovrel.err" "baud rate changed to 57600"
expect_in "$work/kovrel.err" "	A - :"
expect_in "$work/kovrel.err" "DEBUG :     0    2   OK   --"
expect_in "$work/kovrel.err" "DEBUG :     1    0   --   --"
expect_in "$work/kovrel.err" "DEBUG :     2    4   OK   OK"
expect_in "$work/kovrel.err" "DEBUG :     3    0   --   --"
[ "$(grep -cxF '... DONE' "$work/kovrel.err")" -eq 2 ] || fail "kovrel did not finish both jobs"

# A bench tool: the loopback test against a far end one word late.
status=0
BOARD_DIR=usr/bin on_board --spi 3=loopback-late -- fenwix -s 3 -n 256 -o "$work/fenwix.log" \
  > "$work/fenwix.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "fenwix ended with status $status"
expect_in "$work/fenwix.out" "Loopback test of 256/256 bytes (8 bits data) --> PASSED"
[ "$(wc -l < "$work/fenwix.log")" -eq 256 ] || fail "fenwix logged $(wc -l < "$work/fenwix.log") units"

# splashgen: the same image as the host build draws, centring and a
# pictogram included.
printf '%s\n' '-1 8 "GRAND ORGAN"' '-1 24 "Starting ..."' > "$work/strings.txt"
printf '2 54 "Service \237 \246"\n' >> "$work/strings.txt"
BOARD_DIR=usr/bin on_board -- splashgen "$work/strings.txt" "$work/arm.bin" > "$work/splash.out" 2>&1 ||
  fail "splashgen failed: $(cat "$work/splash.out")"
on_host_board -- splashgen "$work/strings.txt" "$work/host.bin" > /dev/null 2>&1 ||
  fail "host splashgen failed"
[ "$(wc -c < "$work/arm.bin")" -eq 1024 ] || fail "the splash file is not 1024 bytes"
cmp -s "$work/arm.bin" "$work/host.bin" || fail "the ARM splashgen draws another image than the host's"
[ -s "$work/splash.out" ] && fail "splashgen printed: $(cat "$work/splash.out")"

# A housekeeping program from usr/sbin: contrastset takes the saved contrast
# and shows the start-up picture, byte for byte the host build's.
head -c 863 /dev/zero > "$work/global_set"
printf '\007' >> "$work/global_set"
for side in arm host; do
  mkdir -p "$work/$side-board"
  if [ "$side" = arm ]; then run=on_board; else run=on_host_board; fi
  BOARD_DIR=usr/sbin SANDBOXES=$work/$side-board $run --keep-sandbox \
    --file /home/organ/actual_state/global_set="$work/global_set" -- contrastset \
    > "$work/contrast-$side.out" 2> /dev/null || fail "$side contrastset failed"
done
expect_in "$work/contrast-arm.out" "Contrast: 7"
cmp -s "$work"/arm-board/boardsim-*/dev/fb0 "$work"/host-board/boardsim-*/dev/fb0 ||
  fail "the ARM contrastset shows another picture than the host's"
[ "$(wc -c < "$(ls "$work"/arm-board/boardsim-*/dev/fb0)")" -eq 1024 ] ||
  fail "contrastset did not write a whole picture"

# --- the manual pages as installed -----------------------------------------
sh "$here/check_manual_pages.sh" "$root/usr/share/man" || fail "manual pages"
# Each page and the package's changelog name the version, so a page read on
# an organ says which build it came with.
for page in "$root"/usr/share/man/man*/*.gz; do
  gzip -dc "$page" | grep -qF "\"organ-board $version\"" || fail "$(basename "$page") does not carry $version"
done
[ "$(gzip -dc "$docs/changelog.gz" | sed -n '1s/^organ-board (\([^)]*\)).*/\1/p')" = "$version" ] ||
  fail "the changelog's newest entry is not $version"

if [ "$failures" -eq 0 ]; then
  echo "organ-board $version: package, programs on the simulated board and manual pages pass"
fi
[ "$failures" -eq 0 ]
