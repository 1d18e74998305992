# Cross build for a Debian ARM architecture with Debian's cross compilers and
# multiarch libraries. Included by aarch64-linux-gnu.cmake and
# arm-linux-gnueabihf.cmake with TEMP_CROSS_TRIPLET and TEMP_CROSS_PROCESSOR set.
# Test programs run through qemu-user (Debian qemu-user-static), called directly:
# binfmt_misc need not be mounted.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TEMP_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${TEMP_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TEMP_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TEMP_CROSS_TRIPLET})
# Headers and libraries from the target's multiarch folders, programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TEMP_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu /lib/x86_64-linux-gnu)
# pkg-config reads only the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${TEMP_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# Its library prefix is the build machine's root, so the programs load Debian's
# multiarch C and C++ runtime (libc6:ARCH, libstdc++6:ARCH), as on a board. The
# cross compiler's own copy in /usr/TRIPLET (libc6-*-cross, 2.36-8cross1) hangs
# (arm64) or crashes (armhf) in the child of every fork() under qemu-user 7.2.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TEMP_CROSS_QEMU} -L /)
# The Debian architecture of the packages CPack makes.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TEMP_CROSS_DEB_ARCH})
set(TEMP_CROSS_DEB_ARCH ${TEMP_CROSS_DEB_ARCH} CACHE INTERNAL "")
# Qt 6 of the target (qt6-base-dev:ARCH and so on) with the build machine's Qt tools (moc, rcc, uic).
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake)
