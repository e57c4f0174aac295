"""Which actions an object plays, shared by the add-on and the background export.

Run by a background Blender (`blender -b COPY.blend --python scene_export.py -- PLAN.json`)
on a copy of the artist's scene, it writes one glTF binary per job of the plan. The
copy is the add-on's to change (actions, selection, subdivision levels); the
artist's scene is never touched. The export is the one QXConvert's own .blend path
makes: Blender's axes (Z up), modifiers applied as Blender evaluates them, a
subdivision at the higher of its viewport and render levels.
"""
import json
import re
import sys

import bpy

# The Action menu's "Every action"; in the plan a job for every action has none, so an
# action named "*" is one action like any other there.
EVERY_ACTION = "*"
_BONE = re.compile(r'^pose\.bones\["((?:[^"\\]|\\.)*)"\]')


def bones_animated(action):
    names = set()
    for curve in action.fcurves:
        found = _BONE.match(curve.data_path)
        if found:
            names.add(found.group(1).replace('\\"', '"').replace("\\\\", "\\"))
    return names


def plays(obj, action):
    """Whether obj plays action: it is its action or one of its NLA strips, or obj is
    a rig with a bone the action moves."""
    data = obj.animation_data
    if data is not None:
        if data.action == action:
            return True
        if any(strip.action == action for track in data.nla_tracks for strip in track.strips):
            return True
    return obj.type == "ARMATURE" and bool(bones_animated(action) & set(obj.pose.bones.keys()))


def actions_of(obj):
    """The actions obj plays, by name."""
    return sorted((a for a in bpy.data.actions if plays(obj, a)), key=lambda a: a.name.lower())


def export(plan):
    if plan["apply_modifiers"]:
        for item in bpy.data.objects:
            for modifier in item.modifiers:
                if modifier.type == "SUBSURF":
                    modifier.levels = max(modifier.levels, modifier.render_levels)
    layer = bpy.context.view_layer
    kept = {owner: owner.animation_data.action for owner in list(bpy.data.objects) + list(bpy.data.shape_keys)
            if owner.animation_data is not None}
    for index, job in enumerate(plan["jobs"]):
        chosen = None if job["objects"] is None else {bpy.data.objects[name] for name in job["objects"]}
        for obj in layer.objects:
            obj.select_set(chosen is not None and obj in chosen)
        every = job["action"] is None
        if job["kind"] == "anm" and not every:
            # Only the chosen action: the objects that play it hold it, the others none.
            action = bpy.data.actions[job["action"]]
            for obj in bpy.data.objects:
                if plays(obj, action):
                    obj.animation_data_create().action = action
                elif obj.animation_data is not None:
                    obj.animation_data.action = None
                shapes = getattr(obj.data, "shape_keys", None)
                if shapes is not None and shapes.animation_data is not None:
                    shapes.animation_data.action = None
        # One action's animation is named after it, as every action's are (not "Animation").
        bpy.ops.export_scene.gltf(filepath=job["glb"], export_format="GLB", use_selection=chosen is not None,
                                  export_apply=plan["apply_modifiers"], export_yup=False,
                                  export_animations=job["kind"] == "anm",
                                  export_nla_strips=every, export_anim_single_armature=every,
                                  export_nla_strips_merged_animation_name=job["action"] or "Animation")
        for owner, action in kept.items():
            owner.animation_data.action = action
        print("qx-exported", index, flush=True)


if __name__ == "__main__":
    with open(sys.argv[sys.argv.index("--") + 1], encoding="utf-8") as plan_file:
        export(json.load(plan_file))
