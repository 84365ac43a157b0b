# Cross toolchain for the 32-bit Windows DLL (i686-w64-mingw32, Debian 12).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DZENTREL_WINDOWS_PREFIX=/abs/path/to/prefix ...
#
# ZENTREL_WINDOWS_PREFIX is where the cross-built static codecs and OpenCV
# live; it may also come from the environment variable of the same name.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(_zentrel_triplet i686-w64-mingw32)

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

# Every host we ship to has SSE2. Using it for scalar float maths too keeps
# results in step with the x86-64 build; x87 extended precision rounds
# single-precision values differently in the last bit.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
# (scripts/build-windows reuses a built dependency prefix: bump its DEPS_REV
# when compile flags here change.)

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
