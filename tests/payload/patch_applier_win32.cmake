# The Windows PatchApplier test, included by this directory's CMakeLists in
# Windows builds. Its payload is made by add_patch_payload from release-like
# files: a real executable (the host lzcx, shipped as vusk.exe), a text (the
# test's source) and an empty file, in that order. The resource script
# embeds it as the program's payload, and the first two files unpacked, to
# compare with. A second build of the test has no payload resource at all.
set(applier_exe ${PATCHER_HOST_LZCX})
set(applier_text ${CMAKE_CURRENT_SOURCE_DIR}/patch_applier_win32_test.cpp)
set(applier_empty ${CMAKE_CURRENT_BINARY_DIR}/empty.dat)
set(applier_payload ${CMAKE_CURRENT_BINARY_DIR}/applier_test_payload.bin)
file(WRITE ${applier_empty} "")
add_patch_payload(applier_test_payload OUTPUT ${applier_payload}
  FILES ${applier_exe} ${applier_text} ${applier_empty}
  NAMES vusk.exe=${applier_exe} readme.txt=${applier_text})

set(applier_rc ${CMAKE_CURRENT_BINARY_DIR}/patch_applier_win32_test.rc)
configure_file(patch_applier_win32_test.rc.in ${applier_rc} @ONLY)
set_source_files_properties(${applier_rc} PROPERTIES
  OBJECT_DEPENDS "${applier_payload};${applier_exe};${applier_text}")
patcher_add_test(patch_applier_win32_test
  SOURCES patch_applier_win32_test.cpp ${applier_rc} LIBS payload test_support)
add_dependencies(patch_applier_win32_test applier_test_payload)

patcher_add_test(patch_applier_no_payload_win32_test
  SOURCES patch_applier_win32_test.cpp LIBS payload test_support)
target_compile_definitions(patch_applier_no_payload_win32_test PRIVATE PATCHER_TEST_NO_PAYLOAD)

# A patching process to end at a chosen moment, staged where the test,
# under Wine, can start it.
add_executable(applier_child_win32 applier_child_win32.cpp ${applier_rc})
target_link_libraries(applier_child_win32 PRIVATE payload test_support patcher_manifest)
add_dependencies(applier_child_win32 applier_test_payload)
patcher_stage(applier_child_files FOLDER .patcher-applier
  FILES $<TARGET_FILE:applier_child_win32> DEPENDS applier_child_win32)
add_dependencies(patch_applier_win32_test applier_child_files)
