cmake_minimum_required(VERSION 3.25)
# Checks the built program the way antivirus heuristics look at it: the PE
# linter finds nothing suspicious (a normal section count, no odd section
# names, no writable code, no TLS callbacks, a plain DOS stub, entry point
# and image base, a real time stamp), and the hardening stays on.
# cmake -DPESCAN=<pescan> -DPESEC=<pesec> -DPROGRAM=<exe> -P check_heuristics.cmake
foreach(tool PESCAN PESEC)
  if(NOT ${tool})
    message(FATAL_ERROR "${tool} not found: scripts/install-deps installs it (Debian package pev)")
  endif()
endforeach()
execute_process(COMMAND ${PESCAN} -v ${PROGRAM} OUTPUT_VARIABLE scan RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pescan failed on ${PROGRAM}")
endif()
foreach(bad "suspicious" "self-modifying" "(high)" "(low)" "fake" "zero/invalid" "too old"
            "future time" "TLS callback")
  string(FIND "${scan}" "${bad}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "pescan reports \"${bad}\":\n${scan}")
  endif()
endforeach()
foreach(good "fpu anti-disassembly: +no" "imagebase: +normal" "entrypoint: +normal"
             "DOS stub: +normal" "TLS directory: +not found" "timestamp: +normal"
             "section count: +[3-8]\n")
  if(NOT scan MATCHES "${good}")
    message(FATAL_ERROR "pescan does not report \"${good}\":\n${scan}")
  endif()
endforeach()
execute_process(COMMAND ${PESEC} ${PROGRAM} OUTPUT_VARIABLE sec RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pesec failed on ${PROGRAM}")
endif()
foreach(feature "ASLR" "DEP/NX" "SEH" "Stack cookies \\(EXPERIMENTAL\\)")
  if(NOT sec MATCHES "${feature}: +yes")
    message(FATAL_ERROR "pesec does not report ${feature}:\n${sec}")
  endif()
endforeach()
message(STATUS "pescan and pesec: nothing suspicious, hardening on")
