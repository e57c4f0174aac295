#!/usr/bin/env bash
# Prints scripts/reference_models.txt with each path made absolute: "TYPE PATH" per line.
#   scripts/reference_models.sh [ASSIMP_MODELS_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
models=${1:-/usr/share/assimp/models}
while read -r type path; do
  case $type in '' | '#'*) continue ;; esac
  case $path in
    examples/*) echo "$type $root/$path" ;;
    assimp/*) echo "$type $models/${path#assimp/}" ;;
    *) echo "reference_models.txt: unknown place in $path" >&2; exit 1 ;;
  esac
done <"$root/scripts/reference_models.txt"
