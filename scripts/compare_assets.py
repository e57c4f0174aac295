#!/usr/bin/env python3
"""Compares two asset files field by field, as QXInspect --json --full decodes them.

Layout and counts must match exactly; numbers may differ by at most
1e-6 * max(1, |value|). Prints how many values differ and the largest difference,
and exits 1 when anything is outside the tolerance.

  scripts/compare_assets.py QXINSPECT A B
"""
import json
import subprocess
import sys


def decode(inspect, path):
    out = subprocess.run([inspect, "--json", "--full", path], capture_output=True, check=True)
    document = json.loads(out.stdout)[0]
    document.pop("file")
    return document


def walk(a, b, where, stats):
    if isinstance(a, dict) and isinstance(b, dict):
        if a.keys() != b.keys():
            raise ValueError(f"{where}: fields {sorted(a)} against {sorted(b)}")
        for key in a:
            walk(a[key], b[key], f"{where}.{key}", stats)
    elif isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            raise ValueError(f"{where}: {len(a)} entries against {len(b)}")
        for i, (x, y) in enumerate(zip(a, b)):
            walk(x, y, f"{where}[{i}]", stats)
    elif isinstance(a, float) and isinstance(b, float):
        stats["values"] += 1
        if a != b:
            stats["differing"] += 1
            stats["largest"] = max(stats["largest"], abs(a - b))
            if abs(a - b) > 1e-6 * max(1.0, abs(a)):
                raise ValueError(f"{where}: {a!r} against {b!r}")
    elif a != b:
        raise ValueError(f"{where}: {a!r} against {b!r}")


def main():
    inspect, first, second = sys.argv[1:4]
    stats = {"values": 0, "differing": 0, "largest": 0.0}
    try:
        walk(decode(inspect, first), decode(inspect, second), "asset", stats)
    except ValueError as difference:
        print(f"{second}: differs from {first}: {difference}")
        return 1
    print(f"{second}: same layout; {stats['differing']} of {stats['values']} values differ, "
          f"by at most {stats['largest']:.3g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
