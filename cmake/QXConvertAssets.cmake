# qx_add_assets: converts source assets with QXConvert as part of a build.
#
#   qx_add_assets(<target>
#     [OUTPUT_DIR <dir>]            default: ${CMAKE_CURRENT_BINARY_DIR}/assets
#     [MODELS <file>...]            -> <stem>.mdl
#     [ANIMATIONS <file>...]        -> <stem>.anm
#     [TEXTURES <file>...]          -> <stem>.img
#     [MUSIC <file>...]             -> <stem>.mus
#     [SOUNDS <file>...]            -> <stem>.snd
#     [UNSCRAMBLED]                 write payloads unscrambled (-ue)
#     [REPORTS]                     also write <output>.json, the conversion report (-report=)
#     [BAKE]                        apply node placement to the models' meshes (-bake)
#     [TIMEOUT <seconds>]           bound on each model or animation import; default 600
#     [MEMORY <MiB>])               bound on the memory each import may take; default 8192
#
# A crafted or broken scene can make Assimp hang or grow without end; the bounds make
# such a conversion fail the build with a message instead of stalling it.
# Each source becomes one custom command with its exact inputs and outputs, so Ninja
# or Make convert in parallel and redo only what changed: the source, any file its
# import reads (an OBJ's .mtl, a glTF's .bin; recorded by QXConvert in a depfile),
# or the converter itself. A source keeps its folder below the calling
# CMakeLists.txt's folder: models/hero.fbx becomes <OUTPUT_DIR>/models/hero.mdl; a
# source outside that folder lands directly in OUTPUT_DIR. Two sources that would
# give the same output stop the configuration, as do an output that would replace its
# own source and a path with ';' (which CMake cannot pass to a rule); the same source
# named twice in one call is converted once. <target> is built by default and
# depends on every output; the list of outputs is in its QX_ASSET_OUTPUTS property
# (assets only; with REPORTS each has its report beside it, <asset>.json, where
# QXInspect finds it and `QXInspect --summary-reports <dir>` digests them).
#
# QXConvert writes each output completely or not at all, so a failed conversion
# fails the build and leaves nothing that looks up to date.

# Refuses at configure time a path the build would fail on or misread. A model or
# animation lists what it read in a depfile, which CMake reads and hands on to the build
# tool: there none of the generators carries the characters QXConvert refuses, and
# CMake's own depfile handling loses '$' (Ninja then reconverts on every build). Make
# reads more into a name, with no escape that undoes it: '[' as a wildcard (a[1]/m.obj
# stands for a1/m.obj once that exists, in the rule's own sources too), '%' (a changed
# .mtl goes unseen) and "name(member)" as an archive member. Ninja reads those as
# they are, so under Ninja generators they are allowed.
function(_qx_check_path target path type)
  if(NOT type MATCHES "^(mdl|anm)$")
    return()
  endif()
  # Paths here are absolute, so none starts with the '~' Make would expand.
  if(path MATCHES "[\"'*&?<>|^`=$]" OR path MATCHES "[\t\n\r]")
    message(FATAL_ERROR "qx_add_assets(${target}): ${path}: a model's or animation's path "
                        "may not hold \" ' * & ? < > | ^ ` = $ or a line break: the depfile "
                        "that lists what its import read could not be read back; rename the "
                        "file or its folder")
  endif()
  if(NOT CMAKE_GENERATOR MATCHES "^Ninja" AND (path MATCHES "[[%]" OR path MATCHES "\\(.*\\)$"))
    message(FATAL_ERROR "qx_add_assets(${target}): ${path}: with the ${CMAKE_GENERATOR} "
                        "generator a model's or animation's path may not hold [ or %, or end "
                        "in a ')' after a '(': the build tool would read the depfile that lists "
                        "what its import read as other files (Ninja alone reads them as they "
                        "are); rename the file or its folder, or use a Ninja generator")
  endif()
endfunction()

