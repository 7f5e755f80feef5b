# Shared part of the per-ABI toolchain files: a Linux target built with Debian's compiler
# for VORN_TRIPLE (package g++-<triple>). The binaries are static, so the very same ones run
# on Android, whose libc they never load.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${VORN_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${VORN_TRIPLE}-gcc)
# A cross compiler's libraries live in /usr/<triple>: search only there for the target's
# libraries and headers, and only the host for programs. The host's own triple has no such
# tree and needs no fence.
if(EXISTS /usr/${VORN_TRIPLE})
  set(CMAKE_FIND_ROOT_PATH /usr/${VORN_TRIPLE})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
