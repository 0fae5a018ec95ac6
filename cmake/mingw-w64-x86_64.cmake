# Cross-build for 64-bit Windows with Debian's MinGW-w64 (the POSIX-threads flavour: the
# standard library's std::thread and std::mutex need it). The programs link statically, the
# compiler's run-time and winpthreads included, so that an .exe runs on a bare Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VBC_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VBC_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VBC_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VBC_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VBC_MINGW_PREFIX})
# Programs run on the build machine; headers and libraries come from the MinGW tree only:
# the packages the build needs are provided by cmake/VbcWindowsDependencies.cmake, without
# /usr/include, whose C library headers are Linux ones.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The test runner (ctest) starts the .exe files through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
