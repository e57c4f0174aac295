#!/usr/bin/env bash
# Proves the Windows zip against the Linux build, as a new Windows user would meet it:
#   1. unzip into a fresh Wine prefix, in a folder named with Ω and a space; the viewer
#      page and the Blender add-on's zip are there;
#   2. convert every sample and a set of Assimp's test models with both builds: the
#      files are byte-identical, or (rotations computed with the C library's
#      trigonometry) identical in layout and counts with values within 1e-6; models
#      identical on both are identical with -optimize and -simplify=0.5 too;
#   3. paths with Ω, 日本 and spaces, an output named NUL, and an input in a folder
#      longer than 260 characters each work.
#   scripts/windows_check.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
windows=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/wine WINEDEBUG=-all
fail() { echo "windows check: $*" >&2; exit 1; }

install="$work/QX Ω"
mkdir -p "$install"
unzip -q "$windows"/qxconvert-*-win64.zip -d "$install"
grep -q "QXConvert viewer" "$install/share/qxconvert/viewer/index.html" || fail "the zip has no viewer page"
unzip -l "$install/share/qxconvert/blender/qxconvert-blender-addon.zip" | grep -q "qxconvert/scene_export.py" ||
  fail "the zip has no Blender add-on zip"
wexe=$install/bin/QXConvert.exe
lexe=$linux/QXConvert
inspect=$linux/QXInspect
# The first line of every run, from the Linux build of the same source.
banner=$("$lexe" | head -n 1 || true)
[[ "$banner" == "QXConvert v"* ]] || fail "no banner from $lexe: $banner"

mapfile -t inputs < <("$root/scripts/reference_models.sh")
identical=0 close=0 mesh_work=0
echo "== every sample and test model converts as on Linux"
for entry in "${inputs[@]}"; do
  read -r type source <<<"$entry"
  [ -f "$source" ] || fail "missing test input $source"
  name=$(basename "$source")
  set +e
  lout=$("$lexe" "$type" "$source" "$work/linux-$name.out" -ue)
  lcode=$?
  wout=$(wine "$wexe" "$type" "$source" "$work/windows-$name.out" -ue | tr -d '\r')
  wcode=$?
  set -e
  [ "$lcode" = "$wcode" ] || fail "$name: exit $wcode on Windows, $lcode on Linux"
  [ "${wout//windows-/}" = "${lout//linux-/}" ] || fail "$name: '$wout' against '$lout'"
  [ "$lcode" = 0 ] || continue
  if cmp -s "$work/linux-$name.out" "$work/windows-$name.out"; then
    identical=$((identical + 1))
    if [ "$type" = mdl ]; then
      for option in -optimize -simplify=0.5; do
        "$lexe" mdl "$source" "$work/linux-$name$option" -ue "$option" >/dev/null
        wine "$wexe" mdl "$source" "$work/windows-$name$option" -ue "$option" >/dev/null
        cmp -s "$work/linux-$name$option" "$work/windows-$name$option" ||
          fail "$name: $option gives other bytes on Windows"
        mesh_work=$((mesh_work + 1))
      done
    fi
  else
    /usr/bin/python3 "$root/scripts/compare_assets.py" "$inspect" "$work/linux-$name.out" \
      "$work/windows-$name.out" || fail "$name differs beyond the tolerance"
    close=$((close + 1))
  fi
done
echo "$identical files byte-identical, $close within the tolerance;" \
  "$mesh_work -optimize and -simplify conversions identical"

echo "== paths outside the ANSI code page, NUL, long paths"
cp "$root/examples/grass.tga" "$work/日本 Ω.tga"
out=$(wine "$wexe" tex "$work/日本 Ω.tga" "$work/Ω out.img" | tr -d '\r')
[ "$out" = "$banner"$'\nWrote encrypted '"$work/Ω out.img" ] || fail "unicode names: $out"
"$lexe" tex "$work/日本 Ω.tga" "$work/linux.img" >/dev/null
cmp "$work/Ω out.img" "$work/linux.img" || fail "unicode names: different bytes"
out=$(wine "$wexe" mdl "$root/examples/crate.obj" NUL | tr -d '\r')
[ "$out" = "$banner"$'\nWrote encrypted NUL' ] || fail "NUL: $out"
deep=$work/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})/$(printf 'f%.0s' {1..40})
mkdir -p "$deep"
cp "$root/examples/crate.obj" "$root/examples/crate.mtl" "$deep/"
wine "$wexe" mdl "$deep/crate.obj" "$deep/crate.mdl" -depfile="$deep/crate.d" >/dev/null ||
  fail "a path of ${#deep} characters did not convert"
wine "$install/bin/QXInspect.exe" "$deep/crate.mdl" --verify "$deep/crate.obj" >/dev/null ||
  fail "QXInspect did not verify under a long path"
echo "windows check: all passed"
