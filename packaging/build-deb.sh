#!/bin/sh
# Builds Debian packages of this checkout with dpkg-buildpackage, into DIR:
# the files git tracks (committed or not) are copied to DIR/source; for a
# snapshot (packaging/version.sh) an entry for it, dated by its commit, heads
# the copy's debian/changelog, so the packages, their changelog and manual
# pages name the commit and SOURCE_DATE_EPOCH is the commit's time. The .deb,
# -dbgsym .deb, .buildinfo and .changes files land in DIR; lintian then
# checks the .deb files (failing on errors and warnings, showing the rest).
#
# Usage: packaging/build-deb.sh DIR [dpkg-buildpackage options...]
#   packaging/build-deb.sh build/armhf-release -a armhf -Pcross   (make package-arm)
#   packaging/build-deb.sh build/boardsim-host                    (make package-boardsim)
set -eu

[ $# -ge 1 ] || { echo "usage: $0 DIR [dpkg-buildpackage options...]" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
git -C "$top" rev-parse --git-dir > /dev/null 2>&1 ||
  { echo "$top is not a git checkout: build an unpacked source with dpkg-buildpackage -b itself" >&2; exit 1; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
shift

read -r version epoch <<EOF
$(sh "$top/packaging/version.sh" "$top")
EOF
release=$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' "$top/debian/changelog")

# What git tracks, as the working tree has it: a commit made of the changed
# files when there are any (git stash create makes it without touching
# anything), else HEAD.
tree=$(git -C "$top" stash create)
rm -rf "$out/source" "$out"/*.deb "$out"/*.buildinfo "$out"/*.changes
mkdir "$out/source"
git -C "$top" archive "${tree:-HEAD}" | tar -x -C "$out/source"

if [ "$version" != "$release" ]; then
  commit=$(git -C "$top" rev-parse HEAD)
  trailer=$(sed -n 's/^\( -- .* <[^>]*>\)  .*$/\1/p' "$top/debian/changelog" | head -1)
  changed=""
  [ -z "$tree" ] || changed=",
    with uncommitted changes"
  {
    echo "$(sed -n '1s/ .*//p' "$top/debian/changelog") ($version) UNRELEASED; urgency=medium"
    echo
    echo "  * Snapshot of commit $commit$changed."
    echo
    echo "$trailer  $(date -u -R -d "@$epoch")"
    echo
    cat "$top/debian/changelog"
  } > "$out/source/debian/changelog"
fi

echo "Building $version in $out/source (log: $out/build.log) ..."
if ! (cd "$out/source" && dpkg-buildpackage -b --no-sign "$@") > "$out/build.log" 2>&1; then
  tail -40 "$out/build.log"
  echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
fi
ls "$out"/*.deb
lintian --fail-on error,warning "$out"/*.deb
