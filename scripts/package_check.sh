#!/usr/bin/env bash
# Proves the build-system integration against an installed copy:
#   1. install into a temporary prefix; the example game converts every asset, and
#      QXInspect reads each one back;
#   2. a second build does no work; touching one source (or a file its import reads)
#      reconverts exactly that one;
#   3. a source that fails to import fails the build and leaves no output;
#      two sources with the same output, an output onto its own source and a path
#      with ';' stop the configuration; one source named twice converts once; '[' and
#      '%' in a model's folder convert with Ninja and are refused with Make; LODS makes
#      each level of detail its own conversion with its own depfile and report;
#   4. with Blender installed, a .blend source converts and reconverts when an image
#      it uses changes, and Blender installs the add-on's zip, which then exports;
#   5. the Debian package (with the viewer page) builds, installs, converts, and is
#      removed again.
#   scripts/package_check.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "package check: $*" >&2; exit 1; }
converted() { grep -c '^\[[0-9/]*\] Converting' "$1" || true; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cp -r "$root/examples" "$work/examples"
game=$work/examples/game
configure() { cmake -S "$game" -B "$work/game-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" "$@" >/dev/null; }
build_game() { cmake --build "$work/game-build" >"$work/log" 2>&1; }

echo "== first build converts every asset"
configure
build_game || { cat "$work/log"; fail "first build failed"; }
[ "$(converted "$work/log")" = 6 ] || { cat "$work/log"; fail "expected 6 conversions"; }
assets=$(find "$work/game-build/assets" -type f \( -name '*.mdl' -o -name '*.anm' -o -name '*.img' -o -name '*.mus' -o -name '*.snd' \) | sort)
[ "$(echo "$assets" | wc -l)" = 6 ] || fail "expected 6 asset files, found: $assets"
# shellcheck disable=SC2086
"$work/prefix/bin/QXInspect" $assets

echo "== second build does no work"
build_game
grep -q "no work to do" "$work/log" || { cat "$work/log"; fail "second build did work"; }

echo "== touching one source or one file an import reads reconverts exactly that asset"
for touched in models/crate.mtl models/triangle.bin anims/walk.bvh ../grass.tga; do
  sleep 1  # a clearly newer timestamp on coarse file systems
  touch "$game/$touched"
  build_game
  [ "$(converted "$work/log")" = 1 ] || { cat "$work/log"; fail "touching $touched did not reconvert exactly one asset"; }
done

echo "== a source that fails to import fails the build and leaves no output"
printf 'this is not a model\n' >"$game/models/broken.obj"
configure -DGAME_WITH_BROKEN_MODEL=ON
if build_game; then cat "$work/log"; fail "the build succeeded with a broken model"; fi
[ ! -e "$work/game-build/assets/models/broken.mdl" ] || fail "a failed conversion left an output"
leftovers=$(ls -A "$work/game-build/assets/models")
grep -q '\.qx-' <<<"$leftovers" && fail "a failed conversion left a temporary file"
if build_game; then fail "the broken model looked up to date on the next build"; fi
configure -DGAME_WITH_BROKEN_MODEL=OFF

echo "== two sources with the same output stop the configuration"
if configure -DGAME_WITH_CLASHING_MODEL=ON 2>"$work/err"; then fail "the clash was not reported"; fi
grep -q "would both be converted" "$work/err" || { cat "$work/err"; fail "unexpected configure error"; }

echo "== awkward sources: a ';' in a path, an output onto its source, one source named twice, '[' and '%' in a folder"
edge=$work/edge
mkdir -p "$edge/textures" "$edge/sub"
printf 'px' >"$edge/textures/g.png"
printf 'px' >"$edge/grass.img"
printf 'px' >"$edge/a;b.png"
edge_case() {  # edge_case NAME ARGS...: a project with one qx_add_assets call ($generator: Ninja)
  local name=$1
  shift
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(edge CXX)\nfind_package(QXConvert REQUIRED)\nqx_add_assets(%s)\n' \
    "$*" >"$edge/CMakeLists.txt"
  rm -rf "$work/edge-build"
  cmake -S "$edge" -B "$work/edge-build" -G "${generator:-Ninja}" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null 2>"$work/err"
}
if edge_case semicolon 'assets TEXTURES "a;b.png"'; then fail "a path with ';' configured"; fi
grep -q "a path with ';'" "$work/err" || { cat "$work/err"; fail "unexpected error for ';'"; }
if edge_case onto 'assets OUTPUT_DIR ${CMAKE_CURRENT_SOURCE_DIR} TEXTURES grass.img'; then
  fail "an output onto its own source configured"
fi
grep -q "onto itself" "$work/err" || { cat "$work/err"; fail "unexpected error for an output onto its source"; }
printf 'o m\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n' >"$edge/crate.obj"
cp "$edge/grass.img" "$edge/crate.mdl"
if edge_case source 'assets OUTPUT_DIR ${CMAKE_CURRENT_SOURCE_DIR} MODELS crate.obj TEXTURES crate.mdl'; then
  fail "an output onto another source configured"
fi
grep -q "which is itself a source" "$work/err" || { cat "$work/err"; fail "unexpected error for an output onto a source"; }
# What would fail or be misread at build time is refused now: '$' by CMake's depfile
# handling, '=' by the converter's depfile, a backslash by CMake.
for path in 'd$r/crate.obj' 'a=b/crate.obj' 'b\\s.png'; do
  if edge_case awkward "assets MODELS \"$path\""; then fail "$path configured"; fi
  grep -Eq "could not be read back|with a backslash" "$work/err" || { cat "$work/err"; fail "unexpected error for $path"; }
done
# '[' and '%' in a model's folder: Ninja carries them, even beside a folder that the
# name would match as a wildcard (lod[1] and lod1); a Make-based generator, which
# would read them as other files, refuses them.
for folder in 'lod[1]' lod1 'p%c'; do
  mkdir -p "$edge/$folder"
  printf 'mtllib m.mtl\no m\nv 0 0 0\nv %s 0 0\nv 0 1 0\nusemtl x\nf 1 2 3\n' "${#folder}" >"$edge/$folder/m.obj"
  printf 'newmtl x\nKd 1 0 0\n' >"$edge/$folder/m.mtl"
done
edge_case brackets 'assets MODELS "lod[1]/m.obj" lod1/m.obj "p%c/m.obj"' || { cat "$work/err"; fail "'[' or '%' in a folder did not configure with Ninja"; }
cmake --build "$work/edge-build" >"$work/log" 2>&1 || { cat "$work/log"; fail "'[' or '%' in a folder did not build with Ninja"; }
cmp -s "$work/edge-build/assets/lod[1]/m.mdl" "$work/edge-build/assets/lod1/m.mdl" &&
  fail "lod[1]/m.obj was converted from lod1/m.obj"
for touched in 'lod[1]/m.mtl' 'lod[1]/m.obj' 'p%c/m.mtl'; do
  sleep 1
  touch "$edge/$touched"
  cmake --build "$work/edge-build" >"$work/log" 2>&1
  [ "$(converted "$work/log")" = 1 ] || { cat "$work/log"; fail "touching $touched did not reconvert exactly one asset"; }
done
for path in 'lod[1]/m.obj' 'p%c/m.obj'; do
  if generator="Unix Makefiles" edge_case make "assets MODELS \"$path\""; then fail "$path configured with Unix Makefiles"; fi
  grep -q "use a Ninja generator" "$work/err" || { cat "$work/err"; fail "unexpected error for $path with Unix Makefiles"; }
done
edge_case twice 'assets TEXTURES textures/g.png sub/../textures/g.png' || { cat "$work/err"; fail "one source named twice did not configure"; }
cmake --build "$work/edge-build" >"$work/log" 2>&1 || { cat "$work/log"; fail "one source named twice did not build"; }
[ "$(converted "$work/log")" = 1 ] || { cat "$work/log"; fail "one source named twice was not converted once"; }

echo "== LODS: crate.lod1.mdl and crate.lod2.mdl, each simplified, with its own depfile and report"
cp "$root/examples/crate.obj" "$root/examples/crate.mtl" "$edge/"
if edge_case lods 'assets LODS 0.5 1.5 MODELS crate.obj'; then fail "LODS 1.5 configured"; fi
grep -q "LODS needs ratios between 0 and 1" "$work/err" || { cat "$work/err"; fail "unexpected error for LODS 1.5"; }
# One decimal more than the converter takes is refused here, not when the build runs.
if edge_case lods 'assets LODS 0.1234567891 MODELS crate.obj'; then fail "LODS with 10 decimals configured"; fi
grep -q "at most 9 decimals" "$work/err" || { cat "$work/err"; fail "unexpected error for 10 decimals"; }
edge_case lods 'assets REPORTS UNSCRAMBLED LODS 0.5 0.25 MODELS crate.obj' || { cat "$work/err"; fail "LODS did not configure"; }
cmake --build "$work/edge-build" >"$work/log" 2>&1 || { cat "$work/log"; fail "LODS did not build"; }
[ "$(converted "$work/log")" = 3 ] || { cat "$work/log"; fail "LODS 0.5 0.25 did not make three conversions"; }
lods=$work/edge-build/assets
for level in "" .lod1 .lod2; do
  for file in "crate$level.mdl" "crate$level.mdl.d" "crate$level.mdl.json"; do
    [ -s "$lods/$file" ] || fail "LODS made no $file"
  done
done
ratio() { /usr/bin/python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["output"].get("simplifyRatio", 0))' "$1"; }
[ "$(ratio "$lods/crate.mdl.json")/$(ratio "$lods/crate.lod1.mdl.json")/$(ratio "$lods/crate.lod2.mdl.json")" = 0/0.5/0.25 ] ||
  fail "the levels of detail were not converted with their ratios"
"$work/prefix/bin/QXInspect" "$lods/crate.mdl" "$lods/crate.lod1.mdl" "$lods/crate.lod2.mdl" >/dev/null || fail "QXInspect refused a level of detail"
sleep 1
touch "$edge/crate.mtl"
cmake --build "$work/edge-build" >"$work/log" 2>&1
[ "$(converted "$work/log")" = 3 ] || { cat "$work/log"; fail "touching crate.mtl did not reconvert every level"; }

if command -v blender >/dev/null 2>&1; then
  echo "== a .blend source converts through Blender; touching an image it uses reconverts it"
  blend=$work/blend
  mkdir -p "$blend"
  blender -b --factory-startup -noaudio --python-exit-code 1 --python "$root/testing/make_blend_scene.py" -- \
    "$blend/scene.blend" "$blend/paint.png" "$blend/ran.txt" >/dev/null 2>&1 || fail "Blender could not make the test scene"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(blend CXX)\nfind_package(QXConvert REQUIRED)\nqx_add_assets(assets MODELS scene.blend)\n' \
    >"$blend/CMakeLists.txt"
  cmake -S "$blend" -B "$work/blend-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build "$work/blend-build" >"$work/log" 2>&1 || { cat "$work/log"; fail "the .blend did not convert"; }
  "$work/prefix/bin/QXInspect" "$work/blend-build/assets/scene.mdl" | grep -q "24 vertices" || fail "the .blend asset reads wrong"
  sleep 1
  touch "$blend/paint.png"
  cmake --build "$work/blend-build" >"$work/log" 2>&1
  [ "$(converted "$work/log")" = 1 ] || { cat "$work/log"; fail "touching the .blend's image did not reconvert it"; }

  echo "== Blender installs the add-on's zip, and it exports with the installed converter"
  PATH=/usr/bin:/bin BLENDER_USER_SCRIPTS=$work/blender-scripts blender -b --factory-startup -noaudio \
    "$blend/scene.blend" --python-exit-code 1 --python-expr "import bpy, addon_utils
bpy.ops.preferences.addon_install(filepath='$work/prefix/share/qxconvert/blender/qxconvert-blender-addon.zip')
addon_utils.enable('qxconvert', default_set=True)
bpy.context.preferences.addons['qxconvert'].preferences.qxconvert_path = '$work/prefix/bin/QXConvert'
assert bpy.ops.export_scene.qx_model(filepath='$work/addon.mdl') == {'FINISHED'}" >"$work/log" 2>&1 ||
    { cat "$work/log"; fail "the add-on's zip did not install or export"; }
  "$work/prefix/bin/QXInspect" "$work/addon.mdl" | grep -q "24 vertices" || fail "the add-on's model reads wrong"
fi

echo "== the Debian package builds, installs and runs"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/qxconvert_*.deb | head -n 1)
contents=$(dpkg-deb --contents "$deb")
for file in usr/bin/QXConvert usr/bin/QXInspect usr/share/man/man1/QXConvert.1 \
  usr/share/man/man1/QXInspect.1 qxconvert/qxconvert_scene.so QXConvertConfig.cmake \
  qxconvert/reader/asset_reader.h qxconvert/bazel/defs.bzl qxconvert/viewer/index.html \
  qxconvert/qxconvert-report.schema.json qxconvert/blender/qxconvert/__init__.py \
  qxconvert/blender/qxconvert-blender-addon.zip; do
  grep -q "$file" <<<"$contents" || fail "$file is missing from the package"
done
if [ "$(id -u)" -eq 0 ] && [ -n "${CI:-}${QX_INSTALL_DEB:-}" ]; then
  dpkg -i "$deb" >/dev/null
  trap 'dpkg -r qxconvert >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
  /usr/bin/QXConvert mdl "$game/models/crate.obj" "$work/crate.mdl" | grep -q "Wrote encrypted" ||
    fail "the installed converter did not convert a model"
  /usr/bin/QXInspect --verify "$game/models/crate.obj" "$work/crate.mdl" >/dev/null ||
    fail "the installed QXInspect did not verify"
  man -w QXConvert >/dev/null 2>&1 || [ -f /usr/share/man/man1/QXConvert.1.gz ] || [ -f /usr/share/man/man1/QXConvert.1 ] ||
    fail "the man page was not installed"
  echo "installed and ran $(basename "$deb")"
else
  echo "built $(basename "$deb") (installing it needs root and CI=1 or QX_INSTALL_DEB=1)"
fi
echo "package check: all passed"
