"""QXConvert for Blender: File > Export > QX model (.mdl) and QX animation (.anm), and
File > Import > QX model (.mdl).

Exports go through Blender's own glTF exporter to a temporary file that QXConvert then
converts, so the asset is what `QXConvert mdl scene.glb` would write; imports go
through `QXInspect --export` to glTF and Blender's glTF importer. The converter's
messages appear in Blender's report area.
"""
import os
import shutil
import subprocess
import tempfile

import bpy
from bpy.props import BoolProperty, EnumProperty, StringProperty
from bpy_extras.io_utils import ExportHelper, ImportHelper

bl_info = {
    "name": "QXConvert assets",
    "author": "QXConvert developers",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Export > QX model / QX animation, File > Import > QX model",
    "description": "Export models and animations as QXConvert assets, import QX models",
    "category": "Import-Export",
}


def tool(operator, context, name):
    """The tool's path from the preferences, else beside an installed copy, else PATH;
    empty, with an error in Blender's report area, when there is none."""
    prefs = context.preferences.addons[__package__].preferences
    named = getattr(prefs, name.lower() + "_path", "")
    if named:
        return named
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (os.path.join(here, "..", "..", "..", "bin"), os.path.join(here, "..", "..", "bin")):
        for candidate in (os.path.join(folder, name), os.path.join(folder, name + ".exe")):
            if os.path.isfile(candidate):
                return os.path.normpath(candidate)
    found = shutil.which(name) or ""
    if not found:
        operator.report({"ERROR"}, f"{name} was not found: name it in the add-on's preferences")
    return found


def run(operator, command):
    """Runs a tool; its output goes to Blender's report area. True on exit code 0."""
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        operator.report({"ERROR"}, f"{command[0]}: {error}")
        return False
    for line in (done.stdout + done.stderr).splitlines():
        if line.strip() and not line.startswith("QXConvert v"):
            operator.report({"INFO"} if done.returncode == 0 else {"ERROR"}, line)
    return done.returncode == 0


class Preferences(bpy.types.AddonPreferences):
    bl_idname = __package__
    qxconvert_path: StringProperty(name="QXConvert", subtype="FILE_PATH",
                                   description="Empty: found beside an installed copy or on PATH")
    qxinspect_path: StringProperty(name="QXInspect", subtype="FILE_PATH",
                                   description="Empty: found beside an installed copy or on PATH")

    def draw(self, context):
        self.layout.prop(self, "qxconvert_path")
        self.layout.prop(self, "qxinspect_path")


class ExportAsset:
    scrambled: BoolProperty(name="Scrambled", default=True,
                            description="Scramble the payload (QXConvert without -ue)")
    use_selection: BoolProperty(name="Selected objects only", default=False)
    apply_modifiers: BoolProperty(name="Apply modifiers", default=True)

    def export(self, context, kind, gltf_options):
        converter = tool(self, context, "QXConvert")
        if not converter:
            return {"CANCELLED"}
        with tempfile.TemporaryDirectory(prefix="qx-blender-") as folder:
            glb = os.path.join(folder, "export.glb")
            bpy.ops.export_scene.gltf(filepath=glb, export_format="GLB", use_selection=self.use_selection,
                                      export_apply=self.apply_modifiers, **gltf_options)
            command = [converter, kind, glb, self.filepath] + ([] if self.scrambled else ["-ue"])
            if not run(self, command):
                return {"CANCELLED"}
        return {"FINISHED"}


class ExportModel(bpy.types.Operator, ExportHelper, ExportAsset):
    """Export the scene or the selection as a QXConvert model (.mdl)"""
    bl_idname = "export_scene.qx_model"
    bl_label = "Export QX model"
    filename_ext = ".mdl"
    filter_glob: StringProperty(default="*.mdl", options={"HIDDEN"})

    def execute(self, context):
        return self.export(context, "mdl", {"export_animations": False})


def actions(self, context):
    return [("", "Every action", "All actions, as the glTF exporter gathers them")] + [
        (a.name, a.name, "") for a in bpy.data.actions]


class ExportAnimation(bpy.types.Operator, ExportHelper, ExportAsset):
    """Export the scene's animation as a QXConvert animation (.anm)"""
    bl_idname = "export_scene.qx_animation"
    bl_label = "Export QX animation"
    filename_ext = ".anm"
    filter_glob: StringProperty(default="*.anm", options={"HIDDEN"})
    action: EnumProperty(name="Action", items=actions, description="The action to export")

    def execute(self, context):
        if self.action:
            # Only the chosen action: every armature plays it while the export runs.
            for obj in context.scene.objects:
                if obj.animation_data is not None:
                    obj.animation_data.action = bpy.data.actions[self.action]
        return self.export(context, "anm", {"export_animations": True,
                                            "export_nla_strips": not self.action})


class ImportModel(bpy.types.Operator, ImportHelper):
    """Import a QXConvert model (.mdl): its meshes, with their names"""
    bl_idname = "import_scene.qx_model"
    bl_label = "Import QX model"
    filename_ext = ".mdl"
    filter_glob: StringProperty(default="*.mdl", options={"HIDDEN"})

    def execute(self, context):
        inspect = tool(self, context, "QXInspect")
        if not inspect:
            return {"CANCELLED"}
        with tempfile.TemporaryDirectory(prefix="qx-blender-") as folder:
            glb = os.path.join(folder, "import.glb")
            if not run(self, [inspect, self.filepath, "--export", glb]):
                return {"CANCELLED"}
            # Blender 3.4's glTF importer uses numpy.bool, which numpy 1.24 removed.
            import numpy
            if "bool" not in vars(numpy):
                numpy.bool = bool
            bpy.ops.import_scene.gltf(filepath=glb)
        return {"FINISHED"}


def menu_export(self, context):
    self.layout.operator(ExportModel.bl_idname, text="QX model (.mdl)")
    self.layout.operator(ExportAnimation.bl_idname, text="QX animation (.anm)")


def menu_import(self, context):
    self.layout.operator(ImportModel.bl_idname, text="QX model (.mdl)")


CLASSES = (Preferences, ExportModel, ExportAnimation, ImportModel)


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_export.append(menu_export)
    bpy.types.TOPBAR_MT_file_import.append(menu_import)


def unregister():
    bpy.types.TOPBAR_MT_file_import.remove(menu_import)
    bpy.types.TOPBAR_MT_file_export.remove(menu_export)
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
