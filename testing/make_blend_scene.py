# A scene made in Blender for the tests: a textured cube under an armature with an
# action, and a text block that would write MARKER if Blender ran scripts stored in
# .blend files.
#   blender -b --factory-startup --python-exit-code 1 --python make_blend_scene.py -- OUT.blend IMAGE.png MARKER
import sys, bpy
out, image, marker = sys.argv[sys.argv.index("--") + 1:]
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.mesh.primitive_cube_add(size=2)
cube = bpy.context.active_object
picture = bpy.data.images.new("paint", 4, 4)
picture.filepath_raw = image
picture.file_format = "PNG"
picture.save()
material = bpy.data.materials.new("Paint")
material.use_nodes = True
texture = material.node_tree.nodes.new("ShaderNodeTexImage")
texture.image = picture
material.node_tree.links.new(texture.outputs["Color"], material.node_tree.nodes["Principled BSDF"].inputs["Base Color"])
cube.data.materials.append(material)
bpy.ops.object.armature_add()
rig = bpy.context.active_object
cube.parent = rig
cube.modifiers.new("Rig", "ARMATURE").object = rig
cube.vertex_groups.new(name="Bone").add(range(len(cube.data.vertices)), 1.0, "REPLACE")
rig.animation_data_create()
rig.animation_data.action = bpy.data.actions.new("Wave")
bone = rig.pose.bones["Bone"]
bone.rotation_mode = "XYZ"
for frame, angle in ((1, 0.0), (10, 0.5), (20, 0.0)):
    bone.rotation_euler = (angle, 0, 0)
    bone.keyframe_insert("rotation_euler", frame=frame)
text = bpy.data.texts.new("autorun.py")
text.write("open(%r, 'w').write('ran')\n" % marker)
text.use_module = True
bpy.ops.wm.save_as_mainfile(filepath=out)
