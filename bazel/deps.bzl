"""The repositories QXConvert's Bazel build needs; call from a WORKSPACE."""

def qx_dependencies():
    """Declares Debian's Assimp as @system_assimp, from /usr."""
    if "system_assimp" not in native.existing_rules():
        native.new_local_repository(
            name = "system_assimp",
            path = "/usr",
            build_file = "@qxconvert//bazel:assimp.BUILD",
        )
