# .blend files that make Blender do what a converter must contain, for the tests:
#   caches OUT.blend DIR     a smoke domain whose cache folder is DIR, its flow and a
#                            cloth with a disk cache, all animated: evaluating it
#                            writes into DIR and beside OUT (two domains in one file
#                            crash Blender 3.4 as it quits)
#   grid OUT.blend N         geometry nodes making an N x N grid (N = 4000 peaks past
#                            4 GB of address space)
#   linked OUT.blend LIB     a sphere, and a cube linked from LIB (made here too)
#   blender -b --factory-startup --python-exit-code 1 --python make_blend_hazards.py -- KIND OUT ARGS
import sys, bpy
kind, out, *args = sys.argv[sys.argv.index("--") + 1:]
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.context.preferences.filepaths.save_version = 0  # no OUT.blend1 beside it
if kind == "caches":
    bpy.ops.mesh.primitive_ico_sphere_add(radius=0.5)
    flow = bpy.context.active_object
    flow.modifiers.new("Flow", "FLUID").fluid_type = "FLOW"
    bpy.ops.mesh.primitive_cube_add(size=4)
    fluid = bpy.context.active_object.modifiers.new("Smoke", "FLUID")
    fluid.fluid_type = "DOMAIN"
    fluid.domain_settings.domain_type = "GAS"
    fluid.domain_settings.cache_directory = args[0]
    bpy.ops.mesh.primitive_plane_add(size=2, location=(0, 0, 3))
    cloth = bpy.context.active_object
    cloth.modifiers.new("Cloth", "CLOTH")
    for frame in (1, 5):
        for item in (flow, cloth):
            item.location.x = frame * 0.1
            item.keyframe_insert("location", frame=frame)
    bpy.context.scene.frame_end = 5
elif kind == "grid":
    bpy.ops.mesh.primitive_plane_add()
    tree = bpy.data.node_groups.new("Grid", "GeometryNodeTree")
    tree.outputs.new("NodeSocketGeometry", "Geometry")
    grid = tree.nodes.new("GeometryNodeMeshGrid")
    grid.inputs["Vertices X"].default_value = int(args[0])
    grid.inputs["Vertices Y"].default_value = int(args[0])
    tree.links.new(grid.outputs["Mesh"], tree.nodes.new("NodeGroupOutput").inputs["Geometry"])
    bpy.context.active_object.modifiers.new("Grid", "NODES").node_group = tree
elif kind == "linked":
    bpy.ops.mesh.primitive_cube_add()
    bpy.context.active_object.name = "Crate"
    bpy.ops.wm.save_as_mainfile(filepath=args[0])
    bpy.ops.wm.read_factory_settings(use_empty=True)
    bpy.context.preferences.filepaths.save_version = 0
    bpy.ops.mesh.primitive_uv_sphere_add()
    bpy.context.active_object.name = "Ball"
    bpy.ops.wm.save_as_mainfile(filepath=out)  # so that the library's path is relative
    with bpy.data.libraries.load(args[0], link=True, relative=True) as (source, linked):
        linked.objects = ["Crate"]
    for item in linked.objects:
        bpy.context.scene.collection.objects.link(item)
bpy.ops.wm.save_as_mainfile(filepath=out)
if kind == "caches":
    # Blender takes a disk cache only in a saved file.
    cloth.modifiers["Cloth"].point_cache.use_disk_cache = True
    bpy.ops.wm.save_mainfile()
