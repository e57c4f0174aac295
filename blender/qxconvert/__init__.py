"""QXConvert for Blender: File > Export > QX model (.mdl) and QX animation (.anm), and
File > Import > QX model (.mdl).

An export saves a copy of the scene, has a background Blender export it as glTF
binary (scene_export.py: the same export QXConvert's own .blend path makes) and then
runs QXConvert on that; both run as child processes the add-on polls, so Blender's
window stays responsive, shows progress and Esc stops them. The artist's scene is
never changed: actions, selection and frame are set on the copy. Imports go through
`QXInspect --export` to glTF and Blender's glTF importer. The converter's messages
appear in Blender's report area.
"""
import json
import os
import shutil
import subprocess
import tempfile
import time
import zlib

import bpy
from bpy.props import BoolProperty, EnumProperty, StringProperty
from bpy_extras.io_utils import ExportHelper, ImportHelper

from .scene_export import EVERY_ACTION, actions_of, plays

bl_info = {
    "name": "QXConvert assets",
    "author": "QXConvert developers",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Export > QX model / QX animation, File > Import > QX model",
    "description": "Export models and animations as QXConvert assets, import QX models",
    "category": "Import-Export",
}

# Object types the glTF exporter turns into meshes.
GEOMETRY = {"MESH", "CURVE", "SURFACE", "META", "FONT"}


def tool(operator, context, name):
    """The tool's path from the preferences, else beside an installed copy, else PATH;
    empty, with an error in Blender's report area, when there is none."""
    prefs = context.preferences.addons[__package__].preferences
    named = getattr(prefs, name.lower() + "_path", "")
    if named:
        named = bpy.path.abspath(named)
        if os.path.isdir(named):
            operator.report({"ERROR"}, f"The {name} path in the add-on's preferences, {named}, is a folder: "
                                       f"name the {name} program itself")
            return ""
        if not os.path.isfile(named) or not os.access(named, os.X_OK):
            operator.report({"ERROR"}, f"The {name} path in the add-on's preferences, {named}, is not "
                                       "a program that can be run")
            return ""
        return named
    here = os.path.dirname(os.path.abspath(__file__))
    # Installed as PREFIX/share/qxconvert/blender/qxconvert, the tools are in PREFIX/bin.
    for folder in (os.path.join(here, "..", "..", "..", "..", "bin"),):
        for candidate in (os.path.join(folder, name), os.path.join(folder, name + ".exe")):
            if os.path.isfile(candidate):
                return os.path.normpath(candidate)
    found = shutil.which(name) or ""
    if not found:
        operator.report({"ERROR"}, f"{name} was not found: name it in the add-on's preferences")
    return found


def report_output(operator, text, ok):
    for line in text.splitlines():
        if line.strip() and not line.startswith("QXConvert v"):
            operator.report({"INFO"} if ok else {"ERROR"}, line)


def run(operator, command):
    """Runs a tool to its end; its output goes to Blender's report area. True on exit code 0."""
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        operator.report({"ERROR"}, f"{command[0]}: {error}")
        return False
    report_output(operator, done.stdout + done.stderr, done.returncode == 0)
    return done.returncode == 0


def why_unwritable(path):
    """Why path cannot be written, in words, or None when nothing stands in the way."""
    if os.path.isdir(path):
        return "it is a folder"
    folder = os.path.dirname(os.path.abspath(path))
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        return f"the folder {folder} cannot be written to ({error.strerror})"
    return None


# Names Windows keeps for devices, whatever the extension: "CON.anm" is the console.
DEVICES = {"CON", "PRN", "AUX", "NUL"} | {f"{port}{n}" for port in ("COM", "LPT") for n in range(1, 10)}


def file_name(name, extension, taken):
    """A file name for an action or object: the characters no file system takes become
    '_', a device name gets a '_', and a name already used this run gets a number."""
    cleaned = "".join("_" if c in '<>:"/\\|?*' or ord(c) < 32 else c for c in name).strip(" .") or "_"
    stem, dot, rest = cleaned.partition(".")
    if stem.rstrip(" ").upper() in DEVICES:
        cleaned = stem + "_" + dot + rest
    candidate, n = cleaned + extension, 2
    while candidate.lower() in taken:
        candidate, n = f"{cleaned} ({n}){extension}", n + 1
    taken.add(candidate.lower())
    return candidate


def last_error(log):
    """Blender's own words for what went wrong: the line closing a Python traceback,
    else its last line saying error, else its last line."""
    lines = [line for line in log.splitlines() if line.strip() and not line.startswith("Blender quit")]
    for at, line in enumerate(lines):
        if line.startswith("Traceback"):
            closing = next((x for x in lines[at + 1:] if not x.startswith(" ")), None)
            if closing:
                lines.append(closing)
    errors = [line for line in lines if "Error" in line or "error" in line]
    return errors[-1] if errors else (lines[-1] if lines else "no output")


