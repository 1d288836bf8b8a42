#!/usr/bin/env bash
# initramfs.sh OUTPUT SOURCE=NAME...: packs executables, each under its NAME at
# the root, with an empty /dev, into a gzip'd newc cpio archive. Owner, times and
# order are fixed, so the same inputs give the same bytes.
set -euo pipefail
output=$1
shift
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
mkdir "$staging/dev"
for entry in "$@"; do
  install -m 0755 "${entry%%=*}" "$staging/${entry##*=}"
done
find "$staging" -exec touch -h -d @0 {} +
(cd "$staging" && find . -mindepth 1 | LC_ALL=C sort |
  cpio --quiet --create --format=newc --owner=0:0 --reproducible) | gzip -9 -n >"$output.tmp"
mv "$output.tmp" "$output"
