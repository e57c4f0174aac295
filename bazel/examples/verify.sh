#!/bin/sh
# verify.sh QXINSPECT ASSET SOURCE [ASSET SOURCE]...: QXInspect --verify for each pair.
set -eu
inspect=$1
shift
while [ $# -ge 2 ]; do
  "$inspect" "$1" --verify "$2"
  shift 2
done
