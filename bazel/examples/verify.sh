#!/bin/sh
# verify.sh QXINSPECT ASSET SOURCE [ASSET SOURCE]...: QXInspect --verify for each pair,
# and QXInspect with the asset's report where it has one (refused unless it matches).
set -eu
inspect=$1
shift
while [ $# -ge 2 ]; do
  "$inspect" "$1" --verify "$2"
  if [ -e "$1.json" ]; then "$inspect" "$1"; fi
  shift 2
done
