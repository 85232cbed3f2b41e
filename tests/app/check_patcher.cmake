cmake_minimum_required(VERSION 3.25)
# The road a release engineer takes, on the built stub and release files:
#  - `lzcx patcher` gives the build's patcher byte for byte from copies in
#    other directories, by relative paths, under other file names, and
#    from the build's patcher (or a signed one) as the stub;
#  - a patcher signed with a throw-away certificate verifies, and lzcx reads
#    it as it reads the unsigned one. The signed copy is left in STAGE for
#    the run under Wine.
# cmake -DLZCX=<lzcx> -DSTUB=<stub.exe> -DPATCHER=<patcher.exe>
#       -DFILES=<release files, |-separated, the program first>
#       -DOSSLSIGNCODE=<osslsigncode> -DOPENSSL=<openssl> -DWORK=<scratch dir>
#       [-DSTAGE=<dir>] -P check_patcher.cmake
string(REPLACE "|" ";" files "${FILES}")

function(run)
  cmake_parse_arguments(R "" "IN;OUTPUT" "" ${ARGN})
  if(NOT R_IN)
    set(R_IN ${WORK})
  endif()
  execute_process(COMMAND ${R_UNPARSED_ARGUMENTS} WORKING_DIRECTORY ${R_IN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN R_UNPARSED_ARGUMENTS " " command)
    message(FATAL_ERROR "failed (${rc}): ${command}\n${out}${err}")
  endif()
  if(R_OUTPUT)
    set(${R_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

function(expect_same a b what)
  file(SHA256 ${a} ha)
  file(SHA256 ${b} hb)
  if(NOT ha STREQUAL hb)
    message(FATAL_ERROR "${what}: ${a} and ${b} differ")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/one/release ${WORK}/two/deeper/below)

# One: the files as they are named in the release, the program renamed.
file(COPY ${STUB} DESTINATION ${WORK}/one)
cmake_path(GET STUB FILENAME stub)
set(args)
foreach(file IN LISTS files)
  cmake_path(GET file FILENAME name)
  if(NOT args)
    set(name Vusk-1.25.exe)
    list(APPEND args --name vusk.exe=release/${name})
  endif()
  file(COPY_FILE ${file} ${WORK}/one/release/${name})
  list(APPEND args release/${name})
endforeach()
run(${LZCX} patcher --quiet --stub ${stub} -o made.exe ${args} IN ${WORK}/one)
expect_same(${WORK}/one/made.exe ${PATCHER} "made in another directory")

# Two: the stub under another name, the files by ../ paths.
file(COPY_FILE ${STUB} ${WORK}/two/deeper/below/other-stub.exe)
set(args)
foreach(file IN LISTS files)
  cmake_path(GET file FILENAME name)
  file(COPY_FILE ${file} ${WORK}/two/${name})
  list(APPEND args ../../${name})
endforeach()
run(${LZCX} patcher --quiet --stub other-stub.exe -o ../made.exe ${args}
    IN ${WORK}/two/deeper/below)
expect_same(${WORK}/two/deeper/made.exe ${PATCHER} "made by other paths")

# Any patcher serves as the stub.
run(${LZCX} patcher --quiet --stub ${PATCHER} -o again.exe ${files})
expect_same(${WORK}/again.exe ${PATCHER} "made from the patcher as the stub")

# Signed with a certificate made for this run only.
run(${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tessaline test signer"
    -keyout key.pem -out cert.pem)
run(${OSSLSIGNCODE} sign -certs cert.pem -key key.pem -n "Tessaline 1.25 upgrade"
    -in ${PATCHER} -out signed.exe)
run(${OSSLSIGNCODE} verify -CAfile cert.pem -in signed.exe)
# The signing tool sets the checksum over the signed file anew: lzcx, which
# checks it, reads the signed copy and says it carries a signature.
set(said "signed.exe: signed: it carries a certificate table (osslsigncode verify checks it)\n")
run(${LZCX} verify signed.exe OUTPUT verified)
string(FIND "${verified}" "ok, " ok)
string(FIND "${verified}" "${said}" signature)
if(ok LESS 0 OR signature LESS ok)
  message(FATAL_ERROR "lzcx verify does not say the patcher is signed:\n${verified}")
endif()
run(${LZCX} list signed.exe OUTPUT signed_list)
run(${LZCX} list ${PATCHER} OUTPUT list)
if(NOT signed_list STREQUAL "${list}${said}")
  message(FATAL_ERROR "lzcx lists the signed patcher differently:\n${signed_list}\n${list}")
endif()
# The certificate of a signed stub goes; nothing else changes.
run(${LZCX} patcher --quiet --stub signed.exe -o from-signed.exe ${files})
expect_same(${WORK}/from-signed.exe ${PATCHER} "made from the signed patcher as the stub")

if(STAGE)
  cmake_path(GET PATCHER FILENAME name)
  file(MAKE_DIRECTORY ${STAGE})
  file(COPY_FILE ${WORK}/signed.exe ${STAGE}/${name})
endif()
message(STATUS "the patcher is reproducible, and its signed copy verifies and reads")
