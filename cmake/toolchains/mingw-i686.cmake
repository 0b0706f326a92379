# Cross-compiling for 32-bit Windows with Debian's mingw-w64:
#   cmake -S . -B build-win32 -G Ninja --toolchain cmake/toolchains/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TAVRIK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
