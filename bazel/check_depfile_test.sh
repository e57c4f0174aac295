#!/bin/sh
# check_depfile.sh against the converter's own depfile: sources whose names hold '$',
# '#' and ':' are found declared, and an undeclared one is named as QXConvert read it.
#   check_depfile_test.sh QXCONVERT
set -eu
qx=$1
check=$(cd "$(dirname "$0")" && pwd)/check_depfile.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'newmtl m\n' >'h#sh$1.mtl'
printf 'mtllib h#sh$1.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n' >'mo$del:1.obj'
printf '%s\n' 'mo$del:1.obj' 'h#sh$1.mtl' >declared
sh "$check" out.d declared -- "$qx" mdl 'mo$del:1.obj' out.mdl -depfile=out.d
printf '%s\n' 'mo$del:1.obj' >declared
if sh "$check" out.d declared -- "$qx" mdl 'mo$del:1.obj' out.mdl -depfile=out.d 2>err; then
  echo "an undeclared .mtl passed the check" >&2
  exit 1
fi
grep -qxF 'QXConvert read h#sh$1.mtl, which is not declared: add it to deps' err || { cat err >&2; exit 1; }
