#!/usr/bin/env bash
# Proves a Linux cross build (arm64, or s390x: big-endian) against the native build:
# every sample and a set of Assimp's test models convert with both, run through
# qemu-user; the assets are byte-identical, or (where the importer's floats differ in
# the last bits) identical in layout and counts with values within 1e-6, or (where
# those bits make Assimp join other vertices) the same surface: every face corner
# with the same values. Where Debian's Assimp itself fails or misreads on the
# architecture, that is listed as known, with its reason, so that a new one stands out. The cross QXInspect then reads every
# native asset and must decode it exactly as the native one does.
#   scripts/cross_check.sh ARCH CROSS_BUILD_DIR NATIVE_BUILD_DIR    (ARCH: arm64 or s390x)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=$1
cross=$(cd "$2" && pwd)
native=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$arch check: $*" >&2; exit 1; }
case $arch in
  arm64) emulator=qemu-aarch64 ;;
  s390x) emulator=qemu-s390x ;;
  *) fail "unknown architecture $arch" ;;
esac
# qemu-user ignores RLIMIT_AS for the program it runs, but the limit binds qemu itself:
# an import that grows without end (Assimp's FBX reader on s390x) stops at 4 GiB.
ulimit -v $((4 << 20))

mapfile -t inputs < <("$root/scripts/reference_models.sh")
# Debian's Assimp 5.2.5 on big-endian machines: what it does, and why it is not ours.
known_failure() {
  [ "$arch" = s390x ] || return 1
  case $1 in
    *.gltf|*.glb) echo "Assimp's glTF reader misreads big-endian buffers (\"Mesh has no faces\")" ;;
    *.fbx) echo "Assimp's FBX reader misreads big-endian binary FBX (\"UnitScaleFactor must be non-zero\", or endless growth)" ;;
    *.dae) echo "Assimp's Collada reader fails on big-endian machines (std::bad_alloc)" ;;
    *) return 1 ;;
  esac
}
known_difference() {
  [ "$arch" = s390x ] || return 1
  case $1 in
    *.md2) echo "Assimp's MD2 reader misreads some texture coordinates on big-endian machines (200.1 for 0.78)" ;;
    *) return 1 ;;
  esac
}

run_cross() { timeout 300 "$emulator" "$cross/$1" "${@:2}"; }
identical=0 close=0 surface=0 differ=0 failed=0 mesh_work=0
echo "== every sample and test model converts as on amd64"
for entry in "${inputs[@]}"; do
  read -r type source <<<"$entry"
  [ -f "$source" ] || fail "missing test input $source"
  name=$(basename "$source")
  "$native/QXConvert" "$type" "$source" "$work/native-$name.out" -ue >/dev/null ||
    fail "$name does not convert natively"
  set +e
  cout=$(run_cross QXConvert "$type" "$source" "$work/cross-$name.out" -ue 2>&1)
  code=$?
  set -e
  if [ "$code" != 0 ]; then
    why=$(known_failure "$name") || fail "$name: exit $code on $arch: $cout"
    echo "  $name: fails as known: $why"
    failed=$((failed + 1))
    continue
  fi
  if cmp -s "$work/native-$name.out" "$work/cross-$name.out"; then
    identical=$((identical + 1))
    # Meshes the import gave to the bit are optimised and simplified to the bit too
    # (meshoptimizer is compiled in without fused multiply-add, as x86-64 computes).
    if [ "$type" = mdl ]; then
      for work_option in -optimize -simplify=0.5; do
        "$native/QXConvert" mdl "$source" "$work/native-$name$work_option" -ue "$work_option" >/dev/null
        run_cross QXConvert mdl "$source" "$work/cross-$name$work_option" -ue "$work_option" >/dev/null
        cmp -s "$work/native-$name$work_option" "$work/cross-$name$work_option" ||
          fail "$name: $work_option gives other bytes on $arch"
        mesh_work=$((mesh_work + 1))
      done
    fi
  elif /usr/bin/python3 "$root/scripts/compare_assets.py" "$native/QXInspect" \
      "$work/native-$name.out" "$work/cross-$name.out" >"$work/compare" 2>&1; then
    echo "  $name: $(tail -1 "$work/compare")"
    close=$((close + 1))
  elif /usr/bin/python3 "$root/scripts/compare_assets.py" --same-surface "$native/QXInspect" \
      "$work/native-$name.out" "$work/cross-$name.out" >"$work/compare" 2>&1; then
    echo "  $name: vertices joined differently; $(tail -1 "$work/compare")"
    surface=$((surface + 1))
  else
    why=$(known_difference "$name") || { cat "$work/compare"; fail "$name differs beyond the tolerance"; }
    echo "  $name: differs as known: $why"
    differ=$((differ + 1))
  fi
  # The samples scrambled too: the key and the scrambling are this project's own bytes.
  if [ "$(dirname "$source")" = "$root/examples" ]; then
    "$native/QXConvert" "$type" "$source" "$work/native-$name.scrambled" >/dev/null
    run_cross QXConvert "$type" "$source" "$work/cross-$name.scrambled" >/dev/null
    cmp -s "$work/native-$name.scrambled" "$work/cross-$name.scrambled" ||
      fail "$name: the scrambled asset differs on $arch"
  fi
  # The reader on this architecture decodes the native asset exactly as on amd64.
  cmp -s <("$native/QXInspect" --json --full "$work/native-$name.out") \
    <(run_cross QXInspect --json --full "$work/native-$name.out") ||
    fail "$name: QXInspect on $arch reads the asset differently"
done
echo "$arch: ${#inputs[@]} files compared: $identical identical, $close within 1e-6," \
  "$surface the same surface, $differ different (known), $failed failing in Assimp (known);" \
  "$mesh_work -optimize and -simplify conversions identical"
echo "$arch check: all passed"
