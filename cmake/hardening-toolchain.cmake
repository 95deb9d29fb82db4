# Which host can build the hardened Windows binaries (Control Flow Guard, CET compatibility, a
# PDB, a message file that is resources alone): one with clang 19 or later and lld, the
# toolchain of Debian 13. Debian 12's clang 14 rejects the Control Flow Guard flags for MinGW,
# and GNU ld can write neither the CET mark nor a PDB with types.
#
# Included, it sets MOREX_HARDENING_CLANG (clang's path) where the host has that toolchain,
# and otherwise MOREX_HARDENING_MISSING (what it lacks). Run as a script
# (cmake -P cmake/hardening-toolchain.cmake), it prints what is missing, or nothing.
set(MOREX_HARDENING_CLANG_MAJOR 19)
unset(MOREX_HARDENING_CLANG)
set(MOREX_HARDENING_MISSING "")
find_program(MOREX_CLANG_PROGRAM NAMES clang)
find_program(MOREX_LLD_PROGRAM NAMES ld.lld)
if(MOREX_CLANG_PROGRAM)
  execute_process(COMMAND ${MOREX_CLANG_PROGRAM} -dumpversion OUTPUT_VARIABLE clang_version
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX MATCH "^[0-9]+" clang_major "${clang_version}")
endif()
if(NOT MOREX_CLANG_PROGRAM)
  set(MOREX_HARDENING_MISSING "no clang")
elseif(clang_major LESS MOREX_HARDENING_CLANG_MAJOR)
  set(MOREX_HARDENING_MISSING
      "clang ${clang_version} is older than ${MOREX_HARDENING_CLANG_MAJOR}")
elseif(NOT MOREX_LLD_PROGRAM)
  set(MOREX_HARDENING_MISSING "no lld")
else()
  set(MOREX_HARDENING_CLANG ${MOREX_CLANG_PROGRAM})
endif()
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND MOREX_HARDENING_MISSING)
  message(NOTICE "${MOREX_HARDENING_MISSING}")
endif()
