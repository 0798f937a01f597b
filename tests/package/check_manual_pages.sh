#!/bin/sh
# Checks manual pages the way a reader meets them: every page (NAME.N or
# NAME.N.gz) under the given directories renders with man at 80 columns
# without a single warning of man or groff and without a line wider than the
# screen. With --options COMMAND PAGE, it also checks that PAGE documents
# every --option that `COMMAND --help` lists.
#
# Usage: check_manual_pages.sh [--options COMMAND PAGE] DIR...
set -eu

command=
options_page=
if [ "${1:-}" = --options ]; then
  [ $# -ge 3 ] || { echo "usage: $0 [--options COMMAND PAGE] DIR..." >&2; exit 2; }
  command=$2 options_page=$3
  shift 3
fi
[ $# -ge 1 ] || { echo "usage: $0 [--options COMMAND PAGE] DIR..." >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
pages=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

for page in $(find "$@" -type f \( -name '*.[1-8]' -o -name '*.[1-8].gz' \) | sort); do
  pages=$((pages + 1))
  name=$(basename "$page" .gz)
  if ! MANWIDTH=80 man --warnings=all -l "$page" > "$scratch/$name.txt" 2> "$scratch/warnings"; then
    fail "$name: man could not render it"
  fi
  if [ -s "$scratch/warnings" ]; then
    fail "$name: man warns:"
    cat "$scratch/warnings"
  fi
  case $page in
    *.gz) gzip -dc "$page" > "$scratch/$name.roff" ;;
    *) cp "$page" "$scratch/$name.roff" ;;
  esac
  if ! groff -ww -man -Tutf8 -z "$scratch/$name.roff" 2> "$scratch/warnings" || [ -s "$scratch/warnings" ]; then
    fail "$name: groff warns:"
    cat "$scratch/warnings"
  fi
  # Width in characters, not bytes: the tables are drawn with box characters.
  wide=$(LC_ALL=C.UTF-8 grep -E '^.{81}' "$scratch/$name.txt" || true)
  if [ -n "$wide" ]; then
    fail "$name: lines wider than 80 columns:"
    printf '%s\n' "$wide"
  fi
  for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' EXAMPLES; do
    grep -q "^$section" "$scratch/$name.txt" || fail "$name: no $section section"
  done
done
[ "$pages" -gt 0 ] || fail "no manual page found in $*"

if [ -n "$command" ]; then
  page_text="$scratch/$(basename "$options_page" .gz).txt"
  [ -f "$page_text" ] || fail "$options_page is not among the pages checked"
  for option in $("$command" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -q -- "$option" "$page_text" 2>/dev/null || fail "$options_page does not document $option"
  done
fi

echo "$pages manual pages checked, $failures failures"
[ "$failures" -eq 0 ]
