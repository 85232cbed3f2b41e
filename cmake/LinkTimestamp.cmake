# patcher_fixed_timestamp(<target>): the Windows executable <target> gets
# a fixed link time stamp (with -Wl,--insert-timestamp): SOURCE_DATE_EPOCH
# when the build is given one, otherwise 2026-01-01. The same sources then
# give the same bytes, and linters see no zero time stamp.
include_guard(GLOBAL)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(PATCHER_TIMESTAMP $ENV{SOURCE_DATE_EPOCH})
else()
  set(PATCHER_TIMESTAMP 1767225600)
endif()

function(patcher_fixed_timestamp target)
  set_property(TARGET ${target} PROPERTY RULE_LAUNCH_LINK
    "${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${PATCHER_TIMESTAMP}")
endfunction()
