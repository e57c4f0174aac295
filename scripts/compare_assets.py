#!/usr/bin/env python3
"""Compares two asset files field by field, as QXInspect --json --full decodes them.

Layout and counts must match exactly; numbers may differ by at most
1e-6 * max(1, |value|). Prints how many values differ and the largest difference,
and exits 1 when anything is outside the tolerance.

With --same-surface, models whose importer joined vertices differently (other vertex
counts) pass when every mesh draws the same triangles: each face's corners, taken
through the indices, with the same positions, normals and texture coordinates.

  scripts/compare_assets.py [--same-surface] QXINSPECT A B
"""
import json
import subprocess
import sys


def decode(inspect, path):
    out = subprocess.run([inspect, "--json", "--full", path], capture_output=True, check=True)
    document = json.loads(out.stdout)[0]
    document.pop("file")
    # The vertex-cache and overdraw figures follow from the indices and positions
    # compared here: vertices joined another way, or a position's last bit, moves them
    # by more than the tolerance without being a difference of their own.
    document.pop("figures", None)
    for mesh in document.get("meshes", []):
        mesh.pop("figures", None)
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


def corners(mesh):
    """Each face corner's vertex values, in face order: the surface the mesh draws."""
    fields = [f for f in ("positions", "normals", "textureCoords") if f in mesh]
    return [[mesh[f][i] for f in fields] for i in mesh["indices"]]


def surfaces(document):
    """The model with each mesh's vertex arrays replaced by the corners it draws."""
    for mesh in document.get("meshes", []):
        mesh["corners"] = corners(mesh)
        for field in ("positions", "normals", "textureCoords", "indices", "vertexCount", "indexCount"):
            mesh.pop(field, None)
    document.pop("payloadSize")
    return document


def main():
    same_surface = sys.argv[1] == "--same-surface"
    inspect, first, second = sys.argv[1 + same_surface:4 + same_surface]
    stats = {"values": 0, "differing": 0, "largest": 0.0}
    try:
        a, b = decode(inspect, first), decode(inspect, second)
        if same_surface:
            a, b = surfaces(a), surfaces(b)
        walk(a, b, "asset", stats)
    except ValueError as difference:
        print(f"{second}: differs from {first}: {difference}")
        return 1
    print(f"{second}: same {'surface' if same_surface else 'layout'}; {stats['differing']} of {stats['values']} values differ, "
          f"by at most {stats['largest']:.3g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
