# Shared part of the mingw-w64 toolchain files. The including file sets
# TAVRIK_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR.
#
# TAVRIK_MINGW_THREADS picks Debian's compiler variant: "win32" (the default,
# used for the product) or "posix" (needed by GoogleTest, which uses
# std::mutex).
set(CMAKE_SYSTEM_NAME Windows)

if(NOT TAVRIK_MINGW_THREADS)
  if(DEFINED ENV{TAVRIK_MINGW_THREADS})
    set(TAVRIK_MINGW_THREADS "$ENV{TAVRIK_MINGW_THREADS}")
  else()
    set(TAVRIK_MINGW_THREADS win32)
  endif()
endif()
# try_compile projects read this file again; hand the choice on to them.
set(ENV{TAVRIK_MINGW_THREADS} "${TAVRIK_MINGW_THREADS}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVRIK_MINGW_THREADS)

set(CMAKE_C_COMPILER ${TAVRIK_MINGW_TRIPLET}-gcc-${TAVRIK_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TAVRIK_MINGW_TRIPLET}-g++-${TAVRIK_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TAVRIK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into the executable: it imports system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The release exe is built for size and stripped.
set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "Build type")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL_INIT "-s")