class Preferences(bpy.types.AddonPreferences):
    bl_idname = __package__
    qxconvert_path: StringProperty(name="QXConvert", subtype="FILE_PATH",
                                   description="Empty: found beside an installed copy or on PATH")
    qxinspect_path: StringProperty(name="QXInspect", subtype="FILE_PATH",
                                   description="Empty: found beside an installed copy or on PATH")

    def draw(self, context):
        self.layout.prop(self, "qxconvert_path")
        self.layout.prop(self, "qxinspect_path")


class Exporting:
    """One export in flight: the scene's copy, the background Blender, then QXConvert
    per output. steps() is a generator that yields whenever it waits on a child, so a
    modal operator can keep Blender's window running between polls."""

    def __init__(self, operator, converter, jobs, options):
        self.operator, self.converter, self.jobs, self.options = operator, converter, jobs, options
        self.folder = tempfile.mkdtemp(prefix="qx-blender-")
        self.process = None
        self.done = 0  # steps finished, out of len(jobs) * 2 + 1
        self.status = "Saving a copy of the scene"
        self.ok = False
        self.written = []

    @property
    def total(self):
        return len(self.jobs) * 2 + 1

    def steps(self):
        try:
            yield from self._steps()
        finally:
            self.stop()
            shutil.rmtree(self.folder, ignore_errors=True)

    def _steps(self):
        operator = self.operator
        blend = os.path.join(self.folder, "scene.blend")
        # A copy with its relative paths remapped to the copy's folder; the artist's
        # file, its path and its unsaved state stay as they are.
        bpy.ops.wm.save_as_mainfile(filepath=blend, copy=True, check_existing=False, compress=False,
                                    relative_remap=True)
        plan = os.path.join(self.folder, "plan.json")
        for index, job in enumerate(self.jobs):
            job["glb"] = os.path.join(self.folder, f"{index}.glb")
        with open(plan, "w", encoding="utf-8") as f:
            json.dump({"apply_modifiers": self.options["apply_modifiers"], "jobs": self.jobs}, f)
        self.done = 1
        self.status = "Blender exports the scene"
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scene_export.py")
        # The caller's PYTHON* variables would change the child's Python, not this one's.
        environment = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
        log_path = os.path.join(self.folder, "blender.log")
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen(
                [bpy.app.binary_path, "-b", "--factory-startup", "-noaudio", "--disable-autoexec", blend,
                 "--python-exit-code", "1", "--python", script, "--", plan],
                stdout=log, stderr=subprocess.STDOUT, env=environment)
            while self.process.poll() is None:
                with open(log_path, encoding="utf-8", errors="replace") as f:
                    self.done = 1 + f.read().count("qx-exported ")
                yield
        with open(log_path, encoding="utf-8", errors="replace") as f:
            log_text = f.read()
        if self.process.returncode != 0 or not all(os.path.isfile(job["glb"]) for job in self.jobs):
            operator.report({"ERROR"}, f"Blender ({bpy.app.binary_path}) could not export the scene: "
                                       f"{last_error(log_text)}")
            return
        self.process = None
        self.done = len(self.jobs) + 1
        failures = 0
        for index, job in enumerate(self.jobs):
            self.status = f"Converting {os.path.basename(job['output'])} ({index + 1}/{len(self.jobs)})"
            command = [self.converter, job["kind"], job["glb"], job["output"]]
            command += [] if self.options["scrambled"] else ["-ue"]
            command += ["-bake"] if self.options.get("bake") else []
            command += ["-report=" + job["output"] + ".json"] if self.options["report"] else []
            # Its output goes to a file: a pipe read only once it ends would stop it when full.
            with open(os.path.join(self.folder, "qxconvert.log"), "w+b") as log:
                try:
                    self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
                except OSError as error:
                    operator.report({"ERROR"}, f"{self.converter}: {error.strerror}")
                    return
                while self.process.poll() is None:
                    yield
                log.seek(0)
                output = log.read().decode("utf-8", "replace")
            ok = self.process.returncode == 0
            self.process = None
            report_output(operator, output, ok)
            if ok:
                self.written.append(job["output"])
            else:
                failures += 1
                why = why_unwritable(job["output"])
                if why:
                    operator.report({"ERROR"}, f"Could not write {job['output']}: {why}")
                elif job["kind"] == "anm" and "Model has no animations" in output:
                    # The glTF export drops cameras, lights and keys on channels that do not
                    # drive the object, so an action can play and still move nothing exported.
                    what = f"The action {job['action']} moves nothing" if job["action"] else "No action moves anything"
                    operator.report({"ERROR"}, what + " the asset carries: keys on a camera or a light, or on "
                                    "channels that do not drive the object (Euler rotation keys on a bone that "
                                    "rotates by quaternion), are left out")
            self.done += 1
        self.ok = failures == 0

    def stop(self):
        """Ends the child that runs, if one does; the converter removes what it was writing."""
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


