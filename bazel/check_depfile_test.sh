#!/bin/sh
# The Bazel action's check against the converter's own depfile: sources whose names
# hold '$', '#', ':' and spaces are found declared, and an undeclared one is named as
# QXConvert read it.
#   check_depfile_test.sh QXCONVERT
set -eu
qx=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'newmtl m\n' >'h#sh$1 a.mtl'
printf 'mtllib h#sh$1 a.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n' >'mo$del:1.obj'
printf '%s\n' 'mo$del:1.obj' 'h#sh$1 a.mtl' >declared
"$qx" --bazel-action out.d declared mdl 'mo$del:1.obj' out.mdl -depfile=out.d
printf '%s\n' 'mo$del:1.obj' >declared
if "$qx" --bazel-action out.d declared mdl 'mo$del:1.obj' out.mdl -depfile=out.d 2>err; then
  echo "an undeclared .mtl passed the check" >&2
  exit 1
fi
grep -qxF 'QXConvert read h#sh$1 a.mtl, which is not declared: add it to deps' err || { cat err >&2; exit 1; }
