#!/usr/bin/env python3
"""Mutation run: applies a fixed, seeded set of small faults to the product code, one at
a time, rebuilds incrementally, runs the fast tests and reports per folder how many
faults the tests caught, listing the ones that survived.

  scripts/mutate.py BUILD_DIR [--per-folder N] [--seed S] [--folders a,b,...]

Faults: an integer constant moved by one, a comparison flipped (< and <=, > and >=,
== and !=), a statement dropped, the first two arguments of a call swapped. A fault
that does not compile is left out of the score. Every file is restored afterwards,
also when the run is interrupted.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["format", "asset", "files", "reader", "convert"]
# The signal-at-every-call test alone takes longer than the rest together; the faults
# it would catch are in the save path, which other tests cover too. The Blender runs
# take over a minute of every fault's run; a fault they alone would catch (in
# convert/blend_source.cpp) counts as a survivor.
TEST_FILTER = ("-Interrupts.AtAnyMomentTheOldOrTheNewContentSurvivesWhole"
               ":BlenderAddon.*:BlendSources.*")
TARGETS = ["qx_tests", "QXConvert", "QXInspect", "qxconvert_scene", "qx_misbehaving_importer"]

COMPARISONS = [(" <= ", " < "), (" >= ", " > "), (" < ", " <= "), (" > ", " >= "),
               (" == ", " != "), (" != ", " == ")]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
STATEMENT = re.compile(r"^\s+(?!return\b|break\b|continue\b|case\b|default\b)"
                       r"[\w:.\->\[\]*]+\s*(?:\(.*\)|[-+*/|&]?=\s*[^=].*|\+\+|--)\s*;\s*$")
CALL_PAIR = re.compile(r"(\w+)\(([^(),]+), ([^(),]+)([,)])")


def code_part(line):
    """The line without a trailing comment and with string literals blanked, so that
    no fault lands inside text."""
    line = line.split("//", 1)[0]
    return re.sub(r'"(?:\\.|[^"\\])*"', lambda m: '"' + " " * (len(m.group(0)) - 2) + '"', line)


def sites(path):
    """Every (line number, fault description, new line) this file offers."""
    found = []
    with open(path) as f:
        lines = f.read().split("\n")
    for n, line in enumerate(lines):
        stripped = line.strip()
        if not stripped or stripped.startswith(("//", "#", "*", "/*")):
            continue
        code = code_part(line)
        for m in NUMBER.finditer(code):
            value = int(m.group(1))
            for new in {value + 1, max(value - 1, 0)} - {value}:
                found.append((n, f"{value} -> {new}", line[:m.start()] + str(new) + line[m.end():]))
        for old, new in COMPARISONS:
            at = code.find(old)
            if at >= 0 and not (old.strip() in "<>" and "template" in code):
                found.append((n, f"'{old.strip()}' -> '{new.strip()}'", line[:at] + new + line[at + len(old):]))
                break
        if STATEMENT.match(code) and "{" not in code and "}" not in code:
            found.append((n, "statement dropped", re.match(r"^\s*", line).group(0) + ";"))
        m = CALL_PAIR.search(code)
        if m and m.group(2).strip() != m.group(3).strip():
            swapped = f"{m.group(1)}({m.group(3).strip()}, {m.group(2).strip()}{m.group(4)}"
            found.append((n, "arguments swapped", line[:m.start()] + swapped + line[m.end():]))
    return lines, found


def product_files(folder):
    for name in sorted(os.listdir(os.path.join(ROOT, folder))):
        if name.endswith((".cpp", ".h")) and not name.endswith("_test.cpp"):
            yield os.path.join(folder, name)


def run(cmd, timeout, show=False):
    try:
        r = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, errors="replace",
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout"
    if show and r.returncode != 0:
        print("\n".join(line for line in r.stdout.splitlines() if "FAILED" in line or "rror" in line))
    return r.returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--per-folder", type=int, default=16)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--folders", default=",".join(FOLDERS))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    tests = os.path.join(build, "qx_tests")
    rng = random.Random(args.seed)

    chosen = []
    for folder in args.folders.split(","):
        pool = []
        for path in product_files(folder):
            lines, found = sites(os.path.join(ROOT, path))
            pool += [(folder, path, n, what, new) for n, what, new in found]
        rng.shuffle(pool)
        chosen += pool[:args.per_folder]

    if run(["cmake", "--build", build, "--target"] + TARGETS, 1800, show=True) != 0:
        sys.exit("the unmutated build fails")
    if run([tests, f"--gtest_filter={TEST_FILTER}"], 600, show=True) != 0:
        sys.exit("the unmutated tests fail")

    score = {}
    survivors = []
    started = time.time()
    for i, (folder, path, n, what, new) in enumerate(chosen, 1):
        full = os.path.join(ROOT, path)
        with open(full) as f:
            original = f.read()
        lines = original.split("\n")
        lines[n] = new
        try:
            with open(full, "w") as f:
                f.write("\n".join(lines))
            if run(["cmake", "--build", build, "--target"] + TARGETS, 900) != 0:
                outcome = "does not compile"
            else:
                code = run([tests, f"--gtest_filter={TEST_FILTER}"], 300)
                outcome = "survived" if code == 0 else "caught"
        finally:
            with open(full, "w") as f:
                f.write(original)
        caught, compiled = score.get(folder, (0, 0))
        if outcome != "does not compile":
            score[folder] = (caught + (outcome == "caught"), compiled + 1)
        if outcome == "survived":
            survivors.append(f"{path}:{n + 1}: {what}: {new.strip()}")
        print(f"[{i}/{len(chosen)} {time.time() - started:5.0f} s] {path}:{n + 1} {what}: {outcome}",
              flush=True)
    run(["cmake", "--build", build, "--target"] + TARGETS, 1800)  # back to the real code

    print("\nFaults caught by the tests, per folder:")
    total_caught = total = 0
    for folder in args.folders.split(","):
        caught, compiled = score.get(folder, (0, 0))
        total_caught, total = total_caught + caught, total + compiled
        share = f"{100 * caught / compiled:.0f}%" if compiled else "-"
        print(f"  {folder + '/':<10} {caught:3d} of {compiled:3d}  {share}")
    print(f"  {'all':<10} {total_caught:3d} of {total:3d}  {100 * total_caught / max(total, 1):.0f}%")
    if survivors:
        print("\nSurvivors:")
        for line in survivors:
            print("  " + line)


if __name__ == "__main__":
    main()
