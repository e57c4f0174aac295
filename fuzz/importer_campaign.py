#!/usr/bin/env python3
"""Crafted-input campaign against QXConvert's importer path: mutates small scene
files (Assimp's test models) and converts each with time and memory bounds. A run
must end by itself with exit 0 or 1, say what happened on one line, finish within
its bounds, and leave no temporary file; anything else is kept as a finding.

  fuzz/importer_campaign.py QXCONVERT SEEDS_DIR SECONDS [FINDINGS_DIR]
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

SCENES = {".obj", ".ply", ".stl", ".off", ".x", ".smd", ".ase", ".lws", ".lwo", ".mdl", ".md2",
          ".md3", ".ms3d", ".3ds", ".ac", ".nff", ".dae", ".gltf", ".glb", ".fbx", ".bvh", ".b3d",
          ".cob", ".csm", ".hmp", ".irrmesh", ".mdc", ".q3o", ".ter", ".raw", ".xgl", ".amf", ".m3d",
          ".3mf", ".ogex", ".iqm"}
INTERESTING = [0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000]


def mutate(data, rng):
    data = bytearray(data)
    for _ in range(rng.randint(1, 8)):
        op = rng.randrange(6)
        at = rng.randrange(len(data) + 1)
        if op == 0 and data:  # flip bits
            data[min(at, len(data) - 1)] ^= 1 << rng.randrange(8)
        elif op == 1:  # an interesting integer, little-endian
            v = rng.choice(INTERESTING)
            data[at:at + 4] = v.to_bytes(4, "little")
        elif op == 2:  # a number in text
            data[at:at] = str(rng.choice([0, -1, 1e38, 65536, 2 ** 31, 999999999])).encode()
        elif op == 3:  # cut
            del data[at:at + rng.randint(1, 64)]
        elif op == 4 and data:  # repeat a chunk
            n = rng.randint(1, 256)
            data[at:at] = data[at:at + n] * rng.randint(2, 50)
        else:  # truncate
            del data[at:]
    return bytes(data)


def main():
    qx, seeds_dir, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    findings = sys.argv[4] if len(sys.argv) > 4 else "importer-findings"
    seeds = []
    for folder, _, names in os.walk(seeds_dir):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.splitext(name)[1].lower() in SCENES and os.path.getsize(path) < 65536:
                seeds.append(path)
    rng = random.Random(int(os.environ.get("SEED", "1")))
    work = tempfile.mkdtemp(prefix="qx-campaign-")
    end = time.time() + seconds
    runs = found = 0
    try:
        while time.time() < end:
            seed = rng.choice(seeds)
            ext = os.path.splitext(seed)[1]
            src = os.path.join(work, "in" + ext)
            with open(seed, "rb") as f:
                data = mutate(f.read(), rng)
            with open(src, "wb") as f:
                f.write(data)
            kind = "anm" if ext.lower() == ".bvh" or rng.random() < 0.2 else "mdl"
            out = os.path.join(work, "out." + kind)
            started = time.time()
            try:
                r = subprocess.run([qx, kind, src, out, "-timeout=5", "-memory=1024"],
                                   capture_output=True, text=True, errors="replace", timeout=30)
                problem = None
                if r.returncode not in (0, 1):
                    problem = f"exit {r.returncode}"
                elif len(r.stdout.strip().splitlines()) < 2:
                    problem = "no outcome line"
            except subprocess.TimeoutExpired:
                problem = "did not end within 30 s"
            elapsed = time.time() - started
            if problem is None and elapsed > 12:
                problem = f"took {elapsed:.1f} s"
            leftovers = [n for n in os.listdir(work) if n.startswith(".")]
            if problem is None and leftovers:
                problem = f"left {leftovers}"
            runs += 1
            if problem:
                found += 1
                os.makedirs(findings, exist_ok=True)
                keep = os.path.join(findings, f"{found}{ext}")
                shutil.copy(src, keep)
                print(f"{keep}: {problem} (from {seed})", flush=True)
            for name in os.listdir(work):
                os.remove(os.path.join(work, name))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{runs} runs, {found} findings, {len(seeds)} seeds")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
