"""Bazel rules that convert source assets with QXConvert.

    load("@qxconvert//bazel:defs.bzl", "qx_asset", "qx_assets")

    qx_asset(name = "crate", src = "models/crate.obj", kind = "mdl",
             deps = ["models/crate.mtl"])
    qx_assets(name = "textures", srcs = glob(["textures/*.tga"]), kind = "tex")
    qx_assets(name = "models", srcs = ["models/crate.obj"], kind = "mdl",
              deps = {"models/crate.obj": ["models/crate.mtl"]}, lods = ["0.5", "0.25"])

Each conversion is one action whose inputs are the source, the files its import reads
besides it (deps: an OBJ's .mtl, a glTF's .bin), the converter and its scene module,
both built from source by Bazel. Outputs are named as qx_add_assets names them: the
source's path with .mdl, .anm, .img, .mus or .snd. The command line holds only
relative paths and the action needs no network, so it runs the same on a remote
executor and hits a shared cache from any checkout. The converter's depfile is checked
against the declared inputs, so a file the import read but that was not declared fails
the build by name. A level of detail (simplify = "0.5", lod = 1) is a conversion of its
own, named as qx_add_assets names it: models/crate.lod1.mdl.
"""

_EXTENSIONS = {"mdl": ".mdl", "anm": ".anm", "tex": ".img", "mus": ".mus", "snd": ".snd"}

# The most decimals the converter's -simplify= takes (convert/mesh_work.h).
_MAX_RATIO_DECIMALS = 9

def _qx_asset_impl(ctx):
    src = ctx.file.src
    stem = ctx.attr.src.label.name
    stem = stem[:stem.rfind(".")] if "." in stem.split("/")[-1] else stem
    if ctx.attr.simplify:
        ratio = ctx.attr.simplify
        digits = ratio[2:] if ratio.startswith("0.") else ratio[1:] if ratio.startswith(".") else ""
        if (ctx.attr.kind != "mdl" or ctx.attr.lod < 1 or not digits.isdigit() or not digits.strip("0") or
            len(digits) > _MAX_RATIO_DECIMALS):
            fail(("qx_asset(%s): simplify needs a model, a ratio between 0 and 1 such as \"0.5\" with at most " +
                  "%d decimals, and lod >= 1") % (ctx.label.name, _MAX_RATIO_DECIMALS))
        stem += ".lod%d" % ctx.attr.lod
    out = ctx.actions.declare_file(stem + _EXTENSIONS[ctx.attr.kind])
    depfile = ctx.actions.declare_file(stem + _EXTENSIONS[ctx.attr.kind] + ".d")
    declared = ctx.actions.declare_file(stem + _EXTENSIONS[ctx.attr.kind] + ".inputs")
    ctx.actions.write(declared, "\n".join([f.path for f in [src] + ctx.files.deps]) + "\n")
    # The action's arguments travel in a params file, one a line, as a persistent
    # worker takes them; without workers the converter reads the same file.
    args = ctx.actions.args()
    args.use_param_file("@%s", use_always = True)
    args.set_param_file_format("multiline")
    args.add_all([depfile, declared, ctx.attr.kind, src, out])
    args.add("-depfile=" + depfile.path)
    if not ctx.attr.scrambled:
        args.add("-ue")
    if ctx.attr.kind in ("mdl", "anm"):
        args.add("-timeout=%d" % ctx.attr.timeout)
        args.add("-memory=%d" % ctx.attr.memory)
    if ctx.attr.bake and ctx.attr.kind == "mdl":
        args.add("-bake")
    if ctx.attr.optimize and ctx.attr.kind == "mdl" and not ctx.attr.simplify:
        args.add("-optimize")
    if ctx.attr.simplify:
        args.add("-simplify=" + ctx.attr.simplify)
    tools = [ctx.executable.converter] + ctx.files.scene_module
    if src.extension == "blend":
        # Blender exports the .blend; as a declared tool, every executor runs the same one.
        if not ctx.attr.blender:
            fail("qx_asset(%s): a .blend source needs blender = the label of a Blender binary" % ctx.label.name)
        args.add("-blender=" + ctx.executable.blender.path)
        tools.append(ctx.executable.blender)
    outputs = [out]
    if ctx.attr.report:
        # Beside the asset, where QXInspect looks for it. It records times, so unlike
        # the asset it differs from run to run.
        report = ctx.actions.declare_file(out.basename + ".json", sibling = out)
        args.add("-report=" + report.path)
        outputs.append(report)
    ctx.actions.run(
        executable = ctx.executable.converter,
        arguments = ["--bazel-action", args],
        inputs = [src, declared] + ctx.files.deps,
        tools = tools,
        outputs = outputs + [depfile],
        mnemonic = "QXConvert",
        progress_message = "Converting %s" % src.short_path,
        # Local runs see the whole source tree, so that an undeclared file the import
        # reads shows up in the depfile and fails the check instead of going missing.
        # A worker keeps the importer loaded between conversions and runs each in a
        # child of its own (docs/bazel.md); without workers each is a process.
        execution_requirements = {
            "no-sandbox": "1",
            "supports-workers": "1",
            "requires-worker-protocol": "json",
        },
    )
    # The asset stays the target's one file, so $(rootpath) on it still works; the
    # report travels with it in runfiles and is built on request (its output group).
    return [
        DefaultInfo(files = depset([out]), runfiles = ctx.runfiles(files = outputs)),
        OutputGroupInfo(reports = depset(outputs[1:])),
    ]

