# Cross toolchain for the 32-bit Windows DLL (i686-w64-mingw32, Debian 12).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DZENTREL_WINDOWS_PREFIX=/abs/path/to/prefix ...
#
# ZENTREL_WINDOWS_PREFIX is where the cross-built static codecs and OpenCV
# live; it may also come from the environment variable of the same name.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZENTREL_MINGW_TRIPLET i686-w64-mingw32)

# Every host we ship to has SSE2. Using it for scalar float maths too keeps
# results in step with the x86-64 build; x87 extended precision rounds
# single-precision values differently in the last bit.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
