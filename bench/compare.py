#!/usr/bin/env python3
"""Whole-process comparisons, measured side by side in one run.

Generates the inputs, runs each command several times in alternation (page cache
warm, dirty pages written out before every run), and prints each figure's median,
min and max with the ratio that the performance targets are stated in. Large
files are removed at the end.

  bench/compare.py BUILD_DIR [--runs N] [--quick] [--only PART]
"""
import argparse
import json
import math
import os
import random
import re
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
GIB = 1 << 30


MEASURE = None  # the measure program built beside the converter


def run(cmd, cwd, expected_exit=0):
    """Wall seconds and peak resident KiB of one run of cmd."""
    os.sync()
    out = subprocess.run([MEASURE] + cmd, cwd=cwd, capture_output=True, text=True, check=True)
    seconds, kib, code = out.stdout.split()
    if int(code) != expected_exit:
        sys.exit(f"failed with exit code {code}: {' '.join(cmd)}\n{out.stderr}")
    return float(seconds), int(kib)


def measure(commands, runs, cwd, before=None):
    """Runs every command `runs` times, alternating; returns {name: [(s, kib)]}.
    A command given as (cmd, code) is expected to exit with that code."""
    results = {name: [] for name in commands}
    for _ in range(runs):
        for name, cmd in commands.items():
            if before:
                before()
            cmd, code = cmd if isinstance(cmd, tuple) else (cmd, 0)
            results[name].append(run(cmd, cwd, code))
    return results


def fmt_seconds(samples):
    t = [s for s, _ in samples]
    return f"{statistics.median(t):8.3f} {min(t):8.3f} {max(t):8.3f}"


def table(title, results, base, target=None):
    print(f"\n{title}")
    print(f"  {'command':<34} {'median s':>8} {'min':>8} {'max':>8} {'peak MiB':>9} {'ratio':>6}")
    base_median = statistics.median(s for s, _ in results[base])
    for name, samples in results.items():
        ratio = statistics.median(s for s, _ in samples) / base_median
        peak = max(k for _, k in samples) / 1024
        print(f"  {name:<34} {fmt_seconds(samples)} {peak:9.1f} {ratio:6.2f}")
    if target:
        print(f"  target: {target}")


def random_file(path, size):
    with open(path, "wb") as f:
        chunk = os.urandom(16 * MIB)
        written = 0
        while written < size:
            n = min(len(chunk), size - written)
            f.write(chunk[:n])
            written += n


def grid_ply(path, side):
    """Binary PLY grid of side x side vertices with normals and texture
    coordinates: 2 (side-1)^2 triangles."""
    vertices = side * side
    faces = 2 * (side - 1) * (side - 1)
    header = (
        "ply\nformat binary_little_endian 1.0\n"
        f"element vertex {vertices}\n"
        "property float x\nproperty float y\nproperty float z\n"
        "property float nx\nproperty float ny\nproperty float nz\n"
        "property float s\nproperty float t\n"
        f"element face {faces}\nproperty list uchar int vertex_indices\nend_header\n"
    )
    vertex = struct.Struct("<8f")
    face = struct.Struct("<B3i")
    with open(path, "wb") as f:
        f.write(header.encode())
        rows = []
        for y in range(side):
            row = bytearray()
            for x in range(side):
                z = math.sin(x * 0.05) * math.cos(y * 0.05)
                row += vertex.pack(x, y, z, 0, 0, 1, x / side, y / side)
            rows.append(row)
        f.write(b"".join(rows))
        out = bytearray()
        for y in range(side - 1):
            for x in range(side - 1):
                a = y * side + x
                out += face.pack(3, a, a + 1, a + side)
                out += face.pack(3, a + 1, a + side + 1, a + side)
        f.write(out)
    return faces


