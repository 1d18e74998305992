# 32-bit ARM, ARMv7 hard float (Debian armhf) with g++-arm-linux-gnueabihf; tests under qemu-arm-static.
set(TEMP_CROSS_TRIPLET arm-linux-gnueabihf)
set(TEMP_CROSS_PROCESSOR armv7l)
set(TEMP_CROSS_DEB_ARCH armhf)
set(TEMP_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
# GCC notes on every std::vector iterator passed by value that its parameter
# passing changed in GCC 7.1; everything here is built by one GCC 12.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
