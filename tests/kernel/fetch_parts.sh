#!/bin/sh
# Fetches the parts of the virtual board through the package manager: the
# armhf packages marked "download" in tools/debian-packages (the kernel,
# busybox, the C library, dash and coreutils) are downloaded with apt-get
# download into DIR/debs and the files the check needs are unpacked with
# dpkg-deb into DIR/parts:
#   kernel/vmlinuz, kernel/vexpress-v2p-ca9.dtb, kernel/version
#   busybox/bin/busybox
#   libc/lib/...  (the dynamic loader and the libraries)
#   dash/bin/dash, coreutils/bin/date  (the board's own shell and date)
# A part already unpacked from the version apt offers now is kept.
#
# linux-image-armmp is a metapackage: the kernel comes from the image package
# it depends on. Nothing is installed on this machine; the kernel package's
# maintainer scripts never run.
#
# Usage: fetch_parts.sh DIR
set -eu

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
list="$(cd "$(dirname "$0")/../.." && pwd)/tools/debian-packages"
mkdir -p "$dir/debs" "$dir/parts"
debs=$(cd "$dir/debs" && pwd)

fetched=$(sed -e 's/#.*//' "$list" | awk '$2 == "download" { print $1 }')
[ -n "$fetched" ] || { echo "$list names no package to download" >&2; exit 1; }

# apt drops to its own user for downloads unless told otherwise; root's build
# tree is not writable by that user.
apt_download() {
  if [ "$(id -u)" -eq 0 ]; then
    (cd "$debs" && apt-get -q=2 -o APT::Sandbox::User=root download "$@")
  else
    (cd "$debs" && apt-get -q=2 download "$@")
  fi
}

# The versions apt offers, one "NAME:ARCH VERSION" line per package named
# (one query: each start of apt-cache takes a second or two).
candidates() {
  apt-cache policy "$@" 2>/dev/null | awk '
    /^[^ ].*:$/ { name = substr($0, 1, length($0) - 1) }
    /^ *Candidate: / && $2 != "(none)" { print name, $2 }'
}

# NAME:ARCH -> the version apt offers, or nothing when apt does not know it.
candidate() {
  printf '%s\n' "$offered" | awk -v want="$1" '$1 == want { print $2 }'
}

# The image package a kernel metapackage depends on, NAME:ARCH.
kernel_image() {
  arch=${1#*:}
  image=$(apt-cache depends "$1" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ <]*\).*/\1/p' | head -1)
  [ -n "$image" ] || return 1
  echo "${image%:*}:$arch"
}

# Downloads NAME:ARCH at the version apt offers (unless already here) and
# prints the path of its .deb.
fetch() {
  version=$(candidate "$1")
  if [ -z "$version" ]; then
    echo "apt knows no package $1: run 'make deps' as root (it adds the architecture and updates apt's lists)" >&2
    exit 1
  fi
  name=${1%:*} arch=${1#*:}
  # The file name apt gives a download: the epoch's colon becomes %3a.
  deb="$debs/${name}_$(echo "$version" | sed 's/:/%3a/')_$arch.deb"
  if [ ! -s "$deb" ] && ! apt_download "$1=$version" >&2; then
    # apt's lists may name a version the archive no longer has; as root,
    # bring them up to date once and take what they offer then.
    [ "$(id -u)" -eq 0 ] || { echo "apt-get download of $1 failed: run 'apt-get update' as root" >&2; exit 1; }
    apt-get update -qq >&2
    version=$(candidates "$1" | awk '{ print $2 }')
    deb="$debs/${name}_$(echo "$version" | sed 's/:/%3a/')_$arch.deb"
    apt_download "$1=$version" >&2
  fi
  [ -s "$deb" ] || { echo "apt-get download of $1 left no $deb" >&2; exit 1; }
  echo "$deb"
}

# Unpacks the members matching the patterns of a .deb into a part directory,
# once per package version (the .deb's name).
unpack() {
  deb=$1 part=$dir/parts/$2
  shift 2
  [ "$(cat "$part.from" 2>/dev/null)" = "$(basename "$deb")" ] && return 0
  rm -rf "$part" "$part.from"
  mkdir -p "$part"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$part" --wildcards "$@"
  basename "$deb" > "$part.from"
}

# The kernel metapackage is replaced by its image package.
wanted=""
for package in $fetched; do
  case $package in
    linux-image-*)
      image=$(kernel_image "$package") || { echo "no kernel image behind $package (apt does not know it: run 'make deps' as root)" >&2; exit 1; }
      wanted="$wanted $image"
      ;;
    *) wanted="$wanted $package" ;;
  esac
done
# shellcheck disable=SC2086
offered=$(candidates $wanted)

for package in $wanted; do
  case $package in
    linux-image-*)
      deb=$(fetch "$package")
      unpack "$deb" kernel-tree './boot/vmlinuz-*' './usr/lib/linux-image-*/vexpress-v2p-ca9.dtb'
      mkdir -p "$dir/parts/kernel"
      cp "$dir"/parts/kernel-tree/boot/vmlinuz-* "$dir/parts/kernel/vmlinuz"
      cp "$dir"/parts/kernel-tree/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb "$dir/parts/kernel/"
      basename "$deb" > "$dir/parts/kernel/version"
      ;;
    busybox-static:*)
      deb=$(fetch "$package")
      unpack "$deb" busybox './bin/busybox'
      ;;
    libc6:*)
      deb=$(fetch "$package")
      unpack "$deb" libc './lib/*'
      ;;
    dash:*)
      deb=$(fetch "$package")
      unpack "$deb" dash './bin/dash'
      ;;
    coreutils:*)
      deb=$(fetch "$package")
      unpack "$deb" coreutils './bin/date'
      ;;
    *)
      echo "fetch_parts.sh does not know what to take from $package" >&2
      exit 1
      ;;
  esac
done
echo "Virtual board parts in $dir/parts: $(cat "$dir/parts/kernel/version")"