class ExportAsset:
    scrambled: BoolProperty(name="Scrambled", default=True,
                            description="Scramble the payload (QXConvert without -ue)")
    use_selection: BoolProperty(name="Selected objects only", default=False)
    apply_modifiers: BoolProperty(name="Apply modifiers", default=True)
    with_report: BoolProperty(name="Report", default=False,
                         description="Write QXConvert's JSON report beside each asset (ASSET.json, -report=)")

    def selected(self, context):
        return [obj for obj in context.view_layer.objects if obj.select_get()]

    def start(self, context, jobs, options):
        converter = tool(self, context, "QXConvert")
        if not converter:
            return {"CANCELLED"}
        # Refused before the scene is exported, which takes a while for a large one.
        kept = [bpy.data.filepath] + [bpy.path.abspath(library.filepath) for library in bpy.data.libraries]
        for job in jobs:
            output = job["output"]
            if any(path and os.path.exists(path) and os.path.exists(output) and os.path.samefile(path, output)
                   for path in kept):
                self.report({"ERROR"}, f"Could not write {output}: it is a .blend this scene is made of")
                return {"CANCELLED"}
            why = why_unwritable(output)
            if why:
                self.report({"ERROR"}, f"Could not write {output}: {why}")
                return {"CANCELLED"}
        options.update(scrambled=self.scrambled, apply_modifiers=self.apply_modifiers, report=self.with_report)
        self._exporting = Exporting(self, converter, jobs, options)
        self._steps = self._exporting.steps()
        if bpy.app.background or context.window is None:
            for _ in self._steps:
                time.sleep(0.02)
            return self.finish(context)
        manager = context.window_manager
        manager.progress_begin(0, self._exporting.total)
        self._timer = manager.event_timer_add(0.1, window=context.window)
        manager.modal_handler_add(self)
        self.modal(context, None)
        return {"RUNNING_MODAL"}

    def modal(self, context, event):
        manager = context.window_manager
        if event is not None and event.type == "ESC":
            self._steps.close()
            self.report({"WARNING"}, "Export cancelled" + (
                f"; written before: {', '.join(self._exporting.written)}" if self._exporting.written else ""))
            return self.end(context, {"CANCELLED"})
        if event is not None and event.type != "TIMER":
            return {"PASS_THROUGH"}
        try:
            next(self._steps)
        except StopIteration:
            return self.end(context, self.finish(context))
        manager.progress_update(self._exporting.done)
        if context.workspace is not None:
            context.workspace.status_text_set(f"QX export: {self._exporting.status} (Esc cancels)")
        return {"RUNNING_MODAL"}

    def cancel(self, context):
        """Blender ends the export (a file is opened, the window closes): the child is
        stopped and the copy removed, as with Esc."""
        self._steps.close()
        self.end(context, None)

    def end(self, context, result):
        manager = context.window_manager
        manager.event_timer_remove(self._timer)
        manager.progress_end()
        if context.workspace is not None:
            context.workspace.status_text_set(None)
        return result

    def finish(self, context):
        return {"FINISHED"} if self._exporting.ok else {"CANCELLED"}

    def draw_common(self, layout):
        layout.prop(self, "use_selection")
        layout.prop(self, "apply_modifiers")
        layout.prop(self, "scrambled")
        layout.prop(self, "with_report")


