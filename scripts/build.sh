#!/usr/bin/env bash
# One entry point for a fresh Debian machine: installs what is missing, configures,
# builds, and then converts the samples, runs the tests, or runs them sanitized.
# Each mode is a function mode_NAME, described by the '#:' lines above it; run
# without a mode, the script prints those lines as its help.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

packages=(cmake ninja-build make g++ pkg-config libassimp-dev libmeshoptimizer-dev libgtest-dev libgmock-dev libcli11-dev python3-jsonschema assimp-testmodels
  nlohmann-json3-dev libstb-dev zlib1g-dev libbenchmark-dev strace gltfpack)
# The viewer page: the reader as WebAssembly, the page's npm packages, and a browser and
# Assimp's test models for its checks.
viewer_packages=(emscripten nodejs chromium fonts-dejavu-core assimp-testmodels)
# .blend sources are exported by the user's Blender; its glTF exporter needs numpy, and
# the add-on's check in Blender's window runs it under Xvfb.
blender_packages=(blender python3-numpy xvfb xauth)

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {  # build DIR [cmake args...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

#: scripts/build.sh examples    build, then convert every sample in examples/
mode_examples() {
  install_missing "${packages[@]}"
  build "$root/build" -DCMAKE_BUILD_TYPE=Release
  # The build converts the samples (target qx_examples); show what they hold.
  "$root/build/QXInspect" "$root"/build/examples/*.{mdl,anm,img,mus,snd}
}

#: scripts/build.sh test        build, then run every test (the viewer page's among them);
#:                              build without Assimp too and convert a texture with it
mode_test() {
  install_missing "${packages[@]}" "${viewer_packages[@]}" "${blender_packages[@]}"
  build "$root/build" -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_VIEWER=ON
  ctest --test-dir "$root/build" -j "$jobs" --output-on-failure
  # docs/windows.md offers a build without Assimp: raw types, the reader and QXInspect.
  build "$root/build-noassimp" -DCMAKE_BUILD_TYPE=Release -DQX_WITH_ASSIMP=OFF
  local work
  work=$(mktemp -d)
  "$root/build-noassimp/QXConvert" tex "$root/examples/grass.tga" "$work/grass.img" >/dev/null
  "$root/build-noassimp/QXInspect" "$work/grass.img" >/dev/null
  rm -rf "$work"
}

#: scripts/build.sh viewer      build the viewer page; check its reader under Node and the
#:                              page in headless Chromium (screenshots in build/viewer/screenshots)
mode_viewer() {
  install_missing "${packages[@]}" "${viewer_packages[@]}"
  build "$root/build" -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_VIEWER=ON
  ctest --test-dir "$root/build" --output-on-failure -R '^viewer[.]'
}

#: scripts/build.sh sanitize    build with ASan+UBSan in build-sanitize/, run every test
mode_sanitize() {
  install_missing "${packages[@]}"
  build "$root/build-sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_SANITIZE=ON
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$root/build-sanitize" -j "$jobs" --output-on-failure
}

#: scripts/build.sh package     install, build the example game against it, build the .deb
mode_package() {
  install_missing "${packages[@]}" "${blender_packages[@]}" emscripten nodejs dpkg-dev file man-db
  build "$root/build" -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_VIEWER=ON
  bash "$root/scripts/package_check.sh" "$root/build"
}

#: scripts/build.sh fuzz [S]    build the fuzz targets with clang, run each for S seconds
mode_fuzz() {
  install_missing "${packages[@]}" clang libclang-rt-14-dev
  bash "$root/fuzz/run.sh" "${1:-60}"
}

#: scripts/build.sh bazel       convert the samples with Bazel: shared disk and HTTP caches
mode_bazel() {
  install_missing libassimp-dev libmeshoptimizer-dev libcli11-dev nlohmann-json3-dev libstb-dev zlib1g-dev g++ bazel-bootstrap \
    bazel-rules-java nginx-extras python3 tar
  bash "$root/scripts/bazel_check.sh"
}

#: scripts/build.sh windows     cross-build for Windows, run every test under Wine, make
#:                              and check the zip (Assimp is built once into a cache)
mode_windows() {
  install_missing "${packages[@]}" g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 \
    libz-mingw-w64-dev libutfcpp-dev libstb-dev dpkg-dev zip unzip groff-base assimp-testmodels \
    emscripten nodejs
  build "$root/build" -DCMAKE_BUILD_TYPE=Release  # what the zip is compared with
  cache=${QX_CACHE_DIR:-/var/cache/qxconvert}
  mkdir -p "$cache"
  assimp=$(bash "$root/scripts/mingw_assimp.sh" "$cache")
  # Debian has no meshoptimizer for MinGW: its source is compiled in.
  meshoptimizer=$(bash "$root/scripts/meshoptimizer_source.sh" "$cache")
  # Header-only libraries, staged apart from the host's /usr/include.
  headers=$cache/mingw-headers
  rm -rf "$headers" && mkdir -p "$headers/include"
  cp -r /usr/include/CLI /usr/include/nlohmann /usr/include/stb "$headers/include/"
  build "$root/build-windows" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DQX_MINGW_PREFIX="$assimp;$headers" \
    -DQX_GTEST_SOURCE_DIR=/usr/src/googletest -DQX_BUILD_EXAMPLES=OFF -DQX_BUILD_BENCHMARKS=OFF \
    -DQX_BUILD_VIEWER=ON -DQX_MESHOPTIMIZER_SOURCE_DIR="$meshoptimizer"
  export WINEPREFIX=$root/build-windows/wine WINEDEBUG=-all
  ctest --test-dir "$root/build-windows" -j "$jobs" --output-on-failure
  print_skipped "$root/build-windows" "under Wine"
  (cd "$root/build-windows" && cpack >/dev/null)
  bash "$root/scripts/windows_check.sh" "$root/build-windows" "$root/build"
}

print_skipped() {  # BUILD_DIR WHERE: each test skipped in the last run, with its reason
  awk -v where="$2" '/^\[ RUN      \]/ {name = $4}
       /: Skipped$/ {getline reason; print "  skipped " name ": " reason; n++}
       END {print n + 0 " tests skipped " where}' "$1/Testing/Temporary/LastTest.log"
}

# Cross builds take the target's libraries from Debian's multiarch packages. zlib must
# be one version on every architecture, and the security archive builds no s390x, so
# it is pinned everywhere to the version the target architecture has.
install_cross() {  # ARCH TRIPLE
  local arch=$1 triple=$2 sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  install_missing "${packages[@]}" qemu-user "g++-$triple" dpkg-dev
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
    "${sudo[@]}" apt-get update -qq
  fi
  local archs zlib="" wanted=("libassimp-dev:$arch" "libmeshoptimizer-dev:$arch")
  archs=($(dpkg --print-architecture) $(dpkg --print-foreign-architectures))
  # The newest version every architecture has.
  for v in $(apt-cache madison "zlib1g:$arch" | awk -F'|' '{gsub(/ /, "", $2); print $2}'); do
    for a in "${archs[@]}"; do apt-cache madison "zlib1g:$a" | grep -qF " $v " || continue 2; done
    zlib=$v
    break
  done
  for a in "${archs[@]}"; do
    for p in zlib1g zlib1g-dev; do
      dpkg-query -W -f='${Status}' "$p:$a" 2>/dev/null | grep -q "install ok installed" && wanted+=("$p:$a=$zlib")
    done
  done
  wanted+=("zlib1g:$arch=$zlib")
  # zlib1g-dev needs libc6-dev of its architecture, which s390x cannot have beside amd64.
  [ "$arch" = arm64 ] && wanted+=("zlib1g-dev:$arch=$zlib")
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    --allow-downgrades "${wanted[@]}" >/dev/null
}

# Another Linux architecture: cross-built, every test run under qemu-user (the tests
# start the tools through it), and conversions compared with the native build. qemu
# ignores RLIMIT_AS for the program it runs, so each run's qemu is capped at 4 GiB.
cross_build() {  # ARCH TRIPLE
  install_cross "$1" "$2"
  build "$root/build" -DCMAKE_BUILD_TYPE=Release
  local meshoptimizer
  meshoptimizer=$(bash "$root/scripts/meshoptimizer_source.sh" "${QX_CACHE_DIR:-/var/cache/qxconvert}")
  build "$root/build-$1" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2.cmake" \
    -DQX_GTEST_SOURCE_DIR=/usr/src/googletest -DQX_BUILD_EXAMPLES=OFF -DQX_BUILD_BENCHMARKS=OFF \
    -DQX_MESHOPTIMIZER_SOURCE_DIR="$meshoptimizer"
  (ulimit -v $((4 << 20)) && ctest --test-dir "$root/build-$1" -j "$jobs" --output-on-failure)
  print_skipped "$root/build-$1" "under qemu-user ($1)"
  bash "$root/scripts/cross_check.sh" "$1" "$root/build-$1" "$root/build"
}

#: scripts/build.sh arm64       cross-build for arm64, run every test under qemu-user, compare
#:                              conversions with the native build, make the arm64 .deb
mode_arm64() {
  cross_build arm64 aarch64-linux-gnu
  rm -f "$root"/build-arm64/*.deb
  (cd "$root/build-arm64" && cpack >/dev/null)
  dpkg-deb -f "$root"/build-arm64/qxconvert_*_arm64.deb Architecture Depends
}

#: scripts/build.sh s390x       the same on big-endian s390x (no package), memory capped
mode_s390x() {
  cross_build s390x s390x-linux-gnu
}

#: scripts/build.sh mutate [N]  N seeded faults per folder, each built and tested; the score
#:                              per folder (slow, not in CI)
mode_mutate() {
  install_missing "${packages[@]}" python3
  cmake -S "$root" -B "$root/build-mutate" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQX_BUILD_BENCHMARKS=OFF -DQX_BUILD_EXAMPLES=OFF >/dev/null
  python3 "$root/scripts/mutate.py" "$root/build-mutate" --per-folder "${1:-16}"
}

mode="${1:-}"
if [ -n "$mode" ] && declare -F "mode_$mode" >/dev/null; then
  shift
  "mode_$mode" "$@"
else
  sed -n 's/^#: \{0,1\}//p' "$0"
  exit 2
fi
