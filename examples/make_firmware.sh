#!/bin/sh
# Generates the demo's firmware images into examples/firmware/, the same bytes
# on every machine, so that no binary image needs to live in the repository.
# Each line of examples/firmware.list names one image: NAME SIZE SEED, where
# SIZE is in bytes and SEED starts the image's own byte sequence. Lines that
# begin with '#' are comments.
set -eu
cd "$(dirname "$0")"
mkdir -p firmware

# One image: a 31-bit linear congruential sequence, one byte from each step,
# written as octal escapes through printf (no NUL or locale trouble).
image() {
  name=$1 size=$2 state=$3 i=0 byte=0
  while [ "$i" -lt "$size" ]; do
    state=$(( (state * 1103515245 + 12345) % 2147483648 ))
    byte=$(( (state / 65536) % 256 ))
    printf "\\$((byte / 64))$((byte / 8 % 8))$((byte % 8))"
    i=$((i + 1))
  done > "firmware/$name.tmp"
  mv "firmware/$name.tmp" "firmware/$name"
}

grep -v '^#' firmware.list | while read -r name size seed; do
  [ -n "$name" ] || continue
  image "$name" "$size" "$seed"
done