class ExportModel(bpy.types.Operator, ExportHelper, ExportAsset):
    """Export the scene or the selection as a QXConvert model (.mdl)"""
    bl_idname = "export_scene.qx_model"
    bl_label = "Export QX model"
    filename_ext = ".mdl"
    filter_glob: StringProperty(default="*.mdl", options={"HIDDEN"})
    bake: BoolProperty(name="Bake placement", default=False,
                       description="Apply each object's placement to its mesh (-bake), for scenes of placed parts")
    per_object: BoolProperty(name="One file per object", default=False,
                             description="Every selected object to its own model, named after the object, "
                                         "in the chosen file's folder")

    def draw(self, context):
        layout = self.layout
        self.draw_common(layout)
        layout.prop(self, "bake")
        layout.prop(self, "per_object")

    def execute(self, context):
        chosen = self.selected(context)
        if (self.use_selection or self.per_object) and not chosen:
            self.report({"ERROR"}, "Nothing is selected: select the objects to export"
                        + ("" if self.per_object else ", or turn off Selected objects only"))
            return {"CANCELLED"}
        pool = chosen if (self.use_selection or self.per_object) else list(context.scene.objects)
        meshes = [obj for obj in pool if obj.type in GEOMETRY]
        if not meshes:
            self.report({"ERROR"}, ("None of the selected objects is a mesh" if pool is chosen
                                    else "The scene holds no mesh") + ": there is no model to export")
            return {"CANCELLED"}
        if self.per_object:
            folder, taken = os.path.dirname(self.filepath), set()
            jobs = [{"kind": "mdl", "objects": [obj.name], "action": None,
                     "output": os.path.join(folder, file_name(obj.name, ".mdl", taken))} for obj in meshes]
        else:
            jobs = [{"kind": "mdl", "objects": [obj.name for obj in chosen] if self.use_selection else None,
                     "action": None, "output": self.filepath}]
        return self.start(context, jobs, {"bake": self.bake})


_action_items = []  # Blender keeps no reference to the strings a dynamic enum returns


def actions(self, context):
    # Blender remembers a dynamic enum's choice by its number: numbered by name rather
    # than by position, the remembered action stays that action when others are added
    # or removed (and is no choice at all once it is gone).
    taken = {0}
    _action_items[:] = [(EVERY_ACTION, "Every action", "Every action, each an animation of the one file", 0)]
    for a in bpy.data.actions:
        number = zlib.crc32(a.name.encode("utf-8")) & 0x7FFFFFFF
        while number in taken:
            number = number % 0x7FFFFFFF + 1
        taken.add(number)
        _action_items.append((a.name, a.name, "", number))
    return _action_items


class ExportAnimation(bpy.types.Operator, ExportHelper, ExportAsset):
    """Export the scene's animation as a QXConvert animation (.anm)"""
    bl_idname = "export_scene.qx_animation"
    bl_label = "Export QX animation"
    filename_ext = ".anm"
    filter_glob: StringProperty(default="*.anm", options={"HIDDEN"})
    action: EnumProperty(name="Action", items=actions, description="The action to export")
    per_action: BoolProperty(name="One file per action", default=False,
                             description="Every action of the selected rigs to its own animation, named after "
                                         "the action, in the chosen file's folder")

    def draw(self, context):
        layout = self.layout
        row = layout.row()
        row.enabled = not self.per_action
        row.prop(self, "action")
        layout.prop(self, "per_action")
        self.draw_common(layout)

    def execute(self, context):
        chosen = self.selected(context)
        if (self.use_selection or self.per_action) and not chosen:
            self.report({"ERROR"}, "Nothing is selected: select the rigs whose actions to export"
                        + ("" if self.per_action else ", or turn off Selected objects only"))
            return {"CANCELLED"}
        pool = chosen if (self.use_selection or self.per_action) else list(context.scene.objects)
        names = [obj.name for obj in chosen] if (self.use_selection or self.per_action) else None
        rigs = [obj.name for obj in pool if obj.type == "ARMATURE"]
        played = {action for obj in pool for action in actions_of(obj)}
        if not played:
            self.report({"ERROR"}, (f"{', '.join(rigs)} has no action" if rigs else
                                    "Nothing " + ("selected" if pool is chosen else "in the scene") + " is animated")
                        + ": give it an action in the Action Editor or the NLA")
            return {"CANCELLED"}
        if self.per_action:
            for obj in pool:
                if obj.type == "ARMATURE" and not actions_of(obj):
                    self.report({"WARNING"}, f"{obj.name} has no action: nothing exported for it")
            folder, taken = os.path.dirname(self.filepath), set()
            jobs = [{"kind": "anm", "objects": names, "action": action.name,
                     "output": os.path.join(folder, file_name(action.name, ".anm", taken))}
                    for action in sorted(played, key=lambda a: a.name.lower())]
        else:
            if not self.action:
                self.report({"ERROR"}, "The action chosen last time is gone: choose an action")
                return {"CANCELLED"}
            if self.action != EVERY_ACTION:
                action = bpy.data.actions.get(self.action)
                if action is None or not any(plays(obj, action) for obj in pool):
                    self.report({"ERROR"}, f"No object {'selected' if pool is chosen else 'in the scene'} "
                                           f"plays the action {self.action}")
                    return {"CANCELLED"}
            jobs = [{"kind": "anm", "objects": names, "output": self.filepath,
                     "action": None if self.action == EVERY_ACTION else self.action}]
        return self.start(context, jobs, {})


class ImportModel(bpy.types.Operator, ImportHelper):
    """Import a QXConvert model (.mdl): one object per mesh, with its name"""
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
