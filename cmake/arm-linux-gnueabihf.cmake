# 32-bit ARM, ARMv7 hard float (Debian armhf) with g++-arm-linux-gnueabihf; tests under qemu-arm-static.
set(TEMP_CROSS_TRIPLET arm-linux-gnueabihf)
set(TEMP_CROSS_PROCESSOR armv7l)
set(TEMP_CROSS_DEB_ARCH armhf)
set(TEMP_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
