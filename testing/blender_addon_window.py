# The add-on in Blender's window (under Xvfb): an export runs as a modal operator with
# a background Blender as its child. Esc, and opening a file (Blender then cancels the
# operator), must each stop that child at once, write no output and remove the copy
# of the scene. Exits 0 when all holds, else prints what did not and exits 1.
#   xvfb-run blender --factory-startup --enable-event-simulate --python blender_addon_window.py -- OUT QXCONVERT
import os
import sys
import tempfile
import time

import addon_utils
import bpy

out, converter = sys.argv[sys.argv.index("--") + 1:]
addon_utils.enable("qxconvert", default_set=True)
bpy.context.preferences.addons["qxconvert"].preferences.qxconvert_path = converter
started = time.monotonic()


def children():
    """This Blender's child processes that still run (not those ended and unreaped)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[1] == str(os.getpid()) and fields[0] != "Z":
            found.append(pid)
    return found


def copies():
    return [name for name in os.listdir(tempfile.gettempdir()) if name.startswith("qx-blender-")]


def in_window():
    window = bpy.context.window_manager.windows[0]
    return bpy.context.temp_override(window=window, screen=window.screen, area=window.screen.areas[0])


def steps():
    with in_window():
        bpy.ops.wm.read_homefile(use_empty=True)
        bpy.ops.mesh.primitive_cube_add()
    for how in ("Esc", "opening a file"):
        output = os.path.join(out, how + ".mdl")
        with in_window():
            assert bpy.ops.export_scene.qx_model("EXEC_DEFAULT", filepath=output) == {"RUNNING_MODAL"}
        while not children():
            yield 0.05
        if how == "Esc":
            window = bpy.context.window_manager.windows[0]
            window.event_simulate(type="ESC", value="PRESS")
            window.event_simulate(type="ESC", value="RELEASE")
        else:
            with in_window():
                bpy.ops.wm.read_homefile(use_empty=True)
        yield 0.5
        left = (children(), os.path.exists(output), copies())
        assert left == ([], False, []), f"after {how}: children, output written, copies left: {left}"


run = steps()


def drive():
    try:
        if time.monotonic() - started > 300:
            raise AssertionError("the run took more than 300 s")
        return next(run)
    except StopIteration:
        print("qx-window-check: all held", flush=True)
        os._exit(0)
    except Exception as error:
        print("qx-window-check:", repr(error), flush=True)
        for pid in children():  # no background Blender outlives a failed check
            os.kill(int(pid), 9)
        os._exit(1)


bpy.app.timers.register(drive, first_interval=1.0, persistent=True)
