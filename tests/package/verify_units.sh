#!/bin/sh
# Checks the systemd units of an unpacked board package with systemd-analyze
# verify, as systemd itself would load them on the board: every unit, its
# dependencies on systemd's own units, the programs its Exec lines name (in
# the package) and the manual pages its Documentation lines name (in the
# package). It needs no running systemd: the units are verified inside a
# scratch root made of the package and this machine's systemd units, so it
# runs as root or not, in CI's container as on a desktop. Any line that
# systemd-analyze prints is a failure, warnings included. The one masked
# name (the init script's, a link to /dev/null) must be masked.
#
# Usage: verify_units.sh ROOT   (ROOT: the package unpacked with dpkg-deb -x)
set -eu

[ $# -eq 1 ] || { echo "usage: $0 ROOT" >&2; exit 2; }
package=$(cd "$1" && pwd)
units=$package/lib/systemd/system
[ -d "$units" ] || { echo "no lib/systemd/system in $package" >&2; exit 1; }
command -v systemd-analyze > /dev/null || { echo "no systemd-analyze: install the Debian package systemd (make deps)" >&2; exit 1; }

scratch=$(mktemp -d /var/tmp/verify-units-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root/usr/lib/systemd"
cp -a "$package/." "$root/"
cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"

failures=0
checked=0
for unit in "$units"/*; do
  name=$(basename "$unit")
  if [ -L "$unit" ]; then
    [ "$(readlink "$unit")" = /dev/null ] || { echo "FAILED: $name links to $(readlink "$unit")"; failures=$((failures + 1)); }
    continue
  fi
  checked=$((checked + 1))
  out=$(MANPATH=$package/usr/share/man systemd-analyze verify --root="$root" "$root/lib/systemd/system/$name" 2>&1) ||
    { echo "FAILED: systemd-analyze verify $name failed"; failures=$((failures + 1)); }
  if [ -n "$out" ]; then
    echo "FAILED: systemd-analyze verify $name says:"
    printf '%s\n' "$out" | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
done
[ "$checked" -gt 0 ] || { echo "FAILED: no unit in $units"; failures=$((failures + 1)); }
echo "$checked units verified by systemd-analyze, $failures failures"
[ "$failures" -eq 0 ]
