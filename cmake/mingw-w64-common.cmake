# What the mingw-w64 toolchains of both Windows DLLs share; included by
# mingw-i686.cmake and mingw-x86_64.cmake after they set
# ZENTREL_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR.

set(CMAKE_SYSTEM_NAME Windows)
set(_zentrel_triplet ${ZENTREL_MINGW_TRIPLET})

# The posix thread-model compilers: the default (win32) flavour of GCC 12 has
# no std::thread/std::mutex, which OpenCV needs.
set(CMAKE_C_COMPILER ${_zentrel_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_zentrel_triplet}-g++-posix)
set(CMAKE_AR ${_zentrel_triplet}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_zentrel_triplet}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_RC_COMPILER ${_zentrel_triplet}-windres)

# try_compile() re-reads this file in a fresh project; pass the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZENTREL_WINDOWS_PREFIX)
if(NOT ZENTREL_WINDOWS_PREFIX AND DEFINED ENV{ZENTREL_WINDOWS_PREFIX})
  set(ZENTREL_WINDOWS_PREFIX "$ENV{ZENTREL_WINDOWS_PREFIX}")
endif()
set(ZENTREL_WINDOWS_PREFIX "${ZENTREL_WINDOWS_PREFIX}" CACHE PATH
    "Install prefix of the cross-built static dependencies")

# The mingw sysroot provides libm and the Win32 import libraries.
set(CMAKE_FIND_ROOT_PATH /usr/${_zentrel_triplet})
if(ZENTREL_WINDOWS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH "${ZENTREL_WINDOWS_PREFIX}")
  list(APPEND CMAKE_PREFIX_PATH "${ZENTREL_WINDOWS_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the GCC runtime and winpthreads in, so the DLL imports nothing beyond
# KERNEL32.dll and msvcrt.dll. A missing runtime DLL makes the host fail to
# load us without any message.
set(_zentrel_static_link "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_zentrel_static_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_zentrel_static_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_zentrel_static_link}")
# Release is what ships: drop the 4 MB of symbols and debug sections that the
# static runtime brings along. RelWithDebInfo keeps them for debugging.
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
