#!/usr/bin/env python3
"""Conversion reports checked on Assimp's test models (Debian's assimp-testmodels).

Every report, also of the crafted sources below, must validate against report/qxconvert-report.schema.json, its counts
must equal what QXInspect reads back from the asset, QXInspect must accept it beside
its asset and refuse it beside another, and the findings checked by hand must be
there. --fail-on must accept exactly the schema's finding kinds.

  scripts/check_reports.py BUILD_DIR        (exit 77 when the models or jsonschema are missing)
"""
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS = "/usr/share/assimp/models"

# (type, file, {finding kind: minimum count} checked by hand)
CASES = [
    ("mdl", "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb", {"placement": 114, "instances": 81, "cameras": 1}),
    ("mdl", "glTF2/simple_skin/simple_skin.gltf", {"bones": 2}),
    ("mdl", "glTF2/BoxTextured-glTF/BoxTextured.gltf", {"tangents": 1}),
    ("mdl", "glTF2/BoxTextured-glTF-Embedded/BoxTextured.gltf", {}),
    ("mdl", "glTF2/cameras/Cameras.gltf", {"cameras": 2}),
    ("mdl", "FBX/cubes_with_mirroring_and_pivot.fbx", {"placement": 1}),
    ("mdl", "FBX/cubes_with_names.fbx", {}),
    ("mdl", "FBX/spider.fbx", {}),
    ("mdl", "FBX/box_orphant_embedded_texture.fbx", {}),
    ("mdl", "FBX/huesitos.fbx", {"bones": 1}),
    ("mdl", "OBJ/spider.obj", {}),
    ("mdl", "OBJ/box.obj", {}),
    ("mdl", "OBJ/cube_with_vertexcolors.obj", {"colors": 1}),
    ("mdl", "OBJ/WusonOBJ.obj", {}),
    ("mdl", "Collada/duck.dae", {}),
    ("mdl", "Collada/cube_with_2UVs.DAE", {"uv-sets": 1}),
    ("mdl", "Collada/kwxport_test_vcolors.dae", {"colors": 1}),
    ("mdl", "Collada/lights.dae", {"lights": 1}),
    ("mdl", "Collada/cameras.dae", {"cameras": 1}),
    ("mdl", "X/test_cube_text.x", {}),
    ("mdl", "X/BCN_Epileptic.X", {"bones": 1, "animations": 1}),
    ("mdl", "MD2/faerie.md2", {}),
    ("mdl", "SMD/triangle.smd", {}),
    ("mdl", "PLY/cube.ply", {}),
    ("mdl", "PLY/float-color.ply", {"colors": 1}),
    ("mdl", "PLY/points.ply", {}),
    ("mdl", "3DS/fels.3ds", {}),
    ("mdl", "STL/Spider_ascii.stl", {}),
    ("mdl", "OFF/Cube.off", {}),
    ("anm", "BVH/01_03.bvh", {"meshes": 1}),
    ("anm", "BVH/Boxing_Toes.bvh", {}),
    ("anm", "FBX/animation_with_skeleton.fbx", {}),
    ("anm", "X/anim_test.x", {}),
    ("anm", "Collada/box_nested_animation.dae", {}),
]

# Sources made here whose numbers JSON cannot hold as they are: a BVH whose frame time
# of 0 gives an infinite tick rate, and a glTF animation with a key at infinity.
CRAFTED = [
    ("anm", "zero-frame-time.bvh", "HIERARCHY\nROOT hip\n{\n  OFFSET 0 0 0\n  CHANNELS 3 Zrotation Xrotation Yrotation\n"
     "  End Site\n  {\n    OFFSET 0 1 0\n  }\n}\nMOTION\nFrames: 2\nFrame Time: 0\n0 0 0\n90 0 0\n"),
    ("anm", "infinite-key.gltf", json.dumps({
        "asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}], "nodes": [{"name": "spin"}],
        # key times 0 and +inf (float32), then two rotations
        "buffers": [{"byteLength": 40, "uri": "data:application/octet-stream;base64,"
                     "AAAAAAAAgH8AAAAAAAAAAAAAAAAAAIA/AAAAAIEENT8AAAAAgQQ1Pw=="}],
        "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 8},
                        {"buffer": 0, "byteOffset": 8, "byteLength": 32}],
        "accessors": [{"bufferView": 0, "componentType": 5126, "count": 2, "type": "SCALAR", "min": [0], "max": [1]},
                      {"bufferView": 1, "componentType": 5126, "count": 2, "type": "VEC4"}],
        "animations": [{"name": "turn", "channels": [{"sampler": 0, "target": {"node": 0, "path": "rotation"}}],
                        "samplers": [{"input": 0, "output": 1}]}]})),
]


