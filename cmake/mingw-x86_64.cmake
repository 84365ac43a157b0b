# Cross toolchain for the 64-bit Windows DLL (x86_64-w64-mingw32, Debian 12).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
#         -DZENTREL_WINDOWS_PREFIX=/abs/path/to/prefix ...
#
# ZENTREL_WINDOWS_PREFIX is where the cross-built static codecs and OpenCV
# live; it may also come from the environment variable of the same name.
# x86-64 computes scalar float maths in SSE2 already.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZENTREL_MINGW_TRIPLET x86_64-w64-mingw32)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
