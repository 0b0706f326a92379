# Cross-compiling for 64-bit Windows with Debian's mingw-w64:
#   cmake -S . -B build-win64 -G Ninja --toolchain cmake/toolchains/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAVRIK_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
