#!/bin/sh
# packaging/version.sh on a repository of its own, one case a line: the
# commit that adds a changelog entry is that release, every later commit a
# snapshot that names it and sorts between the releases, changed tracked
# files mark it, an unpacked source is its changelog's newest entry.
#
# Usage: version_test.sh SOURCE_DIR
set -eu

[ $# -eq 1 ] || { echo "usage: $0 SOURCE_DIR" >&2; exit 2; }
script=$(cd "$1" && pwd)/packaging/version.sh
work=$(mktemp -d /var/tmp/version-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
repo=$work/repo

entry() {  # VERSION DATE: a changelog entry heading the file
  {
    printf 'organ-board (%s) unstable; urgency=medium\n\n  * Release %s.\n\n' "$1" "$1"
    printf ' -- Someone <someone@organ.example>  %s\n\n' "$2"
    cat "$repo/debian/changelog" 2> /dev/null || true
  } > "$work/changelog"
  mv "$work/changelog" "$repo/debian/changelog"
}
commit() {  # EPOCH MESSAGE
  git -C "$repo" add -A
  GIT_COMMITTER_DATE="@$1 +0000" GIT_AUTHOR_DATE="@$1 +0000" \
    git -C "$repo" -c user.name=t -c user.email=t@organ.example commit -q -m "$2"
}
expect() {  # CASE EXPECTED [DIR]
  got=$(sh "$script" "${3:-$repo}" 2>&1) || true
  short=$(git -C "$repo" rev-parse --short=7 HEAD 2> /dev/null || true)
  want=$(printf '%s\n' "$2" | sed "s/HASH/$short/")
  if [ "$got" = "$want" ]; then echo "ok: $1: $got"; else echo "FAILED: $1: '$got', not '$want'"; failures=$((failures + 1)); fi
}
sorts_before() {  # A B: dpkg orders A before B
  if dpkg --compare-versions "$1" lt "$2"; then echo "ok: $1 < $2"; else echo "FAILED: $1 does not sort before $2"; failures=$((failures + 1)); fi
}

mkdir -p "$repo/debian"
git -C "$repo" init -q
entry 1.0 "Tue, 08 Dec 2026 06:00:00 +0000"
commit 1796709600 "release 1.0"
expect "the release commit" "1.0 1796709600"
echo change > "$repo/file"
commit 1796716994 "a later change"
expect "a later commit" "1.0+git20261208.HASH 1796716994"
snapshot=$(sh "$script" "$repo" | cut -d' ' -f1)
echo more >> "$repo/file"
expect "a changed tree" "1.0+git20261208.HASH.dirty 1796716994"
git -C "$repo" checkout -q -- file
git -C "$repo" mv debian/changelog debian/changelog.moved
git -C "$repo" -c user.name=t -c user.email=t@organ.example commit -q -m "move away"
git -C "$repo" mv debian/changelog.moved debian/changelog
commit 1796803200 "moved back"
expect "a commit that moves the changelog" "1.0+git20261209.HASH 1796803200"
entry 1.1 "Thu, 10 Dec 2026 06:00:00 +0000"
commit 1796882400 "release 1.1"
expect "the next release" "1.1 1796882400"
sorts_before 1.0 "$snapshot"
sorts_before "$snapshot" 1.1
mkdir "$work/unpacked"
cp -r "$repo/debian" "$work/unpacked/"
expect "an unpacked source" "1.1 1796882400" "$work/unpacked"
printf 'garbage\n' > "$work/unpacked/debian/changelog"
expect "a changelog without an entry" \
  "$work/unpacked/debian/changelog: the newest entry has no heading or no ' -- NAME <MAIL>  DATE' line" \
  "$work/unpacked"

echo "version cases: $failures failures"
[ "$failures" -eq 0 ]
