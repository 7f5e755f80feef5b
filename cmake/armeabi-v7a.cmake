# Android's armeabi-v7a ABI with Debian's g++-arm-linux-gnueabihf, whose defaults (ARMv7-A,
# Thumb-2, VFPv3-D16) are the ABI's own. Its hard-float calling convention differs from
# Android's, which does not matter in a static binary that calls nothing of the system's.
set(CMAKE_SYSTEM_PROCESSOR armv7-a)
set(VORN_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
