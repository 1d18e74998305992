# 64-bit ARM (Debian arm64) with g++-aarch64-linux-gnu; tests under qemu-aarch64-static.
set(TEMP_CROSS_TRIPLET aarch64-linux-gnu)
set(TEMP_CROSS_PROCESSOR aarch64)
set(TEMP_CROSS_DEB_ARCH arm64)
set(TEMP_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
