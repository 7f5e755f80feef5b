# Android's x86_64 ABI with Debian's x86_64-linux-gnu g++ (the host's own on amd64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VORN_TRIPLE x86_64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
