# GoogleTest for both builds: the system's prebuilt library natively, and
# Debian's GoogleTest sources compiled with the cross compiler for Windows,
# where every test executable runs under Wine in a prefix of the build tree.
include_guard(GLOBAL)

if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest/googletest
                   ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GCC's win32 thread model has no std::mutex, which GoogleTest uses for
  # one class; our customization header supplies it with Win32 calls.
  target_include_directories(gtest BEFORE PUBLIC
    ${PROJECT_SOURCE_DIR}/tests/support/gtest-custom)
  # GoogleTest's own sources are not ours to keep warning-free.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  set(PATCHER_GTEST_MAIN gtest_main)

  # Wine's loader for this build's programs, and whether this machine can
  # run it: the 32-bit loader is itself a 32-bit Linux program, which some
  # kernels cannot run (scripts/wine-arch). Where it cannot, the tests that
  # need Wine are built but disabled, and the checks of the built files
  # still run.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PATCHER_WINE_LOADER /usr/lib/wine/wine64)
  else()
    set(PATCHER_WINE_LOADER /usr/lib/wine/wine)
  endif()
  execute_process(COMMAND ${PATCHER_WINE_LOADER} --version
                  RESULT_VARIABLE wine_status OUTPUT_QUIET ERROR_QUIET)
  if(wine_status EQUAL 0)
    set(PATCHER_WINE_RUNS ON)
  else()
    set(PATCHER_WINE_RUNS OFF)
    message(STATUS "Wine cannot run ${CMAKE_SYSTEM_PROCESSOR} programs here: "
                   "the tests under Wine are disabled in this build")
  endif()

  # The Wine prefix the tests run in: created once, drive z: removed so
  # nothing outside the prefix is visible to the programs under test.
  set(PATCHER_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  if(PATCHER_WINE_RUNS)
    add_custom_command(
      OUTPUT ${PATCHER_WINEPREFIX}/.ready
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix ${PATCHER_WINEPREFIX}
              ${PATCHER_WINE_LOADER}
      COMMENT "Preparing the Wine prefix for the Windows tests"
      VERBATIM)
    add_custom_target(wine_prefix ALL DEPENDS ${PATCHER_WINEPREFIX}/.ready)
  else()
    add_custom_target(wine_prefix)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.in
                 ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
  # The executables' format as objdump names it: PE32 for i386, PE32+ for x64.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PATCHER_PE_FORMAT pei-x86-64)
  else()
    set(PATCHER_PE_FORMAT pei-i386)
  endif()
else()
  find_package(GTest REQUIRED)
  set(PATCHER_GTEST_MAIN GTest::gtest_main)
endif()

# patcher_program_files(): sets, in the caller, program (the build's
# patcher), program_name (its file name), release_files (what it carries,
# in payload order) and release_names (their file names, joined by "|",
# for a compile definition).
macro(patcher_program_files)
  get_property(program GLOBAL PROPERTY PATCHER_PROGRAM)
  cmake_path(GET program FILENAME program_name)
  get_property(release_files GLOBAL PROPERTY PATCHER_RELEASE_FILES)
  set(release_names)
  foreach(_file IN LISTS release_files)
    cmake_path(GET _file FILENAME _name)
    list(APPEND release_names ${_name})
  endforeach()
  list(JOIN release_names "|" release_names)
endmacro()

# patcher_stage(<target> FOLDER <folder> [FILES <files...>]
#               [DIRS <dir> <name> [<dir> <name>...]] [DEPENDS <targets...>])
# Copies files, and directories under new names, into c:\<folder> of the
# test prefix, where the programs under Wine can reach them (z: is gone).
# Use a folder whose name starts with a dot: the target search never enters
# one, so staged copies of the target are never found by a scan.
function(patcher_stage target)
  cmake_parse_arguments(S "" "FOLDER" "FILES;DIRS;DEPENDS" ${ARGN})
  set(dest ${PATCHER_WINEPREFIX}/drive_c/${S_FOLDER})
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.stamp)
  set(commands COMMAND ${CMAKE_COMMAND} -E rm -rf ${dest}
               COMMAND ${CMAKE_COMMAND} -E make_directory ${dest})
  # A prefix made anew gets its copies again.
  set(depends)
  if(PATCHER_WINE_RUNS)
    set(depends ${PATCHER_WINEPREFIX}/.ready)
  endif()
  foreach(file IN LISTS S_FILES)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy ${file} ${dest}/)
    list(APPEND depends ${file})
  endforeach()
  set(dirs ${S_DIRS})
  while(dirs)
    list(POP_FRONT dirs dir name)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy_directory ${dir} ${dest}/${name})
    # The directory itself too: a file added or removed shows in the copy.
    list(APPEND depends ${dir})
  endwhile()
  add_custom_command(OUTPUT ${stamp} ${commands}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${depends}
    COMMENT "Copying files into c:\\${S_FOLDER} of the test prefix"
    VERBATIM)
  add_custom_target(${target} DEPENDS ${stamp})
  add_dependencies(${target} wine_prefix ${S_DEPENDS})
endfunction()

# patcher_wine_test(<name>): a test that runs under Wine. Where Wine cannot
# run this build's programs it is disabled and labelled not-run-here, which
# `make test` leaves out of ctest's run and counts in one line instead.
function(patcher_wine_test name)
  if(NOT PATCHER_WINE_RUNS)
    set_tests_properties(${name} PROPERTIES DISABLED TRUE LABELS not-run-here)
  endif()
endfunction()

# patcher_add_test(<name> SOURCES <files...> LIBS <libs...>)
# One test executable, registered with ctest as one test.
function(patcher_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${PATCHER_GTEST_MAIN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src
                                             ${PROJECT_SOURCE_DIR}/tests)
  if(CMAKE_CROSSCOMPILING)
    target_link_libraries(${name} PRIVATE patcher_manifest)
    add_dependencies(${name} wine_prefix)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Started in c:\, a directory the program can see (z: is gone).
    add_test(NAME ${name} COMMAND ${name}
             WORKING_DIRECTORY ${PATCHER_WINEPREFIX}/drive_c)
    patcher_wine_test(${name})
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
endfunction()
