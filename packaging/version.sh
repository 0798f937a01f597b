#!/bin/sh
# Prints the version this tree builds and the time its files are dated with
# (seconds since the epoch, for SOURCE_DATE_EPOCH), on one line:
#
#   1.0 1796709600                          the release: the commit that added
#                                           the newest entry of debian/changelog
#   1.0+git20261208.f1388f3 1796716994      any other commit: a snapshot that
#                                           sorts after the release before it and
#                                           names the commit, dated by it
#   1.0+git20261208.f1388f3.dirty ...       that commit with tracked files changed
#
# Outside a git checkout (an unpacked source, the copy a package is built
# from) the newest changelog entry is the version and its date the time.
#
# Usage: packaging/version.sh [SOURCE_DIR]
set -eu

src=${1:-$(dirname "$0")/..}
changelog=$src/debian/changelog
head=$(sed -n '1p' "$changelog")
name=$(printf '%s\n' "$head" | sed -n 's/^\([a-z0-9.+-]*\) (.*/\1/p')
release=$(printf '%s\n' "$head" | sed -n 's/^[a-z0-9.+-]* (\([^)]*\)).*/\1/p')
date=$(sed -n 's/^ -- .* <[^>]*>  \(.*\)$/\1/p' "$changelog" | head -1)
[ -n "$name" ] && [ -n "$release" ] && [ -n "$date" ] ||
  { echo "$changelog: the newest entry has no heading or no ' -- NAME <MAIL>  DATE' line" >&2; exit 1; }
epoch=$(date -u -d "$date" +%s) || { echo "$changelog: cannot read the date '$date'" >&2; exit 1; }

if ! git -C "$src" rev-parse --is-inside-work-tree > /dev/null 2>&1 ||
   [ "$(git -C "$src" rev-parse --show-toplevel)" != "$(cd "$src" && pwd -P)" ]; then
  echo "$release $epoch"
  exit 0
fi

commit=$(git -C "$src" rev-parse HEAD)
git -C "$src" update-index -q --refresh > /dev/null 2>&1 || true
dirty=""
git -C "$src" diff-index --quiet HEAD -- || dirty=.dirty
# The commit that added the newest entry's heading (across the changelog's
# moves); in a shallow clone that lacks it, every build is a snapshot.
added=$(git -C "$src" log --follow --format=%H -S"$name ($release)" -- debian/changelog | head -1)
if [ "$added" = "$commit" ] && [ -z "$dirty" ]; then
  echo "$release $epoch"
  exit 0
fi
commit_epoch=$(git -C "$src" log -1 --format=%ct HEAD)
day=$(date -u -d "@$commit_epoch" +%Y%m%d)
short=$(git -C "$src" rev-parse --short=7 HEAD)
echo "$release+git$day.$short$dirty $commit_epoch"