function(qx_add_assets target)
  cmake_parse_arguments(PARSE_ARGV 1 QX "UNSCRAMBLED;REPORTS;BAKE" "OUTPUT_DIR;TIMEOUT;MEMORY"
                        "MODELS;ANIMATIONS;TEXTURES;MUSIC;SOUNDS")
  if(QX_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qx_add_assets(${target}): unknown arguments: ${QX_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET QXConvert::QXConvert)
    message(FATAL_ERROR "qx_add_assets(${target}): QXConvert::QXConvert is not defined; "
                        "call find_package(QXConvert) first")
  endif()
  if(NOT QX_OUTPUT_DIR)
    set(QX_OUTPUT_DIR "${CMAKE_CURRENT_BINARY_DIR}/assets")
  endif()
  get_filename_component(QX_OUTPUT_DIR "${QX_OUTPUT_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  set(options)
  if(QX_UNSCRAMBLED)
    set(options -ue)
  endif()
  set(scene_options)
  foreach(bound IN ITEMS "TIMEOUT;timeout;600;86400" "MEMORY;memory;8192;16777216")
    list(GET bound 0 name)
    list(GET bound 1 option)
    list(GET bound 2 default)
    list(GET bound 3 max)
    if(NOT DEFINED QX_${name})
      set(QX_${name} ${default})
    endif()
    if(NOT QX_${name} MATCHES "^[1-9][0-9]*$" OR QX_${name} GREATER max)
      message(FATAL_ERROR "qx_add_assets(${target}): ${name} needs a whole number from 1 to ${max}")
    endif()
    list(APPEND scene_options "-${option}=${QX_${name}}")
  endforeach()

  set(kinds "MODELS:mdl:.mdl" "ANIMATIONS:anm:.anm" "TEXTURES:tex:.img" "MUSIC:mus:.mus"
            "SOUNDS:snd:.snd")
  # Every source of this call is known before any output is placed, so that no output
  # lands on a source, whichever group or call names it.
  foreach(kind IN LISTS kinds)
    string(REPLACE ":" ";" kind "${kind}")
    list(GET kind 0 group)
    foreach(source IN LISTS QX_${group})
      if(source MATCHES ";")
        message(FATAL_ERROR "qx_add_assets(${target}): ${source}: a path with ';' cannot be "
                            "passed to a build rule (CMake takes ';' as a list separator); "
                            "rename the file")
      endif()
      # CMake reads a backslash as a folder separator: the rule would name another file.
      if(source MATCHES "\\\\")
        message(FATAL_ERROR "qx_add_assets(${target}): ${source}: a path with a backslash "
                            "cannot be passed to a build rule; rename the file")
      endif()
      get_filename_component(source "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      get_property(made GLOBAL PROPERTY "QX_ASSET_SOURCE_OF_${source}")
      if(made)
        message(FATAL_ERROR "qx_add_assets(${target}): ${source} is the output of ${made}; "
                            "converting it there would overwrite this source")
      endif()
      set_property(GLOBAL PROPERTY "QX_ASSET_INPUT_${source}" "${target}")
    endforeach()
  endforeach()

  set(outputs)
  foreach(kind IN LISTS kinds)
    string(REPLACE ":" ";" kind "${kind}")
    list(GET kind 0 group)
    list(GET kind 1 type)
    list(GET kind 2 extension)
    foreach(source IN LISTS QX_${group})
      get_filename_component(source "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      file(RELATIVE_PATH relative "${CMAKE_CURRENT_SOURCE_DIR}" "${source}")
      if(relative MATCHES "^\\.\\./" OR IS_ABSOLUTE "${relative}")
        get_filename_component(relative "${source}" NAME)
      endif()
      get_filename_component(folder "${relative}" DIRECTORY)
      get_filename_component(stem "${relative}" NAME_WLE)
      if(folder)
        set(output "${QX_OUTPUT_DIR}/${folder}/${stem}${extension}")
      else()
        set(output "${QX_OUTPUT_DIR}/${stem}${extension}")
      endif()

      if(output STREQUAL source)
        message(FATAL_ERROR "qx_add_assets(${target}): ${source} would be converted onto "
                            "itself; choose an OUTPUT_DIR other than its folder")
      endif()
      get_property(overwritten GLOBAL PROPERTY "QX_ASSET_INPUT_${output}" SET)
      if(overwritten)
        message(FATAL_ERROR "qx_add_assets(${target}): ${source} would be converted to "
                            "${output}, which is itself a source; choose an OUTPUT_DIR other "
                            "than the sources' folder")
      endif()
      _qx_check_path("${target}" "${source}" "${type}")
      _qx_check_path("${target}" "${output}" "${type}")
      # One output, one source: across every call in the project. The same source
      # named twice (perhaps spelled two ways) is converted once.
      get_property(claimed GLOBAL PROPERTY "QX_ASSET_SOURCE_OF_${output}")
      if(claimed STREQUAL source AND output IN_LIST outputs)
        continue()
      elseif(claimed STREQUAL source)
        get_property(owner GLOBAL PROPERTY "QX_ASSET_TARGET_OF_${output}")
        message(FATAL_ERROR "qx_add_assets(${target}): ${source} is already converted to "
                            "${output} by qx_add_assets(${owner}); list it in one call only")
      elseif(claimed)
        message(FATAL_ERROR "qx_add_assets(${target}): ${source} and ${claimed} would both "
                            "be converted to ${output}")
      endif()
      set_property(GLOBAL PROPERTY "QX_ASSET_SOURCE_OF_${output}" "${source}")
      set_property(GLOBAL PROPERTY "QX_ASSET_TARGET_OF_${output}" "${target}")

      get_filename_component(output_folder "${output}" DIRECTORY)
      set(converter_files "$<TARGET_FILE:QXConvert::QXConvert>")
      set(depfile_args)
      if(type STREQUAL "mdl" OR type STREQUAL "anm")
        # Scenes are imported by a module of the converter; a new one reconverts.
        list(APPEND converter_files "$<TARGET_FILE:QXConvert::qxconvert_scene>")
        set(depfile_args DEPFILE "${output}.d")
        if(CMAKE_GENERATOR MATCHES "^Ninja")
          set(depfile_option "-ninja-depfile=${output}.d" ${scene_options})
        else()
          set(depfile_option "-depfile=${output}.d" ${scene_options})
        endif()
      else()
        set(depfile_option)
      endif()
      # CMake leaves '[' unquoted on a command line, and the shell would take a[1]/m.obj
      # for a1/m.obj once that exists: the rule's shell is told to expand no names.
      set(literal_names)
      if("${source}${output}" MATCHES "\\[" AND NOT CMAKE_HOST_WIN32)
        set(literal_names COMMAND set -f)
      endif()
      if(QX_BAKE AND type STREQUAL "mdl")
        list(APPEND depfile_option -bake)
      endif()
      set(report_output)
      if(QX_REPORTS)
        set(report_output "${output}.json")
        list(APPEND depfile_option "-report=${output}.json")
      endif()
      add_custom_command(
        OUTPUT "${output}" ${report_output}
        ${literal_names}
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${output_folder}"
        COMMAND QXConvert::QXConvert ${type} "${source}" "${output}" ${options} ${depfile_option}
        DEPENDS "${source}" ${converter_files}
        ${depfile_args}
        COMMENT "Converting ${relative}"
        VERBATIM)
      list(APPEND outputs "${output}")
    endforeach()
  endforeach()

  add_custom_target(${target} ALL DEPENDS ${outputs})
  set_property(TARGET ${target} PROPERTY QX_ASSET_OUTPUTS "${outputs}")
endfunction()
