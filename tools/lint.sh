#!/bin/sh
# The tree's lint, what `make lint` and CI run. Two checks:
#  - clang-format (rules in .clang-format) over every C and C++ source of the
#    tree: a file it would change fails, with the change shown;
#  - clang-tidy (rules in .clang-tidy: the naming style, a few bug checks)
#    over the sources of the programs and tools, compiled as the dev build
#    compiles them (its compile_commands.json: run `cmake --preset dev`
#    first).
# It installs nothing: clang-format and clang-tidy come from the one
# dependency list, tools/debian-packages (make deps).
#
# Usage: tools/lint.sh [--list | --format] [DIR...]
#   DIR...    only the sources under these directories (default: all)
#   --list    print the sources clang-format checks, one a line, and stop
#   --format  rewrite those sources in place with clang-format, and stop
set -eu
cd "$(dirname "$0")/.."

# The directories whose sources clang-tidy reads; .clang-tidy's header
# filter names the same.
TIDY_DIRS="common kovrel benchtools splashgen housekeeping tools"
BUILD_DIR=build/dev
JOBS=$(nproc 2> /dev/null || echo 2)

mode=check
case "${1:-}" in
  --list | --format) mode=${1#--}; shift ;;
  -*) echo "Usage: $0 [--list | --format] [DIR...]" >&2; exit 2 ;;
esac

# The one list of the tree's C and C++ sources: what git tracks, so that
# build trees and stray files are never part of it.
sources() {
  if [ $# -eq 0 ]; then set -- .; fi
  git ls-files -- "$@" | grep -E '\.(c|cc|cpp|h|hpp)$' || true
}

if [ "$mode" = list ]; then
  sources "$@"
  exit 0
fi

for tool in clang-format clang-tidy; do
  if ! command -v "$tool" > /dev/null; then
    echo "$tool is missing: run make deps (tools/debian-packages lists it)" >&2
    exit 1
  fi
done

if [ "$mode" = format ]; then
  sources "$@" | xargs -r clang-format -i
  exit 0
fi

status=0
echo "clang-format: $(sources "$@" | wc -l) sources"
sources "$@" | xargs -r clang-format --dry-run -Werror || status=1

# clang-tidy reads the program sources the dev build compiles; with
# directories given, those among them.
tidy_files=$(
  if [ $# -eq 0 ]; then set -- $TIDY_DIRS; fi
  for dir in "$@"; do
    for tidy_dir in $TIDY_DIRS; do
      case "${dir%/}/" in "$tidy_dir"/*) sources "$dir" | grep -E '\.(c|cc|cpp)$' || true ;; esac
    done
  done
)
if [ -n "$tidy_files" ]; then
  if [ ! -f "$BUILD_DIR/compile_commands.json" ]; then
    echo "$BUILD_DIR/compile_commands.json is missing: run cmake --preset dev" >&2
    exit 1
  fi
  echo "clang-tidy: $(echo "$tidy_files" | wc -l) sources"
  echo "$tidy_files" | xargs -r -n 4 -P "$JOBS" clang-tidy --quiet -p "$BUILD_DIR" || status=1
fi

[ $status -eq 0 ] && echo "lint: clean"
exit $status
