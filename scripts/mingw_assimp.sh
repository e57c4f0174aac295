#!/usr/bin/env bash
# Builds Debian's Assimp for 64-bit Windows with MinGW-w64, statically, into a cache
# folder outside the checkout, and prints that folder. A build whose Assimp version
# and recipe (this script and the toolchain file) are unchanged is reused.
#
#   scripts/mingw_assimp.sh [CACHE_ROOT]     default: /var/cache/qxconvert
#
# Debian's repacked source leaves out the bundled zlib, minizip, utf8cpp and stb: zlib
# comes from libz-mingw-w64-dev, minizip from Debian's zlib source, utf8cpp and stb
# from their -dev packages' headers. A Debian patch makes draco mandatory; it follows
# ASSIMP_BUILD_DRACO (off) again here.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache_root=${1:-/var/cache/qxconvert}
. "$root/scripts/deb_src.sh"
version=$(host_version libassimp-dev)
# The recipe: this script and the toolchain (deb_src.sh only finds the source).
recipe=$(cat "$0" "$root/cmake/mingw-w64-x86_64.cmake" | sha256sum | cut -c1-12)
prefix=$cache_root/assimp-mingw-${version//[:~]/_}-$recipe
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

enable_deb_src assimp

work=$(mktemp -d "$cache_root/build-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -qq "assimp=$version" >/dev/null 2>&1 || apt-get source -qq assimp >/dev/null
# zlib's main-suite source: the security suite's pool may not hold the source files.
zlib_version=$(apt-cache showsrc zlib | awk '/^Version:/ {print $2}' | sort -V | head -n 1)
apt-get source -qq "zlib=$zlib_version" >/dev/null
src=$(ls -d assimp-*/)
zlib=$(ls -d zlib-*/)

mkdir -p "$src/contrib/unzip" include
cp "$zlib"/contrib/minizip/{crypt.h,ioapi.c,ioapi.h,unzip.c,unzip.h} "$src/contrib/unzip/"
: > "$src/contrib/unzip/crypt.c"  # minizip keeps its crypt code in crypt.h
cp /usr/include/utf8cpp/utf8.h include/ && cp -r /usr/include/utf8cpp/utf8 include/
cp -r /usr/include/stb include/
sed -i '/^find_package(draco CONFIG REQUIRED)$/d; /^target_link_libraries(assimp ${DRACO_LIBRARIES})$/d' \
  "$src/code/CMakeLists.txt"
sed -i '/^find_package(draco   CONFIG REQUIRED)$/d' "$src/cmake-modules/assimp-plain-config.cmake.in"

cmake -S "$src" -B build -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_CXX_FLAGS="-I$work/include -Wno-deprecated-declarations" -DCMAKE_C_FLAGS="-I$work/include" \
  -DBUILD_SHARED_LIBS=OFF -DASSIMP_BUILD_TESTS=OFF -DASSIMP_BUILD_ASSIMP_TOOLS=OFF \
  -DASSIMP_BUILD_SAMPLES=OFF -DASSIMP_BUILD_DRACO=OFF -DASSIMP_WARNINGS_AS_ERRORS=OFF \
  -DASSIMP_BUILD_ZLIB=OFF -DASSIMP_BUILD_MINIZIP=ON -DASSIMP_INSTALL_PDB=OFF \
  -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include \
  >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
cmake --install build >/dev/null
touch "$prefix/.complete"
echo "$prefix"
