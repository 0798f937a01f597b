#!/bin/sh
# Turns a splash image (a splash file, or the frame-buffer content the
# simulated board captured) into a PNG scaled up for a person to look at.
# The image is 128 x 64 pixels at one bit each, the layout of a raw PBM, so a
# PBM header in front is all it takes. Needs netpbm.
#
# Usage: tools/splash_preview.sh SPLASH_FILE [OUTPUT.png [SCALE]]
#   default output: SPLASH_FILE.png, default scale: 6
set -eu

usage() {
  echo "Usage: $0 SPLASH_FILE [OUTPUT.png [SCALE]]" >&2
  exit 2
}

[ $# -ge 1 ] && [ $# -le 3 ] || usage
input=$1
output=${2:-$1.png}
scale=${3:-6}
image_size=1024

case $scale in
  ''|*[!0-9]*) usage ;;
esac
[ "$scale" -ge 1 ] || usage
[ -r "$input" ] || { echo "$0: cannot read $input" >&2; exit 1; }

# A frame buffer may be larger than the image; its first 1024 bytes are shown.
size=$(wc -c < "$input")
if [ "$size" -lt "$image_size" ]; then
  echo "$0: $input holds $size bytes, a splash image needs $image_size" >&2
  exit 1
fi

scratch=$(mktemp)
trap 'rm -f "$scratch"' EXIT
{ printf 'P4\n128 64\n'; head -c "$image_size" "$input"; } > "$scratch"
pamscale -quiet "$scale" "$scratch" | pnmtopng -quiet > "$output"
echo "$output"
