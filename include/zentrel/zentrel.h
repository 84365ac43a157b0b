/*
 * Zentrel: repeat detection and perspective rectification of image files.
 *
 * The library is reached only through the seven functions below. They share
 * one library-wide result state: the two working functions write it, the five
 * getters read it back. No function returns a status; every working call
 * writes a few trace lines to the process's standard output, and those lines
 * are the only record of what happened (an error becomes one plain English
 * line naming the cause and the offending value).
 *
 * Calls are serialized by one library-wide lock, so overlapping calls from
 * several threads are safe but run one at a time.
 *
 * This header compiles as C and as C++.
 */
#ifndef ZENTREL_ZENTREL_H
#define ZENTREL_ZENTREL_H

/* ZENTREL_VERSION_MAJOR, _MINOR and _PATCH, generated with the build. */
#include "zentrel/zentrel_version.h"

#define ZENTREL_STRINGIFY_(x) #x
#define ZENTREL_STRINGIFY(x) ZENTREL_STRINGIFY_(x)
/* "MAJOR.MINOR.PATCH" */
#define ZENTREL_VERSION_STRING              \
    ZENTREL_STRINGIFY(ZENTREL_VERSION_MAJOR) \
    "." ZENTREL_STRINGIFY(ZENTREL_VERSION_MINOR) "." ZENTREL_STRINGIFY(ZENTREL_VERSION_PATCH)
/* 10000 * major + 100 * minor + patch, for compile-time comparisons. */
#define ZENTREL_VERSION_NUMBER \
    (ZENTREL_VERSION_MAJOR * 10000 + ZENTREL_VERSION_MINOR * 100 + ZENTREL_VERSION_PATCH)

/*
 * ZENTREL_API marks the seven exported functions. The build of the library
 * itself defines ZENTREL_BUILDING_LIBRARY; consumers define nothing.
 * ZENTREL_STATIC is for code linked against the static core instead.
 */
#if defined(_WIN32)
#  if defined(ZENTREL_STATIC)
#    define ZENTREL_API
#  elif defined(ZENTREL_BUILDING_LIBRARY)
#    define ZENTREL_API __declspec(dllexport)
#  else
#    define ZENTREL_API __declspec(dllimport)
#  endif
#  define ZENTREL_CALL __cdecl
#else
#  if defined(__GNUC__) || defined(__clang__)
#    define ZENTREL_API __attribute__((visibility("default")))
#  else
#    define ZENTREL_API
#  endif
#  define ZENTREL_CALL
#endif

/* One UTF-16 code unit: what ReturnPath points to. */
#if defined(_WIN32)
#  include <wchar.h>
typedef wchar_t ZentrelWideChar;
#elif defined(__cplusplus)
typedef char16_t ZentrelWideChar;
#else
#  include <uchar.h>
typedef char16_t ZentrelWideChar;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Finds one repeat rectangle (the pattern's tile) in the image at `path`.
 *
 * `path` is a NUL-terminated path in the system's narrow encoding (the ANSI
 * code page on Windows, UTF-8 elsewhere); any format the imaging library
 * decodes is read with its own channel count and depth.
 *
 * Traces "Show F5 Count = N", "C++ ImgURL = PATH" and, when the analysis ran,
 * "Repeat_x = X Repeat_y = Y Repeat_width = W Repeat_height = H".
 * The rectangle is then read with ReturnX, ReturnY, ReturnW and ReturnH.
 *
 * A null path, an image that cannot be read, or one whose shape cannot be
 * scaled to the 600-column working width (working height 0 or above 20000
 * rows) traces one error line instead of the result line; the getters keep
 * the previous rectangle.
 */
ZENTREL_API void ZENTREL_CALL ShowRepeatPoints(const char* path);

/**
 * Warps the quadrilateral with corners (x1,y1) .. (x4,y4), given in any
 * order, to an upright rectangle and saves it beside the input.
 *
 * The input path is `savePath` + `imageName` + "." + `imageExt` (nothing is put
 * between the first two pieces, so a directory separator must end `savePath`)
 * and must be shorter than 200 characters. The output is written to the same
 * path with "_pers" before the extension's dot, in the format the extension
 * names, and that output path is copied back into `savePath`: the caller's
 * buffer must hold the joined path plus 6 bytes (205 bytes always suffice).
 *
 * Traces "Pers F5 Count = N", "maxW = ", "maxH = ",
 * "tmpSavePath = Original Image Path<input>", "persImageSavePath = <output>",
 * "FinalSavePath = <output>" and "Complete SaveImage".
 *
 * On a null path piece, a degenerate or oversized output (width or height
 * below 1, more than 2^30 pixels), an input path of 200 characters or more, or
 * an unreadable image, one error line is traced, no file is written and
 * `savePath` and ReturnPath are unchanged. A failed write traces an error line
 * instead of "Complete SaveImage"; `savePath` and ReturnPath then already
 * hold the output path.
 */
ZENTREL_API void ZENTREL_CALL SavePerspectiveImage(int x1, int x2, int x3, int x4, int y1, int y2,
                                                   int y3, int y4, char* savePath,
                                                   const char* imageName, const char* imageExt);

/** x of the last repeat rectangle found, in input pixels; 0 until one is found. */
ZENTREL_API int ZENTREL_CALL ReturnX(void);
/** y of the last repeat rectangle found; 0 until one is found. */
ZENTREL_API int ZENTREL_CALL ReturnY(void);
/** Width of the last repeat rectangle found; 0 until one is found. */
ZENTREL_API int ZENTREL_CALL ReturnW(void);
/** Height of the last repeat rectangle found; 0 until one is found. */
ZENTREL_API int ZENTREL_CALL ReturnH(void);

/**
 * The output path of the last SavePerspectiveImage call that reached its
 * publishing step, as NUL-terminated UTF-16; null before the first one.
 * The library owns the buffer: it stays valid until the next
 * SavePerspectiveImage call (from any thread) and must not be freed.
 */
ZENTREL_API const ZentrelWideChar* ZENTREL_CALL ReturnPath(void);

#ifdef __cplusplus
}
#endif

#endif /* ZENTREL_ZENTREL_H */