def run(cmd, code=0):
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != code:
        sys.exit(f"exit {done.returncode}, not {code}: {' '.join(cmd)}\n{done.stdout}{done.stderr}")
    return done.stdout


def compare_counts(name, report, read):
    if report["type"] == "mdl":
        got = [(m["name"], m["vertices"], m["faces"], m["indices"], "normals" in m["attributes"],
                "uv" in m["attributes"]) for m in report["meshes"]]
        want = [(m["name"], m["vertexCount"], m["faceCount"], m["indexCount"], m["hasNormals"],
                 m["hasTextureCoords"]) for m in read["meshes"]]
    else:
        got = [(len(a["channels"]), sum(c["positionKeys"] for c in a["channels"]),
                sum(c["scalingKeys"] for c in a["channels"]), sum(c["rotationKeys"] for c in a["channels"]))
               for a in report["animations"]]
        want = [(a["channelCount"], a["keyCounts"]["position"], a["keyCounts"]["scaling"],
                 a["keyCounts"]["rotation"]) for a in read["animations"]]
    if got != want:
        sys.exit(f"{name}: the report's counts differ from what QXInspect reads:\n{got}\n{want}")
    if report["type"] == "anm":
        # What the schema cannot say: parents come first, and the animated nodes are the channels' nodes.
        skeleton = report["skeleton"]
        if any(not -1 <= n["parent"] < i for i, n in enumerate(skeleton)):
            sys.exit(f"{name}: a skeleton node's parent does not come before it")
        named = {c["node"] for a in report["animations"] for c in a["channels"]}
        animated = {n["name"] for n in skeleton if n["animated"]}
        if not animated <= named or (named and not animated):
            sys.exit(f"{name}: the skeleton's animated nodes {sorted(animated)} are not the channels' {sorted(named)}")


def main():
    build = os.path.abspath(sys.argv[1])
    try:
        import jsonschema
    except ImportError:
        print("needs python3-jsonschema")
        return 77
    if not os.path.isdir(MODELS):
        print(f"needs {MODELS} (assimp-testmodels)")
        return 77
    qx, inspect = os.path.join(build, "QXConvert"), os.path.join(build, "QXInspect")
    with open(os.path.join(ROOT, "report", "qxconvert-report.schema.json")) as f:
        schema = json.load(f)
    validator = jsonschema.Draft202012Validator(schema)
    with tempfile.TemporaryDirectory() as work:
        checked = 0
        cases = list(CASES)
        for kind, name, text in CRAFTED:
            with open(os.path.join(work, name), "w") as f:
                f.write(text)
            cases.append((kind, os.path.join(work, name), {}))
        for n, (kind, relative, expected) in enumerate(cases):
            source = os.path.join(MODELS, relative)
            asset = os.path.join(work, f"{n}.{kind}")
            run([qx, kind, source, asset, f"-report={asset}.json"])
            with open(asset + ".json") as f:
                # JSON has no infinities or NaN; Python would read them, the schema not.
                report = json.load(f, parse_constant=lambda name: sys.exit(f"{relative}: the report holds {name}"))
            errors = sorted(validator.iter_errors(report), key=str)
            if errors:
                sys.exit(f"{relative}: the report does not validate: {errors[0].message}")
            compare_counts(relative, report, json.loads(run([inspect, "--json", asset]))[0])
            found = {f["kind"]: f["count"] for f in report["notCarried"] + report["warnings"]}
            for finding, least in expected.items():
                if found.get(finding, 0) < least:
                    sys.exit(f"{relative}: expected {finding} >= {least}, the report says {found}")
            run([inspect, asset])  # the report beside it is accepted
            checked += 1
        # Beside another asset, the report is refused.
        other = os.path.join(work, "0.mdl.json")
        os.replace(os.path.join(work, "1.mdl.json"), other)
        if "belongs to another file" not in subprocess.run([inspect, os.path.join(work, "0.mdl")],
                                                          capture_output=True, text=True).stderr:
            sys.exit("a report of another asset was not refused")
        # --fail-on takes exactly the schema's kinds.
        kinds = schema["$defs"]["finding"]["properties"]["kind"]["enum"]
        run([inspect, "--summary-reports", work, "--fail-on", ",".join(kinds)], 1)
        run([inspect, "--summary-reports", work, "--fail-on", "not-a-kind"], 2)
    print(f"{checked} reports validate, match their assets and carry the findings checked by hand")
    return 0


if __name__ == "__main__":
    sys.exit(main())
