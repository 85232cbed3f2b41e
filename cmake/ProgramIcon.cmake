# The program's icon (group 107): made at build time by the host mkicon from
# the pixel map src/resources/icon.txt, so the artwork stays readable and
# reviewable in the repository.
#
# After inclusion (not in host-tools-only builds):
#   PATCHER_ICON_FILE  the generated .ico, in the build tree
#   program_icon       target to depend on before reading it
# A resource object that embeds the icon should also list PATCHER_ICON_FILE
# in its OBJECT_DEPENDS, so a changed map rebuilds it.
include_guard(GLOBAL)
include(HostTools)

if(NOT PATCHER_HOST_TOOLS_ONLY)
  set(PATCHER_ICON_MAP ${PROJECT_SOURCE_DIR}/src/resources/icon.txt)
  set(PATCHER_ICON_FILE ${CMAKE_BINARY_DIR}/resources/program.ico)
  add_custom_command(
    OUTPUT ${PATCHER_ICON_FILE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
    COMMAND ${PATCHER_HOST_MKICON} ${PATCHER_ICON_MAP} ${PATCHER_ICON_FILE}
    DEPENDS ${PATCHER_ICON_MAP} ${PATCHER_HOST_MKICON} ${PATCHER_HOST_MKICON_TARGET}
    COMMENT "Making the program's icon from its pixel map"
    VERBATIM)
  add_custom_target(program_icon ALL DEPENDS ${PATCHER_ICON_FILE})
endif()
