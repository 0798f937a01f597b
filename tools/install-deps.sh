#!/bin/sh
# Installs the Debian packages of tools/debian-packages that are missing: of
# the groups named (a line [NAME] in the list starts group NAME), or of all.
# As root it installs them with apt-get; as anyone else it prints the
# commands to run as root, and fails, so that a build never starts without
# them. With --quiet it says nothing when nothing is missing.
#
# Packages of another architecture (NAME:ARCH) need that architecture added
# to dpkg and apt's package lists for it; both are done here. Packages marked
# "download" are not installed: only apt must know them, so that make can
# fetch them with apt-get download.
#
# Usage: tools/install-deps.sh [--quiet] [GROUP...]
set -eu

quiet=false
[ "${1:-}" = --quiet ] && { quiet=true; shift; }
list="$(dirname "$0")/debian-packages"
lines=$(sed -e 's/#.*//' "$list" | awk -v groups=" $* " '
  /^\[.*\]$/ { group = substr($0, 2, length($0) - 2); next }
  groups == "  " || index(groups, " " group " ") { print }')
packages=$(printf '%s\n' "$lines" | awk 'NF > 0 && $2 != "download" { print $1 }')
fetched=$(printf '%s\n' "$lines" | awk '$2 == "download" { print $1 }')

# One query for all: the installed ones are listed with status "ii".
# (dpkg-query names a package of another architecture NAME:ARCH.)
installed=$(dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' $packages 2>/dev/null |
  sed -n 's/^ii  *//p' || true)
native=$(dpkg --print-architecture)
missing=""
for package in $packages; do
  printf '%s\n' "$installed" | grep -qxF -e "$package" -e "$package:$native" || missing="$missing $package"
done

# Architectures the list names that dpkg does not know yet, and those known
# for which apt has no package lists (added, but never updated since).
foreign=$(printf '%s\n' $packages $fetched | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u | grep -vxF "$native" || true)
known=$(dpkg --print-foreign-architectures)
new_archs=""
unlisted=false
for arch in $foreign; do
  if ! printf '%s\n' "$known" | grep -qxF "$arch"; then
    new_archs="$new_archs $arch"
  elif ! ls /var/lib/apt/lists/*_binary-"${arch}"_Packages* > /dev/null 2>&1; then
    unlisted=true
  fi
done

if [ -z "$missing" ] && [ -z "$new_archs" ] && ! $unlisted; then
  $quiet || echo "All $(echo $packages $fetched | wc -w) Debian packages needed${1:+ by the group(s) $*} are installed or known to apt."
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Debian packages or architectures missing; as root, run:" >&2
  for arch in $new_archs; do echo "dpkg --add-architecture $arch"; done
  echo "apt-get update"
  [ -z "$missing" ] || echo "apt-get install -y --no-install-recommends$missing"
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
for arch in $new_archs; do
  echo "Adding the architecture $arch to dpkg" >&2
  dpkg --add-architecture "$arch"
done
apt-get update -qq
if [ -n "$missing" ]; then
  echo "Installing Debian packages:$missing" >&2
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing > /dev/null
fi
