#!/usr/bin/env bash
# Proves the Bazel rules with Debian's Bazel, offline, on copies of bazel/examples:
#   1. two clean output bases at two paths share one --disk_cache: the second build
#      runs no action and gives byte-identical outputs;
#   2. the same through a real HTTP cache (nginx with WebDAV PUT on 127.0.0.1);
#   3. changing one source, or one .mtl it reads, reruns exactly its conversions (the
#      crate's three: the asset and its two levels of detail, each with a report); an
#      undeclared .mtl and a source that fails to import fail the build, leaving no
#      output;
#   4. persistent workers (the default here) and one-off runs (--strategy=QXConvert=local)
#      give byte-identical outputs, and Bazel's summary counts the worker actions;
#   5. 1,000 generated models convert in workers, each byte-identical with its one-off run;
#   6. bazel test runs QXInspect --verify over every converted sample.
#   scripts/bazel_check.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d /tmp/qx-bazel-XXXXXX)
nginx_pid=
first_summary=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  for base in "$work"/base*; do bazel --output_base="$base" shutdown >/dev/null 2>&1 || true; done
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "bazel check: $*" >&2; exit 1; }

# A copy of the example workspace at its own path; symlinks become files, and the
# repositories it names by relative path are given by absolute path instead.
copy() {
  mkdir "$work/$1"
  # Not the bazel-* links of a build there: they lead back into the source tree.
  (cd "$root/bazel/examples" && tar -ch --exclude='./bazel-*' .) | (cd "$work/$1" && tar -x)
}
overrides=(--override_repository=qxconvert="$root" --override_repository=rules_cc="$root/bazel/rules_cc"
  --override_repository=remote_coverage_tools="$root/bazel/remote_coverage_tools")
# bazel_run DIR BASE COMMAND [ARGS...]: a build in its own output base; the log is in $work/log.
bazel_run() {
  local dir=$1 base=$2 command=$3
  shift 3
  (cd "$work/$dir" && bazel --output_base="$work/$base" "$command" "${overrides[@]}" "$@") >"$work/log" 2>&1
}
summary() { grep -E '^INFO: [0-9]+ process' "$work/log" | tail -n 1; }
# How many actions ran here, from Bazel's summary line, e.g. "INFO: 9 processes: 3
# disk cache hit, 5 internal, 1 local.": every kind but cache hits and internal ones.
executed() {
  summary | sed 's/^INFO: [0-9]* processes*: *//; s/\.$//' | tr ',' '\n' |
    awk '!/cache hit|internal/ {n += $1} END {print n + 0}'
}
outputs() { (cd "$work/$1/bazel-bin" && find . -name '*.mdl' -o -name '*.anm' -o -name '*.img' -o -name '*.mus' -o -name '*.snd' | sort | xargs sha256sum); }

# Two copies at two paths, each with a clean output base, build through one cache:
# the second runs nothing and gives the same outputs.
#   shared_cache FIRST SECOND CACHE_FLAG
shared_cache() {
  copy "$1" && copy "$2"
  bazel_run "$1" "base-$1" build //... "$3" || { cat "$work/log"; fail "the first build with $3 failed"; }
  echo "  first:  $(summary)"
  [ -n "$first_summary" ] || first_summary=$(summary)
  bazel_run "$2" "base-$2" build //... "$3" || { cat "$work/log"; fail "the second build with $3 failed"; }
  echo "  second: $(summary)"
  [ "$(executed)" = 0 ] || fail "the second build ran actions: $(summary)"
  [ "$(outputs "$1")" = "$(outputs "$2")" ] || fail "the two builds' outputs differ"
}

echo "== two clean output bases at two paths share a disk cache"
shared_cache one two --disk_cache="$work/disk"

