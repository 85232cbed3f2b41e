# Building a payload container, or a whole patcher, from release files at
# build time, with the host lzcx (see HostTools.cmake): in a native build
# the lzcx target of this tree, in a cross build the one its host-tools
# project builds.
#
#   add_patch_payload(<target> OUTPUT <file> FILES <files...>
#                     [NAMES <name>=<file>...] [FAST])
#
# Makes <file> (relative paths: in the current binary directory) with one
# entry per file of FILES, in that order, named by the file's base name or
# by NAMES, e.g. NAMES vusk.exe=build/Vusk-1.25.exe; relative FILES and NAMES
# paths are taken from the current source directory. FAST packs with the
# quick parse instead of the optimal one. <target> is a custom target that
# brings the payload up to date; the payload is packed again whenever lzcx
# or one of the files changes. A resource object that embeds the payload
# should list <file> in its OBJECT_DEPENDS and depend on <target>.
#
#   add_patcher(<target> OUTPUT <file> STUB <stub target or file>
#               FILES <files...> [NAMES <name>=<file>...] [FAST]
#               [DEPENDS <targets...>])
#
# Makes the patcher <file> with `lzcx patcher`: the stub with the payload
# of FILES and NAMES (as above; the first file is the program, vusk.exe).
# <target> is built by default; DEPENDS names targets that make the files.
include_guard(GLOBAL)
include(HostTools)

# Sets, in the caller: patch_output (absolute), patch_files (absolute),
# patch_options (lzcx options for NAMES and FAST) and patch_depends (lzcx
# itself), from the arguments parsed with prefix <prefix>.
function(_patch_inputs function prefix)
  if(${prefix}_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${function}: unknown arguments ${${prefix}_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ${prefix}_OUTPUT)
    message(FATAL_ERROR "${function}: OUTPUT is required")
  endif()
  if(NOT ${prefix}_FILES)
    message(FATAL_ERROR "${function}: FILES is required")
  endif()

  cmake_path(ABSOLUTE_PATH ${prefix}_OUTPUT BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
             NORMALIZE OUTPUT_VARIABLE output)
  set(files)
  foreach(file IN LISTS ${prefix}_FILES)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    list(APPEND files ${file})
  endforeach()
  # lzcx matches a NAMES file to the FILES entry with the same path string,
  # so both are made absolute the same way.
  set(options --quiet)
  if(${prefix}_FAST)
    list(APPEND options --fast)
  endif()
  foreach(rename IN LISTS ${prefix}_NAMES)
    string(FIND "${rename}" "=" eq)
    if(eq LESS 1)
      message(FATAL_ERROR "${function}: NAMES wants name=file, not ${rename}")
    endif()
    string(SUBSTRING "${rename}" 0 ${eq} name)
    math(EXPR after "${eq} + 1")
    string(SUBSTRING "${rename}" ${after} -1 file)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    if(NOT file IN_LIST files)
      message(FATAL_ERROR "${function}: ${file} of NAMES is not in FILES")
    endif()
    list(APPEND options --name "${name}=${file}")
  endforeach()

  # The lzcx file itself is a dependency as well as its target, so that a
  # rebuilt packer packs again (in a cross build the target is the external
  # project, which always runs).
  set(depends ${PATCHER_HOST_TARGET} ${files})
  if(NOT PATCHER_HOST_LZCX MATCHES "^\\$<")
    list(APPEND depends ${PATCHER_HOST_LZCX})
  endif()
  set(patch_output ${output} PARENT_SCOPE)
  set(patch_files ${files} PARENT_SCOPE)
  set(patch_options ${options} PARENT_SCOPE)
  set(patch_depends ${depends} PARENT_SCOPE)
endfunction()

function(add_patch_payload target)
  cmake_parse_arguments(PAYLOAD "FAST" "OUTPUT" "FILES;NAMES" ${ARGN})
  _patch_inputs("add_patch_payload(${target})" PAYLOAD)
  cmake_path(GET patch_output PARENT_PATH output_dir)
  add_custom_command(
    OUTPUT ${patch_output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${PATCHER_HOST_LZCX} pack ${patch_options} -o ${patch_output} -- ${patch_files}
    DEPENDS ${patch_depends}
    COMMENT "Packing the payload ${PAYLOAD_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${patch_output})
endfunction()

function(add_patcher target)
  cmake_parse_arguments(PATCHER "FAST" "OUTPUT;STUB" "FILES;NAMES;DEPENDS" ${ARGN})
  _patch_inputs("add_patcher(${target})" PATCHER)
  if(NOT PATCHER_STUB)
    message(FATAL_ERROR "add_patcher(${target}): STUB is required")
  endif()
  # A target name depends on the target and on its file.
  set(stub ${PATCHER_STUB})
  if(TARGET ${PATCHER_STUB})
    set(stub $<TARGET_FILE:${PATCHER_STUB}>)
  endif()
  cmake_path(GET patch_output PARENT_PATH output_dir)
  add_custom_command(
    OUTPUT ${patch_output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${PATCHER_HOST_LZCX} patcher ${patch_options} --stub ${stub} -o ${patch_output}
            -- ${patch_files}
    DEPENDS ${patch_depends} ${PATCHER_STUB}
    COMMENT "Making the patcher ${PATCHER_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${patch_output})
  if(PATCHER_DEPENDS)
    add_dependencies(${target} ${PATCHER_DEPENDS})
  endif()
endfunction()
