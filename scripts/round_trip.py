#!/usr/bin/env python3
"""Every file of Assimp's test models (Debian's assimp-testmodels), converted as a model
and as an animation, read back.

  scripts/round_trip.py convert BUILD_DIR OUT_DIR   convert every file, twice; the assets
                                                    and OUT_DIR/manifest.json list them
  scripts/round_trip.py read BUILD_DIR OUT_DIR      QXInspect --json and --verify SOURCE
                                                    on every asset the manifest lists

A file that does not convert is fine (an image, a material, a format without meshes),
but the converter must say so (exit 1, nothing written); every asset it writes must be
read back by the reader and match its source. The viewer's check
(viewer/round_trip_check.js) reads the same assets through the WebAssembly reader.
Conversions run in parallel, each bounded in time and memory, so that a file Assimp
hangs or grows on cannot stall the run. Exit 77 when the models are missing.
"""
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys

MODELS = os.environ.get("QX_MODELS", "/usr/share/assimp/models")
KINDS = ("mdl", "anm")
# Per conversion: generous for this set (the slowest takes seconds, through Blender),
# tight enough that a pathological file fails instead of stalling the run.
TIMEOUT_SECONDS = 120
MEMORY_MIB = 2048
# Sources whose conversion is not the same bytes every time, so --verify (which
# converts again) cannot match: they are still converted and read back by both
# readers. Paths relative to MODELS.
NOT_REPEATABLE = {
    # Blender's glTF export gives this torus's normals different last bits in about
    # one run of four (three different outputs in twelve runs).
    "BLEND/TorusLightsCams_250_compressed.blend",
}


def sources():
    """Every file under MODELS, as paths relative to it, sorted."""
    found = sorted(os.path.relpath(os.path.join(folder, name), MODELS)
                   for folder, _, files in os.walk(MODELS) for name in files)
    missing = NOT_REPEATABLE - set(found)
    if missing:
        sys.exit(f"not among the models (remove them from NOT_REPEATABLE): {sorted(missing)}")
    return found


# In a sanitized build, LeakSanitizer finds leaks inside some of Assimp's importers
# (AMF, RAW), which would make the tools exit 1 after writing the asset. Leaks with
# a frame in Assimp are its own; the other tests keep checking ours whole.
LSAN_SUPPRESSIONS = "leak:libassimp.so\n"


def run(cmd, seconds, out):
    env = dict(os.environ)
    env["LSAN_OPTIONS"] = ":".join(filter(None, [env.get("LSAN_OPTIONS"),
                                                 "suppressions=" + os.path.join(out, "lsan.supp")]))
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=seconds, env=env)
        return done.returncode, done.stdout, done.stderr.strip()
    except subprocess.TimeoutExpired:
        return None, "", f"still running after {seconds} s"


def workers():
    return max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)


def convert(build, out):
    qx = os.path.join(build, "QXConvert")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    with open(os.path.join(out, "lsan.supp"), "w") as f:
        f.write(LSAN_SUPPRESSIONS)
    jobs = [(relative, kind) for relative in sources() for kind in KINDS]

    def one(job):
        relative, kind = job
        asset = os.path.join(kind, relative + "." + kind)
        path = os.path.join(out, asset)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        code, _, error = run([qx, kind, os.path.join(MODELS, relative), path, f"-timeout={TIMEOUT_SECONDS}",
                          f"-memory={MEMORY_MIB}"], TIMEOUT_SECONDS + 60, out)
        written = os.path.exists(path)
        # Exit 0 exactly when the asset was written; anything else (a crash, the outer
        # timeout) is the converter failing to keep its promise.
        if (code, written) not in ((0, True), (1, False)):
            return job, None, f"exit {code}, asset {'written' if written else 'not written'}: {error}"
        return job, asset if written else None, None

    manifest, broken = [], []
    with concurrent.futures.ThreadPoolExecutor(workers()) as pool:
        for (relative, kind), asset, problem in pool.map(one, jobs):
            if problem:
                broken.append(f"  {relative} as {kind}: {problem}")
            elif asset:
                manifest.append({"source": relative, "type": kind, "asset": asset})
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump({"conversions": len(jobs), "assets": manifest}, f, indent=1)
    print(f"{len(manifest)} assets converted of {len(jobs)} conversions ({len(jobs) // len(KINDS)} files"
          f" as {' and '.join(KINDS)}; every other conversion failed with exit 1)")
    if broken:
        print("the converter broke its exit-code promise on:\n" + "\n".join(broken))
        return 1
    return 0 if manifest else 1


def read(build, out):
    inspect = os.path.join(build, "QXInspect")
    with open(os.path.join(out, "manifest.json")) as f:
        manifest = json.load(f)
    assets = manifest["assets"]

    def one(entry):
        asset, source = os.path.join(out, entry["asset"]), os.path.join(MODELS, entry["source"])
        code, text, error = run([inspect, "--json", asset], 300, out)
        if code != 0:
            return f"QXInspect --json refuses {entry['asset']}: {error}"
        kind = json.loads(text)[0].get("tag")
        if kind != {"mdl": "QMDL", "anm": "QANM"}[entry["type"]]:
            return f"QXInspect --json reads {entry['asset']} as {kind}"
        if entry["source"] in NOT_REPEATABLE:
            return None
        # --verify converts the source again, unbounded: the outer timeout bounds it.
        code, text, error = run([inspect, asset, "--verify", source], 600, out)
        if code != 0:
            return f"QXInspect --verify fails on {entry['asset']}: {(text + error).strip()}"
        return None

    with concurrent.futures.ThreadPoolExecutor(workers()) as pool:
        refused = [problem for problem in pool.map(one, assets) if problem]
    for problem in refused:
        print("  " + problem)
    unverified = sum(entry["source"] in NOT_REPEATABLE for entry in assets)
    print(f"C++ reader: {len(assets) - len(refused)} assets read back of {len(assets)} converted"
          f" ({len(refused)} refused or differing from their source; {unverified} not verified,"
          f" their source converting differently each time)")
    return 1 if refused or not assets else 0


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("convert", "read"):
        sys.exit(__doc__)
    if not os.path.isdir(MODELS):
        print(f"needs {MODELS} (assimp-testmodels)")
        return 77
    step, build, out = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    return convert(build, out) if step == "convert" else read(build, out)


if __name__ == "__main__":
    sys.exit(main())
