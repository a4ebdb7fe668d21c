# Cross-compiles for 64-bit Windows with Debian's mingw-w64, posix threads
# (what the static Qt was built with). Qt for Windows comes from
# AXR574_WINDOWS_QT; its tools (moc, uic, rcc) are the build machine's Qt 6.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DAXR574_WINDOWS_QT=<Qt prefix> ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Compiler checks read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AXR574_WINDOWS_QT)

# Libraries, headers and packages come from the Windows side only; programs
# run here, so they are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${AXR574_WINDOWS_QT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(QT_HOST_PATH /usr CACHE PATH "Qt 6 of the build machine, whose tools the build runs")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "CMake packages of that Qt")