def long_bvh(path, joints, frames):
    """A BVH skeleton of `joints` joints under one root, `frames` frames long."""
    lines = ["HIERARCHY", "ROOT Root", "{", " OFFSET 0 0 0",
             " CHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation Yrotation"]
    for j in range(joints - 1):
        lines += [f" JOINT J{j}", " {", f"  OFFSET {j % 7} 1 0", "  CHANNELS 3 Zrotation Xrotation Yrotation",
                  "  End Site", "  {", "   OFFSET 0 1 0", "  }", " }"]
    lines += ["}", "MOTION", f"Frames: {frames}", "Frame Time: 0.0333333"]
    rng = random.Random(7)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
        for frame in range(frames):
            values = [frame * 0.01, 1.0, 0.0, 0.0, 0.0, 0.0]
            values += [round(rng.uniform(-45, 45), 3) for _ in range(3 * (joints - 1))]
            f.write(" ".join(map(str, values)) + "\n")
    return joints * frames


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller inputs, for trying the script")
    parser.add_argument("--only", choices=["raw", "model", "animation", "report", "startup", "reader",
                                           "hostile", "meshes", "warm", "floor", "bazel"],
                        help="run one comparison instead of all (bazel runs only when named)")
    parser.add_argument("--bazel-files", type=int, default=1000,
                        help="models and textures of the bazel comparison")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    global MEASURE
    MEASURE = os.path.join(build, "measure")
    qx = os.path.join(build, "QXConvert")
    importer = os.path.join(build, "import_only")
    work = tempfile.mkdtemp(prefix="qx-bench-", dir=os.environ.get("QX_BENCH_DIR", "/var/tmp"))
    try:
        def clean_outputs():
            for name in os.listdir(work):
                if name.startswith("out"):
                    os.remove(os.path.join(work, name))

        def wanted(part):
            return args.only is None or args.only == part

        # Each comparison generates its inputs; the work folder goes at the end.
        if wanted("raw"):
            raw_comparison(work, qx, args, clean_outputs)
        if wanted("model"):
            model_comparison(work, qx, importer, args, clean_outputs)
        if wanted("animation"):
            animation_comparison(work, qx, importer, args, clean_outputs)
        if wanted("report"):
            report_comparison(work, qx, args, clean_outputs)
        if wanted("startup"):
            startup_comparison(work, qx, args)
        if wanted("reader"):
            reader_comparison(work, qx, args)
        if wanted("hostile"):
            hostile_reader_comparison(work, qx, args)
        if wanted("meshes"):
            mesh_comparison(work, qx, importer, args, clean_outputs)
        if wanted("warm"):
            warm_comparison(work, qx, importer, args, clean_outputs)
        if wanted("floor"):
            floor_comparison(work, qx, importer, args, clean_outputs)
        # Minutes of Bazel: only when asked for.
        if args.only == "bazel":
            bazel_comparison(work, args)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def raw_comparison(work, qx, args, clean_outputs):
    scale = 16 if args.quick else 1
    big = os.path.join(work, "big.tga")
    size = GIB // scale
    random_file(big, size)
    # dd with conv=fsync does what a conversion must at the least: read every byte,
    # write every byte, and wait until the disk has them. Plain cp does not wait.
    results = measure({
        "QXConvert tex (scrambled)": [qx, "tex", big, "out.img"],
        "dd bs=1M conv=fsync": ["dd", f"if={big}", "of=out.dd", "bs=1M", "conv=fsync", "status=none"],
        "cp": ["cp", big, "out.cp"],
    }, args.runs, work, clean_outputs)
    table(f"Raw asset of {size // MIB} MiB", results, "dd bs=1M conv=fsync", "1.1 x dd conv=fsync")

    growth = {}
    for factor in (1, 4, 16):
        part = os.path.join(work, f"part{factor}.tga")
        with open(big, "rb") as src, open(part, "wb") as dst:
            shutil.copyfileobj(src, dst, MIB)
            dst.truncate(size * factor // 16)
        growth[f"tex {size * factor // 16 // MIB} MiB"] = [qx, "tex", part, "out.img"]
    growth_results = measure(growth, args.runs, work, clean_outputs)
    table("Growth, raw asset (1x, 4x, 16x)", growth_results, next(iter(growth)))
    peaks = {name: max(k for _, k in samples) / 1024 for name, samples in growth_results.items()}
    print("  peak resident MiB: " + ", ".join(f"{name} {peak:.1f}" for name, peak in peaks.items()) +
          f" (target: 32 or less at every size)")
    for name in os.listdir(work):
        os.remove(os.path.join(work, name))


def reader_comparison(work, qx, args):
    """Peak memory of QXInspect over file size, for the shape that decodes to the most
    memory per byte: animations of empty channels (6 bytes each on disk). Two sizes
    give the growth per byte of file apart from the fixed cost of the process."""
    inspect = os.path.join(os.path.dirname(qx), "QXInspect")
    peaks = {}
    for mib in (4, 20) if not args.quick else (1, 4):
        channels = (mib << 20) // 6
        path = os.path.join(work, f"channels{mib}.anm")
        animations = -(-channels // 65535)
        with open(path, "wb") as f:
            f.write(b"QANM\x01\x00\x00" + struct.pack("<H", animations))
            left = channels
            for _ in range(animations):
                count = min(65535, left)
                left -= count
                f.write(struct.pack("<H", count) + b"\0" * (6 * count))
        size = os.path.getsize(path)
        results = measure({
            "summary": [inspect, path],
            "--json --full": [inspect, "--json", "--full", path],
        }, max(1, args.runs // 2), work, None)
        peaks[size] = {name: max(k for _, k in samples) * 1024 for name, samples in results.items()}
    (small, low), (large, high) = sorted(peaks.items())
    print("\nQXInspect reading empty animation channels: peak resident memory")
    for name in high:
        slope = (high[name] - low[name]) / (large - small)
        fixed = high[name] - slope * large
        print(f"  {name:<14} {small / MIB:5.1f} MiB file: {low[name] / MIB:6.1f} MiB   "
              f"{large / MIB:5.1f} MiB file: {high[name] / MIB:6.1f} MiB   "
              f"= {slope:.2f} x file + {fixed / MIB:.1f} MiB")


def layered_mdl(path, mib):
    """The model shape that makes the face-size search meet the most states per byte
    (see LayeredModelFile in micro_bench.cpp): a padding mesh, 2000 branch meshes whose
    three readings end 0, 16 and 32 bytes apart in zeros, then empty meshes and a stray
    byte, so that every reading fails only at the end."""
    meshes, branches = 65535, 2000
    fixed = 2 + 16 + branches * 76 + (meshes - 1 - branches) * 16 + 1
    pad = max(0, ((mib << 20) - fixed) // 12)
    with open(path, "wb") as f:
        f.write(b"QMDL\x01\x00\x00" + struct.pack("<HHII", meshes, 0, 0, pad))
        f.write(bytes(12 * pad) + bytes(6))
        f.write((struct.pack("<HII", 0, 0, 1) + bytes(12) + struct.pack("<I", 4) + bytes(50)) * branches)
        f.write(bytes(16 * (meshes - 1 - branches)) + b"x")


def hostile_reader_comparison(work, qx, args):
    """QXInspect on the layered hostile model against a real converted model: time per
    MB and peak memory against the file's size."""
    inspect = os.path.join(os.path.dirname(qx), "QXInspect")
    grid = os.path.join(work, "grid.ply")
    grid_ply(grid, 709 // (4 if args.quick else 1))
    real = os.path.join(work, "real.mdl")
    subprocess.run([qx, "mdl", grid, real, "-ue"], check=True, capture_output=True)
    commands = {"real model": [inspect, real]}
    sizes = {"real model": os.path.getsize(real)}
    for mib in (8, 32) if not args.quick else (1, 8):
        path = os.path.join(work, f"layered{mib}.mdl")
        layered_mdl(path, mib)
        commands[f"layered {mib} MiB"] = ([inspect, path], 1)
        sizes[f"layered {mib} MiB"] = os.path.getsize(path)
    results = measure(commands, args.runs, work, None)
    print("\nQXInspect reading a hostile model against a real one")
    base = statistics.median(s for s, _ in results["real model"]) / sizes["real model"]
    for name, samples in results.items():
        per_mb = statistics.median(s for s, _ in samples) / sizes[name] * MIB * 1e3
        peak = max(k for _, k in samples) * 1024
        print(f"  {name:<16} {sizes[name] / MIB:6.1f} MiB  {per_mb:7.2f} ms/MB  "
              f"ratio {per_mb / (base * MIB * 1e3):5.2f}  peak {peak / MIB:6.1f} MiB "
              f"(allowed {(3 * sizes[name] + 64 * MIB) / MIB:.0f})")
    print("  target: ratio 4 or less; peak 3 x file + 64 MiB or less")


def model_comparison(work, qx, importer, args, clean_outputs):
    side = 709 // (4 if args.quick else 1)
    model = os.path.join(work, "grid.ply")
    triangles = grid_ply(model, side)
    results = measure({
        "QXConvert mdl": [qx, "mdl", model, "out.mdl"],
        "import only (0x80800B)": [importer, "80800B", model],
    }, args.runs, work, clean_outputs)
    table(f"Model: {triangles} triangles with normals and texture coordinates", results,
          "import only (0x80800B)", "1.05 x import")

    growth = {}
    for factor in (1, 4, 16):
        path = os.path.join(work, f"grid{factor}.ply")
        t = grid_ply(path, int((side - 1) * math.sqrt(factor / 16)) + 1)
        growth[f"mdl {t} triangles"] = [qx, "mdl", path, "out.mdl"]
    table("Growth, model (1x, 4x, 16x)", measure(growth, args.runs, work, clean_outputs),
          next(iter(growth)))



def animation_comparison(work, qx, importer, args, clean_outputs):
    scale = 16 if args.quick else 1
    anim = os.path.join(work, "long.bvh")
    keys = long_bvh(anim, 300, 3000 // scale)
    results = measure({
        "QXConvert anm": [qx, "anm", anim, "out.anm"],
        "import only (0x800B)": [importer, "800B", anim],
    }, args.runs, work, clean_outputs)
    table(f"Animation: 300 channels x {3000 // scale} frames ({keys} rotation keys)", results,
          "import only (0x800B)", "1.05 x import")

    # A motion capture take as users have them (Debian's assimp-testmodels): short
    # enough that the durable write after the import shows in the ratio.
    take = "/usr/share/assimp/models/BVH/01_03.bvh"
    if os.path.exists(take):
        results = measure({
            "QXConvert anm": [qx, "anm", take, "out.anm"],
            "import only (0x800B)": [importer, "800B", take],
        }, args.runs, work, clean_outputs)
        table(f"Animation: {take}", results, "import only (0x800B)", "1.05 x import")



def report_comparison(work, qx, args, clean_outputs):
    """What -report adds to a conversion: a motion-capture take and a model of a
    million triangles, each converted with and without it."""
    cases = []
    take = "/usr/share/assimp/models/BVH/01_03.bvh"
    if os.path.exists(take):
        cases.append(("anm", take, "BVH/01_03.bvh"))
    model = os.path.join(work, "million.ply")
    triangles = grid_ply(model, 709 // (4 if args.quick else 1))
    cases.append(("mdl", model, f"{triangles} triangles"))
    for kind, source, label in cases:
        results = measure({
            f"QXConvert {kind} -report": [qx, kind, source, "out.asset", "-report=out.json"],
            f"QXConvert {kind}": [qx, kind, source, "out.asset"],
        }, args.runs, work, clean_outputs)
        table(f"Report: {label}", results, f"QXConvert {kind}", "1.05 x without the report")


def grid_obj(path, side):
    """The grid of grid_ply as OBJ, which gltfpack reads too."""
    with open(path, "w") as f:
        for y in range(side):
            for x in range(side):
                f.write(f"v {x} {y} {math.sin(x * 0.05) * math.cos(y * 0.05):.6f}\nvt {x / side:.6f} {y / side:.6f}\n")
        f.write("vn 0 0 1\n")
        for y in range(side - 1):
            for x in range(side - 1):
                a = y * side + x + 1
                f.write(f"f {a}/{a}/1 {a + 1}/{a + 1}/1 {a + side}/{a + side}/1\n"
                        f"f {a + 1}/{a + 1}/1 {a + side + 1}/{a + side + 1}/1 {a + side}/{a + side}/1\n")
    return 2 * (side - 1) * (side - 1)


def cache_figures(qx, source, work):
    """The figures -optimize measures on a source, before and after, over all its
    meshes: ACMR and overdraw weighted by triangles, ATVR by vertices, and the cache
    misses (ACMR x triangles)."""
    report = os.path.join(work, "figures.json")
    subprocess.run([qx, "mdl", source, os.path.join(work, "out.mdl"), "-ue", "-optimize", f"-report={report}"],
                   check=True, capture_output=True)
    with open(report) as f:
        meshes = [m["optimization"] for m in json.load(f)["meshes"] if "optimization" in m]
    figures = {}
    for when in ("before", "after"):
        t = sum(m["triangles"][when] for m in meshes)
        v = sum(m["vertices"][when] for m in meshes)
        misses = sum(m["acmr"][when] * m["triangles"][when] for m in meshes)
        figures[when] = {
            "triangles": t, "vertices": v, "misses": misses, "acmr": misses / t,
            "atvr": sum(m["atvr"][when] * m["vertices"][when] for m in meshes) / v,
            "overdraw": sum(m["overdraw"][when] * m["triangles"][when] for m in meshes) / t,
        }
    return figures


def mesh_comparison(work, qx, importer, args, clean_outputs):
    """-optimize against gltfpack -noq on the same meshes, each measured the same way:
    today is the plain conversion of the source, ours the -optimize one, gltfpack's
    the plain conversion of its output (all read back by QXConvert's own measure).
    Then -optimize's time against the import alone on the grid."""
    if shutil.which("gltfpack") is None:
        print("\nMeshes: needs gltfpack (Debian's gltfpack package)")
        return
    models = "/usr/share/assimp/models"
    grid = os.path.join(work, "grid.obj")
    triangles = grid_obj(grid, 709 // (4 if args.quick else 1))
    sources = [(f"grid, {triangles} triangles", grid)]
    for relative in ("glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb", "OBJ/WusonOBJ.obj",
                     "OBJ/spider.obj", "OBJ/regr01.obj"):
        path = os.path.join(models, relative)
        if not os.path.exists(path):
            continue
        if path.endswith(".obj"):
            # Without its material library: gltfpack keeps images it cannot find as
            # entries Assimp refuses, and the meshes are the same without it.
            copy = os.path.join(work, os.path.basename(path))
            with open(path, errors="replace") as src, open(copy, "w") as dst:
                dst.writelines(line for line in src if not line.startswith("mtllib"))
            path = copy
        sources.append((relative.split("/")[-1], path))
    print("\nMeshes: cache misses per triangle (ACMR) and per vertex (ATVR), 16-entry FIFO; overdraw")
    print(f"  {'model':<28} {'':<9} {'triangles':>9} {'misses':>9} {'ACMR':>6} {'ATVR':>6} {'overdraw':>8}")
    for label, source in sources:
        packed = os.path.join(work, "packed.glb")
        subprocess.run(["gltfpack", "-i", source, "-o", packed, "-noq"], check=True, capture_output=True)
        ours = cache_figures(qx, source, work)
        peer = cache_figures(qx, packed, work)
        for name, f in (("today", ours["before"]), ("gltfpack", peer["before"]), ("-optimize", ours["after"])):
            print(f"  {label:<28} {name:<9} {f['triangles']:9d} {f['misses']:9.0f} {f['acmr']:6.3f} "
                  f"{f['atvr']:6.3f} {f['overdraw']:8.3f}")
            label = ""
        if "2CylinderEngine" in source:
            fewer = 1 - ours["after"]["misses"] / ours["before"]["misses"]
            print(f"  {'':<28} {fewer:.1%} fewer cache misses than today (target: at least 20%)")
    model = os.path.join(work, "grid.ply")
    triangles = grid_ply(model, 709 // (4 if args.quick else 1))
    results = measure({
        "QXConvert mdl -optimize": [qx, "mdl", model, "out.mdl", "-optimize"],
        "QXConvert mdl": [qx, "mdl", model, "out.mdl"],
        "import only (0x80800B)": [importer, "80800B", model],
    }, args.runs, work, clean_outputs)
    table(f"-optimize: {triangles} triangles", results, "import only (0x80800B)", "1.40 x import")


def startup_comparison(work, qx, args):
    tiny = os.path.join(work, "tiny.png")
    with open(tiny, "wb") as f:
        f.write(b"\x89PNG tiny")
    results = measure({
        "QXConvert tex (tiny)": [qx, "tex", tiny, "out.img"],
        "cp (tiny)": ["cp", tiny, "out.cp"],
        "QXConvert, usage only": ([qx], 1),
    }, args.runs * 10, work, None)
    table("Start-up: a 9-byte texture", results, "cp (tiny)", "1.5 x cp")


def tiny_obj(path, side, seed):
    """A small grid model, its heights from seed, so that no two files are alike."""
    rng = random.Random(seed)
    with open(path, "w") as f:
        for y in range(side):
            for x in range(side):
                f.write(f"v {x} {y} {rng.random():.6f}\n")
        for y in range(side - 1):
            for x in range(side - 1):
                a = y * side + x + 1
                f.write(f"f {a} {a + 1} {a + side}\nf {a + 1} {a + side + 1} {a + side}\n")
    return 2 * (side - 1) * (side - 1)


def cpu_seconds(cmd, cwd, **kwargs):
    """Processor seconds (user and system) of cmd and every process it waited for, to the
    microsecond (os.times counts in clock ticks of 10 ms: 0.05 ms a job over 200 jobs,
    as much as the differences measured)."""
    def used():
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        return usage.ru_utime + usage.ru_stime
    before = used()
    subprocess.run(cmd, cwd=cwd, check=False, stdout=subprocess.DEVNULL, **kwargs)
    return used() - before


def batch_file(path, jobs):
    with open(path, "w") as f:
        for job in jobs:
            f.write("\t".join(job) + "\n")
    return path


def warm_comparison(work, qx, importer, args, clean_outputs):
    """Many conversions from one warm process (--batch, the worker's runner) against a
    process per conversion: processor time per job for tiny models and textures, beside
    the least such a job can cost with this Assimp (a warm process forking a child that
    imports and writes as many bytes durably; and the import alone, repeated in one
    process, which no converter on this Assimp can beat); and the wall time of one large
    model and one long animation."""
    jobs = 50 if args.quick else 200
    tiny_model = os.path.join(work, "tiny.obj")
    tiny_obj(tiny_model, 4, 1)  # 18 triangles
    small_model = os.path.join(work, "small.obj")
    small_triangles = tiny_obj(small_model, 13, 2)
    tiny_ply = os.path.join(work, "tiny.ply")
    with open(tiny_ply, "w") as f:
        f.write("ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
                "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n")
    tiny_tex = os.path.join(work, "tiny.png")
    with open(tiny_tex, "wb") as f:
        f.write(b"\x89PNG tiny")
    print(f"\nProcessor time per conversion, {jobs} conversions: a process each against one --batch")
    print(f"  {'source':<34} {'one-off ms':>10} {'warm ms':>8} {'ratio':>6} {'floor ms':>9} {'import ms':>9}")
    # The worker's own malloc setting (huge pages), so that the floor is measured alike.
    tuned = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.hugetlb=1")

    def per_repeat(command):
        # The repeats' share alone: the same command with none taken away. The least of
        # three, as befits a floor: a repeat loop whose heap shrinks and grows again
        # over huge pages now and then costs three times as much.
        many = min(cpu_seconds(command[:2] + [str(jobs)] + command[3:], work, env=tuned) for _ in range(3))
        once = min(cpu_seconds(command[:2] + ["0"] + command[3:], work, env=tuned) for _ in range(3))
        return max(0.0, many - once) / jobs * 1000

    for name, kind, source in [("tiny OBJ (18 triangles)", "mdl", tiny_model),
                               (f"small OBJ ({small_triangles} triangles)", "mdl", small_model),
                               ("tiny PLY (1 triangle)", "mdl", tiny_ply),
                               ("9-byte texture", "tex", tiny_tex)]:
        outputs = [f"out{i}" for i in range(jobs)]
        cold = sum(cpu_seconds([qx, kind, source, out], work) for out in outputs)
        size = os.path.getsize(os.path.join(work, outputs[0]))
        clean_outputs()
        listing = batch_file(os.path.join(work, "jobs.txt"), [[kind, source, out] for out in outputs])
        warm = []
        for _ in range(3):  # the median of three: one batch swings by 0.2 ms a job here
            warm.append(cpu_seconds([qx, "--batch", listing], work))
            clean_outputs()
        warm = statistics.median(warm)
        floor = imported = "-"
        if kind == "mdl":
            floor = f"{per_repeat([importer, '--repeat', 'N', '--fork', '80800B', source, 'out.floor', str(size)]):.2f}"
            imported = f"{per_repeat([importer, '--repeat', 'N', '80800B', source]):.2f}"
            clean_outputs()
        print(f"  {name:<34} {cold / jobs * 1000:10.2f} {warm / jobs * 1000:8.2f} {cold / warm:6.1f} "
              f"{floor:>9} {imported:>9}")
    print("  floor: a warm process forking a child that imports and writes the asset's bytes durably")
    print("  import: Assimp's import alone, repeated in one warm process (no fork, nothing written)")
    print("  target: a tiny model at most 1 ms of processor time per job in a warm worker")

    # One large conversion through the worker's runner: the fork must cost nothing that
    # shows. The batch includes loading Assimp before the fork, as a one-off run does.
    side = 709 // (4 if args.quick else 1)
    model = os.path.join(work, "grid.ply")
    triangles = grid_ply(model, side)
    anim = os.path.join(work, "long.bvh")
    long_bvh(anim, 300, 3000 // (16 if args.quick else 1))
    for title, kind, source in [(f"Model: {triangles} triangles", "mdl", model),
                                ("Animation: 300 channels", "anm", anim)]:
        listing = batch_file(os.path.join(work, "one.txt"), [[kind, source, "out.x"]])
        results = measure({
            f"QXConvert {kind}": [qx, kind, source, "out.x"],
            f"QXConvert --batch (1 job)": [qx, "--batch", listing],
        }, args.runs, work, clean_outputs)
        table(f"{title}, one-off against the warm runner", results, f"QXConvert {kind}", "1.0 x one-off")


def floor_comparison(work, qx, importer, args, clean_outputs):
    """The conversion against the least any durable converter does: the import, then
    as many bytes as the asset holds written to a temporary file, forced to the disk,
    renamed over the output, and the folder forced to the disk."""
    side = 709 // (4 if args.quick else 1)
    model = os.path.join(work, "grid.ply")
    triangles = grid_ply(model, side)
    cases = [(f"Model: {triangles} triangles", "mdl", "80800B", model)]
    take = "/usr/share/assimp/models/BVH/01_03.bvh"
    if os.path.exists(take):
        cases.append(("Animation: BVH/01_03.bvh", "anm", "800B", take))
    for title, kind, flags, source in cases:
        subprocess.run([qx, kind, source, "out.size"], cwd=work, check=True, stdout=subprocess.DEVNULL)
        size = os.path.getsize(os.path.join(work, "out.size"))
        results = measure({
            f"QXConvert {kind}": [qx, kind, source, "out.x"],
            "floor: import + durable write": [importer, flags, source, "out.floor", str(size)],
            f"import only (0x{flags})": [importer, flags, source],
        }, args.runs, work, clean_outputs)
        table(f"{title} ({size} bytes out), against the durable floor", results,
              "floor: import + durable write", "1.05 x floor (median of alternating runs)")


def bazel_comparison(work, args):
    """Bazel, cold (a server just started, no cache, every source changed), converting
    many small models and textures with persistent workers and with a process per
    action. The converter is built before, so that only the conversions are timed; the
    model build (first) includes starting the server and analysing the targets."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    space = os.path.join(work, "space")
    os.makedirs(os.path.join(space, "models"))
    os.makedirs(os.path.join(space, "textures"))
    shutil.copy(os.path.join(root, "bazel/examples/.bazelrc"), space)
    with open(os.path.join(space, "WORKSPACE"), "w") as f:
        f.write('workspace(name = "qx_bench")\n')
        for name, path in [("qxconvert", root), ("rules_cc", f"{root}/bazel/rules_cc"),
                           ("remote_coverage_tools", f"{root}/bazel/remote_coverage_tools")]:
            f.write(f'local_repository(name = "{name}", path = "{path}")\n')
        f.write('load("@qxconvert//bazel:deps.bzl", "qx_dependencies")\nqx_dependencies()\n')
    with open(os.path.join(space, "BUILD.bazel"), "w") as f:
        f.write('load("@qxconvert//bazel:defs.bzl", "qx_assets")\n'
                'qx_assets(name = "models", srcs = glob(["models/*.obj"]), kind = "mdl")\n'
                'qx_assets(name = "textures", srcs = glob(["textures/*.tga"]), kind = "tex")\n')
    count = args.bazel_files
    triangles = 0
    for i in range(count):
        triangles = tiny_obj(os.path.join(space, "models", f"m{i:04}.obj"), 13, i)
        with open(os.path.join(space, "textures", f"t{i:04}.tga"), "wb") as f:
            f.write(os.urandom(1024))
    overrides = []
    strategies = {"workers": ["--strategy=QXConvert=worker"], "a process each": ["--strategy=QXConvert=local"]}
    results = {}
    summaries = {}
    phases = {}

    def touch_sources(mark):
        # New bytes in every source, so that every conversion runs again.
        for folder in ("models", "textures"):
            for name in os.listdir(os.path.join(space, folder)):
                with open(os.path.join(space, folder, name), "ab") as f:
                    f.write(f"\n# {mark}\n".encode() if folder == "models" else bytes([mark % 256]))

    mark = 0
    for run in range(max(1, min(args.runs, 3))):
        for name, flags in strategies.items():
            base = os.path.join(work, f"base-{run}-{name.replace(' ', '-')}")
            bazel = ["bazel", f"--output_base={base}"]
            # The tools built and everything converted once; then the server (and its
            # workers) stopped and every source changed: the timed build starts cold.
            subprocess.run(bazel + ["build"] + overrides + flags + ["//..."], cwd=space, check=True,
                           capture_output=True)
            subprocess.run(bazel + ["shutdown"], cwd=space, capture_output=True)
            mark += 1
            touch_sources(mark)
            for target in ("//:models", "//:textures"):
                profile = os.path.join(work, "bazel.profile")
                started = time.monotonic()
                out = subprocess.run(bazel + ["build"] + overrides + flags + [f"--profile={profile}", target],
                                     cwd=space, capture_output=True, text=True)
                seconds = time.monotonic() - started
                if out.returncode != 0:
                    sys.exit(out.stderr[-3000:])
                results.setdefault(f"{target} {name}", []).append((seconds, 0))
                summaries[f"{target} {name}"] = [l for l in out.stderr.splitlines() if " process" in l][-1:]
                phases.setdefault(f"{target} {name}", []).append(bazel_phases(bazel, profile, space))
            subprocess.run(bazel + ["shutdown"], cwd=space, capture_output=True)
            shutil.rmtree(base, ignore_errors=True)
    for target in ("//:models", "//:textures"):
        what = f"{count} models of {triangles} triangles" if target == "//:models" else f"{count} 1 KiB textures"
        table(f"Bazel, cold: {what}", {k: v for k, v in results.items() if k.startswith(target)},
              f"{target} a process each", "workers at least 5 x faster for the models" if "models" in target else None)
        for key, lines in summaries.items():
            if key.startswith(target):
                before, execution = (statistics.median(p[i] for p in phases[key]) for i in (0, 1))
                print(f"  {key}: {' '.join(lines)} Bazel starting and analysing {before:.2f} s, "
                      f"executing {execution:.2f} s")
        if "models" in target:
            # What 5 x asks of the workers' build, beside what Bazel spends before any
            # conversion starts in that very build.
            local = statistics.median(t for t, _ in results[f"{target} a process each"])
            before = statistics.median(p[0] for p in phases[f"{target} workers"])
            print(f"  5 x faster means the whole build in {local / 5:.2f} s; Bazel alone spent {before:.2f} s "
                  "starting and analysing before the first conversion")


def bazel_phases(bazel, profile, space):
    """Seconds Bazel spent before executing anything (launch, loading, analysis) and
    executing, from the build's profile."""
    out = subprocess.run(bazel + ["analyze-profile", profile], cwd=space, capture_output=True, text=True)
    seconds = {}
    for line in out.stdout.splitlines():
        match = re.match(r"Total (.+) phase time\s+([0-9.]+) (m?s)", line.strip())
        if match:
            seconds[match.group(1)] = float(match.group(2)) / (1000 if match.group(3) == "ms" else 1)
    execution = seconds.get("execution", 0.0)
    before = sum(v for k, v in seconds.items() if k not in ("execution", "finish"))
    return before, execution


if __name__ == "__main__":
    main()
