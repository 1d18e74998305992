# Cross build for Windows with mingw-w64 (POSIX threads), linked statically.
# Included by mingw-i686.cmake and mingw-x86_64.cmake with TEMP_MINGW_ARCH set.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TEMP_MINGW_ARCH})
set(CMAKE_C_COMPILER ${TEMP_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${TEMP_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${TEMP_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TEMP_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The host's pkg-config files (libusb) are not for this target.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/${TEMP_MINGW_ARCH}-w64-mingw32/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