qx_asset = rule(
    implementation = _qx_asset_impl,
    attrs = {
        "src": attr.label(allow_single_file = True, mandatory = True),
        "kind": attr.string(mandatory = True, values = _EXTENSIONS.keys()),
        "deps": attr.label_list(allow_files = True),
        "scrambled": attr.bool(default = True),
        "report": attr.bool(default = False, doc = "also write <asset>.json, the conversion report"),
        "bake": attr.bool(default = False, doc = "apply node placement to a model's meshes"),
        "optimize": attr.bool(default = False, doc = "make a model's meshes ready for the GPU (-optimize)"),
        "simplify": attr.string(
            default = "",
            doc = "a level of detail: the share of triangles to keep, between 0 and 1 (-simplify=); needs lod",
        ),
        "lod": attr.int(default = 0, doc = "the level of detail's number, which names the output <stem>.lod<N>.mdl"),
        "blender": attr.label(
            executable = True,
            allow_files = True,
            cfg = "exec",
            doc = "Blender, for .blend sources (for example an sh_binary that runs the installed one)",
        ),
        # Bounds on a model or animation import, so that a crafted or broken scene
        # fails the build with a message instead of stalling it.
        "timeout": attr.int(default = 600, doc = "seconds, 1 to 86400"),
        "memory": attr.int(default = 8192, doc = "MiB, 1 to 16777216"),
        # Built from source by default: a tool of the build graph, which a remote
        # executor can run. An installed converter works too (see docs/bazel.md).
        "converter": attr.label(
            default = "@qxconvert//:QXConvert",
            executable = True,
            allow_files = True,
            cfg = "exec",
        ),
        "scene_module": attr.label(
            default = "@qxconvert//:qxconvert_scene.so",
            allow_files = True,
            cfg = "exec",
        ),
    },
    doc = "Converts one source asset with QXConvert.",
)

def qx_assets(name, srcs, kind, deps = {}, scrambled = True, timeout = 600, memory = 8192,
              report = False, bake = False, optimize = False, lods = [], **kwargs):
    """One qx_asset per source, and a filegroup `name` holding them all.

    Args:
      name: the filegroup's name; each asset's target is name + "_" + its source path.
      srcs: sources (a list or a glob).
      kind: "mdl", "anm", "tex", "mus" or "snd" for all of them.
      deps: a dict from a source to the files its import reads besides it.
      scrambled: False writes payloads unscrambled (-ue).
      timeout: seconds each model or animation import may take.
      memory: MiB each model or animation import may take.
      report: also write each asset's conversion report, <asset>.json.
      bake: apply node placement to the models' meshes.
      optimize: make the models' meshes ready for the GPU.
      lods: levels of detail of each model: ratios as strings ("0.5"), each a target
        name + "_" + its source path + "_lod" + N converting to <stem>.lodN.mdl.
      **kwargs: passed to every target (visibility, tags).
    """
    targets = []
    for src in srcs:
        target = name + "_" + src.replace("/", "_").replace(".", "_")
        qx_asset(name = target, src = src, kind = kind, deps = deps.get(src, []),
                 scrambled = scrambled, timeout = timeout, memory = memory,
                 report = report, bake = bake, optimize = optimize, **kwargs)
        targets.append(":" + target)
        for level, ratio in enumerate(lods if kind == "mdl" else []):
            lod = "%s_lod%d" % (target, level + 1)
            qx_asset(name = lod, src = src, kind = kind, deps = deps.get(src, []),
                     scrambled = scrambled, timeout = timeout, memory = memory,
                     report = report, bake = bake, simplify = ratio, lod = level + 1, **kwargs)
            targets.append(":" + lod)
    native.filegroup(name = name, srcs = targets, **kwargs)
