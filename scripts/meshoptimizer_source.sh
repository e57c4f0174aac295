#!/usr/bin/env bash
# Unpacks Debian's meshoptimizer source, the version the build machine has, into a cache
# folder outside the checkout, and prints that folder. Cross and Windows builds compile
# it in (QX_MESHOPTIMIZER_SOURCE_DIR) without contraction of multiply and add: Debian's
# arm64 and s390x libraries fuse them, and -simplify then gives other bytes than on
# x86-64 (docs/architectures.md); MinGW has no package of it at all.
#
#   scripts/meshoptimizer_source.sh [CACHE_ROOT]     default: /var/cache/qxconvert
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache_root=${1:-/var/cache/qxconvert}
. "$root/scripts/deb_src.sh"
version=$(host_version libmeshoptimizer-dev)
dir=$cache_root/meshoptimizer-${version//[:~]/_}
if [ -f "$dir/.complete" ]; then
  echo "$dir"
  exit 0
fi
enable_deb_src meshoptimizer
mkdir -p "$cache_root"
work=$(mktemp -d "$cache_root/source-XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && { apt-get source -qq "meshoptimizer=$version" >/dev/null 2>&1 || apt-get source -qq meshoptimizer >/dev/null; })
rm -rf "$dir"
mv "$(ls -d "$work"/meshoptimizer-*/)" "$dir"
touch "$dir/.complete"
echo "$dir"