echo "== the same through an HTTP cache (nginx, WebDAV PUT) on 127.0.0.1"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/cache" "$work/nginx/tmp"
# nginx's workers run as an unprivileged user; they must reach and fill the cache.
chmod 755 "$work" "$work/nginx"
chmod 777 "$work/nginx/cache" "$work/nginx/tmp"
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events {}
http {
  access_log off;
  client_body_temp_path $work/nginx/tmp;
  server {
    listen 127.0.0.1:$port;
    location / {
      root $work/nginx/cache;
      dav_methods PUT;
      create_full_put_path on;
      client_max_body_size 0;
    }
  }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
shared_cache three four --remote_cache="http://127.0.0.1:$port"
grep -q 'remote cache hit' "$work/log" || fail "no remote cache hits: $(summary)"

echo "== the crate's levels of detail are conversions of their own, each with its report"
for level in lod1 lod2; do
  [ -s "$work/two/bazel-bin/models/crate.$level.mdl" ] && [ -s "$work/two/bazel-bin/models/crate.$level.mdl.json" ] ||
    fail "no models/crate.$level.mdl with its report"
done

echo "== one changed source or .mtl reruns exactly its conversions"
for changed in models/crate.obj:3 models/crate.mtl:3 anims/walk.bvh:1; do
  printf '\n# changed\n' >>"$work/two/${changed%:*}"
  bazel_run two base-two build //... --disk_cache="$work/disk" || { cat "$work/log"; fail "rebuild failed"; }
  [ "$(executed)" = "${changed#*:}" ] || fail "changing ${changed%:*} ran: $(summary)"
done

echo "== an undeclared .mtl and a source that does not import fail the build"
printf 'this is not a model\n' >"$work/two/models/broken.obj"
cp "$work/two/models/crate.obj" "$work/two/models/lonely.obj"  # it names crate.mtl
cat >>"$work/two/BUILD.bazel" <<'RULES'
qx_asset(name = "undeclared", src = "models/lonely.obj", kind = "mdl")
qx_asset(name = "broken", src = "models/broken.obj", kind = "mdl")
RULES
if bazel_run two base-two build //:undeclared; then fail "an undeclared .mtl did not fail the build"; fi
grep -q 'QXConvert read models/crate.mtl, which is not declared' "$work/log" || { cat "$work/log"; fail "the undeclared file was not named"; }
if bazel_run two base-two build //:broken; then fail "a broken model did not fail the build"; fi
[ ! -e "$work/two/bazel-bin/models/broken.mdl" ] || fail "a failed conversion left an output"

echo "== persistent workers convert the samples, as one-off runs do, byte for byte"
# The first build above converted in workers (the default here). The same copy then
# converts again with a process each: its assets removed, no cache, the tools built.
echo "$first_summary" | grep -Eq '[1-9][0-9]* worker' || fail "no action ran in a worker: $first_summary"
from_workers=$(outputs one)
(cd "$work/one/bazel-bin" && find . -type f \( -name '*.mdl' -o -name '*.anm' -o -name '*.img' -o -name '*.mus' -o -name '*.snd' \) -delete)
bazel_run one base-one build //... --strategy=QXConvert=local || { cat "$work/log"; fail "the build without workers failed"; }
echo "  one-off:  $(summary)"
summary | grep -q worker && fail "--strategy=QXConvert=local still used workers: $(summary)"
summary | grep -Eq '[1-9][0-9]* local' || fail "nothing was converted again: $(summary)"
[ "$(outputs one)" = "$from_workers" ] || fail "the outputs of workers and one-off runs differ"

echo "== 1,000 generated models convert in workers, byte for byte as one-off runs do"
# An asset tree as games have them: many small models (288 triangles each, no two alike).
mkdir "$work/one/tree" "$work/one-off"
python3 - "$work/one/tree" <<'GENERATE'
import random, sys
for i in range(1000):
    rng, side = random.Random(i), 13
    with open(f"{sys.argv[1]}/m{i:04}.obj", "w") as f:
        f.writelines(f"v {x} {y} {rng.random():.6f}\n" for y in range(side) for x in range(side))
        for y in range(side - 1):
            for x in range(side - 1):
                a = y * side + x + 1
                f.write(f"f {a} {a + 1} {a + side}\nf {a + 1} {a + side + 1} {a + side}\n")
GENERATE
cat >"$work/one/tree/BUILD.bazel" <<'RULES'
load("@qxconvert//bazel:defs.bzl", "qx_assets")
qx_assets(name = "tree", srcs = glob(["*.obj"]), kind = "mdl")
RULES
bazel_run one base-one build //tree || { cat "$work/log"; fail "the 1,000-model build failed"; }
echo "  workers: $(summary)"
summary | grep -Eq ' 1000 worker' || fail "the 1,000 models did not all convert in workers: $(summary)"
# The converter the workers ran, built for the machine that runs the actions.
converter=$(ls "$work"/one/bazel-out/*-exec-*/bin/external/qxconvert/QXConvert 2>/dev/null | head -n 1)
[ -x "$converter" ] || fail "the converter Bazel built is not under bazel-out"
for model in "$work"/one/tree/*.obj; do
  name=$(basename "$model" .obj)
  "$converter" mdl "$model" "$work/one-off/$name.mdl" >/dev/null || fail "the one-off run of $name.obj failed"
  cmp -s "$work/one-off/$name.mdl" "$work/one/bazel-bin/tree/$name.mdl" ||
    fail "tree/$name.mdl from a worker differs from its one-off run"
done
echo "  1000 assets byte-identical with one-off runs"

echo "== bazel test verifies every converted sample"
bazel_run one base-one test //:verify --disk_cache="$work/disk" || { cat "$work/log"; fail "bazel test failed"; }
echo "bazel check: all passed"
