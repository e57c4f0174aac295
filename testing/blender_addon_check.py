# The add-on as an artist uses it, in a background Blender: a rig with three actions
# beside a camera and a lamp with actions of their own, a cube placed under a turned,
# moved empty, and six named meshes. Exports every action of the rig to its own file,
# the one action Walk, the placed cube baked, the meshes as a model, then imports the
# model back. The scene is saved too, for the converter's direct path to agree with;
# refusals (nothing selected, a rig without an action, a folder as the tool, the open
# .blend as the output) say why; actions with odd names export each to its own file.
# After each export, successful or not, the scene must be as it was.
#   blender -b --factory-startup --python-exit-code 1 --python blender_addon_check.py -- OUT_FOLDER QXCONVERT QXINSPECT
import math
import os
import sys

import addon_utils
import bpy

out, converter, inspect = sys.argv[sys.argv.index("--") + 1:]
bpy.ops.wm.read_factory_settings(use_empty=True)
addon_utils.enable("qxconvert", default_set=True)
prefs = bpy.context.preferences.addons["qxconvert"].preferences
prefs.qxconvert_path, prefs.qxinspect_path = converter, inspect
scene = bpy.context.scene

bpy.ops.object.armature_add()
rig = bpy.context.active_object
rig.name = "Hero"
bone = rig.pose.bones["Bone"]
bone.rotation_mode = "XYZ"
rig.animation_data_create()
for name, frames in (("Walk", 25), ("Idle", 41), ("Jump", 13)):
    rig.animation_data.action = bpy.data.actions.new(name)
    for frame, angle in ((1, 0.0), ((1 + frames) // 2, 0.5), (frames, 0.0)):
        bone.rotation_euler = (angle, 0, 0)
        bone.keyframe_insert("rotation_euler", frame=frame)
    rig.animation_data.action.use_fake_user = name != "Idle"
rig.animation_data.action = bpy.data.actions["Idle"]  # Idle's only user is the rig

def own_action(obj, name):
    obj.animation_data_create().action = bpy.data.actions.new(name)
    obj.keyframe_insert("location", frame=1)
    obj.location.x += 1
    obj.keyframe_insert("location", frame=30)

bpy.ops.object.camera_add()
own_action(bpy.context.active_object, "CamMove")
bpy.ops.object.light_add(type="POINT")
own_action(bpy.context.active_object, "LampBlink")  # its lamp is its only user

bpy.ops.object.empty_add(location=(5, 0, 0), rotation=(0, 0, math.pi / 2))
holder = bpy.context.active_object
bpy.ops.mesh.primitive_cube_add(size=2)
placed = bpy.context.active_object
placed.name = placed.data.name = "Placed"
placed.parent = holder  # the parent's placement, and its own offset of 1 along its parent's x
placed.location = (1, 0, 0)

scene.frame_set(7)
rig.select_set(True)
bpy.context.view_layer.objects.active = rig
for obj in scene.objects:
    obj.select_set(obj == rig)


def state():
    owners = list(bpy.data.objects) + list(bpy.data.shape_keys)
    return ({o.name: o.animation_data.action.name if o.animation_data and o.animation_data.action else None
             for o in owners},
            sorted(o.name for o in scene.objects if o.select_get()), bpy.context.view_layer.objects.active.name,
            scene.frame_current, {a.name: (a.users, a.use_fake_user) for a in bpy.data.actions},
            bpy.data.filepath, bpy.data.is_dirty)


bpy.ops.wm.save_as_mainfile(filepath=os.path.join(out, "scene.blend"))  # for the converter's direct path
before = state()
assert bpy.ops.export_scene.qx_animation(filepath=os.path.join(out, "x.anm"), per_action=True, with_report=True,
                                         scrambled=False) == {"FINISHED"}
assert state() == before, (state(), before)
assert sorted(f for f in os.listdir(out) if f.endswith(".anm")) == ["Idle.anm", "Jump.anm", "Walk.anm"]
assert bpy.ops.export_scene.qx_animation(filepath=os.path.join(out, "walk_only.anm"), action="Walk",
                                         scrambled=False) == {"FINISHED"}
# "Every action" is the first choice and the default.
assert bpy.ops.export_scene.qx_animation(filepath=os.path.join(out, "every.anm"), scrambled=False) == {"FINISHED"}
assert bpy.ops.export_scene.qx_model(filepath=os.path.join(out, "scene.mdl"), scrambled=False) == {"FINISHED"}
assert state() == before, (state(), before)
# A failed conversion (the folder does not exist) leaves the scene as it was too.
try:
    result = bpy.ops.export_scene.qx_animation(filepath=os.path.join(out, "none", "walk.anm"), action="Walk")
except RuntimeError as error:  # the operator's error report, raised by a call from Python
    result = str(error)
assert "none" in str(result) and state() == before, (result, state(), before)

# The Action menu remembers the action, not its place in the list: an action added
# before it (the list is sorted by name) leaves the choice where it was, and a choice
# whose action is gone is refused rather than taken for another.
last = bpy.context.window_manager.operator_properties_last("export_scene.qx_animation")
last.action = "Jump"
bpy.data.actions.new("Aaa")
assert last.action == "Jump", last.action
bpy.data.actions.remove(bpy.data.actions["Aaa"])
last.action = "Walk"
bpy.data.actions["Walk"].name = "Walk2"
assert last.action == "", last.action
bpy.data.actions["Walk2"].name = "Walk"



def error_of(operator, **options):
    try:
        return operator(**options)
    except RuntimeError as error:
        return str(error)


# Each refusal says why.
bpy.ops.object.select_all(action="DESELECT")
assert "Nothing is selected" in error_of(bpy.ops.export_scene.qx_model, filepath=os.path.join(out, "n.mdl"),
                                         use_selection=True)
bpy.ops.object.select_all(action="DESELECT")
bpy.data.objects["Camera"].select_set(True)
assert "The action CamMove moves nothing the asset carries" in error_of(
    bpy.ops.export_scene.qx_animation, filepath=os.path.join(out, "n.anm"), use_selection=True, action="CamMove")
bpy.ops.object.select_all(action="DESELECT")
bpy.ops.object.armature_add()
bpy.context.active_object.name = "Bare"
bpy.context.active_object.data.bones[0].name = "Other"  # moved by none of the actions
assert "Bare has no action" in error_of(bpy.ops.export_scene.qx_animation, filepath=os.path.join(out, "n.anm"),
                                        use_selection=True)
prefs.qxconvert_path = out
assert "is a folder" in error_of(bpy.ops.export_scene.qx_model, filepath=os.path.join(out, "n.mdl"))
prefs.qxconvert_path = converter
bpy.data.objects.remove(bpy.data.objects["Bare"])

# The open .blend is never an output (only a script can name it: the file browser
# gives the export's extension).
saved = open(os.path.join(out, "scene.blend"), "rb").read()
assert "scene is made of" in error_of(bpy.ops.export_scene.qx_model, filepath=os.path.join(out, "scene.blend"))
assert open(os.path.join(out, "scene.blend"), "rb").read() == saved
# A converter that prints more than a pipe holds still ends, and its failure is shown.
loud = os.path.join(out, "loud.sh")
with open(loud, "w") as f:
    f.write("#!/bin/sh\nhead -c 300000 /dev/zero | tr '\\0' x\nexit 1\n")
os.chmod(loud, 0o755)
prefs.qxconvert_path = loud
assert "xxxx" in error_of(bpy.ops.export_scene.qx_model, filepath=os.path.join(out, "loud.mdl"))
prefs.qxconvert_path = converter

# Odd action names in a batch: "*" (what the Action menu calls every action) is one
# action like any other, "../x" stays in the chosen folder, a Windows device name is
# not the device.
bpy.ops.object.armature_add()
odd = bpy.context.active_object
odd.name = "Odd"
odd.data.bones[0].name = "OddBone"  # moved by none of Hero's actions
odd.pose.bones["OddBone"].rotation_mode = "XYZ"
odd.animation_data_create()
for name, frames in (("*", 5), ("../x", 7), ("Con.walk", 9)):
    odd.animation_data.action = bpy.data.actions.new(name)
    odd.animation_data.action.use_fake_user = True
    for frame, angle in ((1, 0.0), (frames, 0.5)):
        odd.pose.bones["OddBone"].rotation_euler = (angle, 0, 0)
        odd.pose.bones["OddBone"].keyframe_insert("rotation_euler", frame=frame)
bpy.ops.object.select_all(action="DESELECT")
odd.select_set(True)
os.makedirs(os.path.join(out, "odd"))
assert bpy.ops.export_scene.qx_animation(filepath=os.path.join(out, "odd", "x.anm"), per_action=True,
                                         scrambled=False) == {"FINISHED"}
assert sorted(os.listdir(os.path.join(out, "odd"))) == ["Con_.walk.anm", "_.anm", "_x.anm"], \
    os.listdir(os.path.join(out, "odd"))
bpy.data.objects.remove(odd)

bpy.ops.object.select_all(action="DESELECT")
placed.select_set(True)
for bake in (True, False):
    assert bpy.ops.export_scene.qx_model(filepath=os.path.join(out, f"placed_bake{int(bake)}.mdl"), bake=bake,
                                         use_selection=True, scrambled=False) == {"FINISHED"}

for obj in list(bpy.data.objects):
    bpy.data.objects.remove(obj)
names = ["Head", "Body", "Ärm", "Leg L", "Leg R", "Tail"]
for at, name in enumerate(names):
    bpy.ops.mesh.primitive_uv_sphere_add(location=(at * 3, 0, 0))
    bpy.context.active_object.name = bpy.context.active_object.data.name = name
assert bpy.ops.export_scene.qx_model(filepath=os.path.join(out, "parts.mdl")) == {"FINISHED"}
for collection in (bpy.data.objects, bpy.data.meshes):
    for item in list(collection):
        collection.remove(item)
assert bpy.ops.import_scene.qx_model(filepath=os.path.join(out, "parts.mdl")) == {"FINISHED"}
imported = sorted((o.name, o.data.name) for o in bpy.data.objects if o.type == "MESH")
assert imported == sorted((n, n) for n in names), imported
