# Tools that run on the build machine while the program is built (the
# packer that makes the payload resource, the icon maker). A native build
# has them as ordinary targets; a cross build builds them once more with the
# host compiler, as an external project of this same source tree.
#
# After inclusion:
#   PATCHER_HOST_LZCX    path of the host lzcx
#   PATCHER_HOST_TARGET  target to depend on before running it
#   PATCHER_HOST_MKICON         path of the host mkicon
#   PATCHER_HOST_MKICON_TARGET  target to depend on before running it
include_guard(GLOBAL)

if(CMAKE_CROSSCOMPILING)
  include(ExternalProject)
  set(_host_dir ${CMAKE_BINARY_DIR}/host-tools)
  ExternalProject_Add(host_tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${_host_dir}
    CMAKE_ARGS -DPATCHER_HOST_TOOLS_ONLY=ON -DCMAKE_BUILD_TYPE=Release
               -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    # Quiet unless a step fails; then its whole log is printed.
    LOG_CONFIGURE ON
    LOG_BUILD ON
    LOG_OUTPUT_ON_FAILURE ON
    BUILD_BYPRODUCTS ${_host_dir}/tools/lzcx/lzcx
                     ${_host_dir}/tools/mkicon/mkicon
  )
  set(PATCHER_HOST_LZCX ${_host_dir}/tools/lzcx/lzcx)
  set(PATCHER_HOST_TARGET host_tools)
  set(PATCHER_HOST_MKICON ${_host_dir}/tools/mkicon/mkicon)
  set(PATCHER_HOST_MKICON_TARGET host_tools)
else()
  set(PATCHER_HOST_LZCX $<TARGET_FILE:lzcx>)
  set(PATCHER_HOST_TARGET lzcx)
  set(PATCHER_HOST_MKICON $<TARGET_FILE:mkicon>)
  set(PATCHER_HOST_MKICON_TARGET mkicon)
endif()
