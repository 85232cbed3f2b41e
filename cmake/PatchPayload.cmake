# Building a payload container from release files, at build time, with the
# host lzcx (see HostTools.cmake): in a native build the lzcx target of this
# tree, in a cross build the one its host-tools project builds.
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
include_guard(GLOBAL)
include(HostTools)

function(add_patch_payload target)
  cmake_parse_arguments(PAYLOAD "FAST" "OUTPUT" "FILES;NAMES" ${ARGN})
  if(PAYLOAD_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "add_patch_payload: unknown arguments ${PAYLOAD_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT PAYLOAD_OUTPUT)
    message(FATAL_ERROR "add_patch_payload(${target}): OUTPUT is required")
  endif()
  if(NOT PAYLOAD_FILES)
    message(FATAL_ERROR "add_patch_payload(${target}): FILES is required")
  endif()

  cmake_path(ABSOLUTE_PATH PAYLOAD_OUTPUT BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
             NORMALIZE OUTPUT_VARIABLE output)
  set(files)
  foreach(file IN LISTS PAYLOAD_FILES)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    list(APPEND files ${file})
  endforeach()
  # lzcx matches a NAMES file to the FILES entry with the same path string,
  # so both are made absolute the same way.
  set(renames)
  foreach(rename IN LISTS PAYLOAD_NAMES)
    string(FIND "${rename}" "=" eq)
    if(eq LESS 1)
      message(FATAL_ERROR "add_patch_payload(${target}): NAMES wants name=file, not ${rename}")
    endif()
    string(SUBSTRING "${rename}" 0 ${eq} name)
    math(EXPR after "${eq} + 1")
    string(SUBSTRING "${rename}" ${after} -1 file)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
    if(NOT file IN_LIST files)
      message(FATAL_ERROR "add_patch_payload(${target}): ${file} of NAMES is not in FILES")
    endif()
    list(APPEND renames --name "${name}=${file}")
  endforeach()
  set(fast)
  if(PAYLOAD_FAST)
    set(fast --fast)
  endif()

  # The lzcx file itself is a dependency as well as its target, so that a
  # rebuilt packer packs again (in a cross build the target is the external
  # project, which always runs).
  set(lzcx_file)
  if(NOT PATCHER_HOST_LZCX MATCHES "^\\$<")
    set(lzcx_file ${PATCHER_HOST_LZCX})
  endif()
  cmake_path(GET output PARENT_PATH output_dir)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${PATCHER_HOST_LZCX} pack --quiet ${fast} ${renames} -o ${output} -- ${files}
    DEPENDS ${PATCHER_HOST_TARGET} ${lzcx_file} ${files}
    COMMENT "Packing the payload ${PAYLOAD_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${output})
endfunction()
