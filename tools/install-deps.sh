#!/bin/sh
# Installs the Debian packages of tools/debian-packages that are missing.
# As root it installs them with apt-get; as anyone else it prints the one
# apt-get line to run as root, and fails, so that a build never starts
# without them. With --quiet it says nothing when nothing is missing.
#
# Usage: tools/install-deps.sh [--quiet]
set -eu

quiet=false
[ "${1:-}" = --quiet ] && quiet=true
list="$(dirname "$0")/debian-packages"
packages=$(sed -e 's/#.*//' "$list")

# One query for all: the installed ones are listed with status "ii".
installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' $packages 2>/dev/null |
  sed -n 's/^ii  *//p' || true)
missing=""
for package in $packages; do
  printf '%s\n' "$installed" | grep -qxF "$package" || missing="$missing $package"
done

if [ -z "$missing" ]; then
  $quiet || echo "All $(echo $packages | wc -w) Debian packages the project needs are installed."
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Debian packages missing; install them as root with:" >&2
  echo "apt-get install -y --no-install-recommends$missing"
  exit 1
fi

echo "Installing Debian packages:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing > /dev/null
