/*
 * Zentrel extended API: the repeat unit of a pattern, error text without
 * reading standard output, trace lines sent to a callback, and the
 * repeat candidates and corner order behind the seven's results.
 *
 * These functions are exported by the shared library (libzentrel.so) next to
 * the seven of zentrel.h, and share their library-wide lock: every call,
 * from any thread, runs while no other call of the library is running. The
 * Windows DLL does not export them yet; it keeps exactly the seven.
 *
 * Unlike the seven, a working call here returns a status code. It still
 * writes its error line to the trace on failure, exactly as the seven do.
 *
 * This header compiles as C and as C++.
 */
#ifndef ZENTREL_ZENTREL_EXT_H
#define ZENTREL_ZENTREL_EXT_H

#include <stdint.h>

#include "zentrel/zentrel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of the working calls of this header. */
/** The call did its work. A tile estimate that found no repeat is a success. */
#define ZENTREL_OK 0
/** A null path, a null result, or a result whose `size` is too small. */
#define ZENTREL_ERROR_ARGUMENT (-1)
/** The image is missing, unreadable, or not an image the decoder knows. */
#define ZENTREL_ERROR_UNREADABLE (-2)
/** The work stopped on an error inside the library (the error text says which). */
#define ZENTREL_ERROR_INTERNAL (-3)

/* How neighbouring tiles are offset: the `match` field of ZentrelTile. */
/** No repeat was found; every other field is 0. */
#define ZENTREL_MATCH_NONE 0
/** Tiles side by side in rows and columns: vectors (w, 0) and (0, h). */
#define ZENTREL_MATCH_STRAIGHT 1
/** Each column dropped by half a tile against its neighbour: (w, h/2) and (0, h). */
#define ZENTREL_MATCH_HALF_DROP 2
/** Each row shifted by half a tile against its neighbour: (w/2, h) and (w, 0). */
#define ZENTREL_MATCH_HALF_BRICK 3
/** Any other lattice; the two vectors describe it. */
#define ZENTREL_MATCH_OTHER 4

/** A point or a displacement in input pixels; x to the right, y downwards. */
typedef struct ZentrelPoint {
    double x;
    double y;
} ZentrelPoint;

/**
 * The repeat unit of a pattern, filled by zentrel_estimate_tile.
 *
 * The struct grows at its end in later versions. The caller sets `size` to
 * sizeof(ZentrelTile) of the header it was compiled with; the library
 * refuses a size below the one it knows and fills only the fields it knows
 * of a bigger struct, leaving the rest as the caller set them (zero the
 * struct first to recognise fields an older library did not fill).
 */
typedef struct ZentrelTile {
    /** Set by the caller to sizeof(ZentrelTile); never written by the library. */
    uint32_t size;
    /** 1 when the image repeats and the fields below describe it; 0 for no repeat. */
    int32_t found;
    /** ZENTREL_MATCH_STRAIGHT, _HALF_DROP, _HALF_BRICK or _OTHER; _NONE when not found. */
    int32_t match;
    /** The tile as a designer states it (the repeat's width), in input pixels. */
    double width;
    /** The tile's height, in input pixels. */
    double height;
    /** The shorter of the two lattice vectors that span the pattern, sub-pixel. */
    ZentrelPoint vector_a;
    /** The other lattice vector; every repeat is a whole combination of the two. */
    ZentrelPoint vector_b;
    /** The top-left corner of one whole tile lying inside the image. */
    ZentrelPoint origin;
    /** 0 to 1: how well the image agrees with itself shifted by the vectors. */
    double confidence;
} ZentrelTile;

/**
 * Receives one trace line; see zentrel_set_trace_callback.
 * `line` is NUL-terminated, without the newline, and valid only during the
 * call; `user` is the pointer given with the callback.
 */
typedef void(ZENTREL_CALL* ZentrelTraceFn)(const char* line, void* user);

/**
 * Estimates the repeat unit (lattice and tile) of the image at `path` and
 * fills `*result`.
 *
 * `path` is a NUL-terminated path in the system's narrow encoding, as for
 * ShowRepeatPoints; the image is read with its own channel count and depth.
 * This call keeps nothing: it changes neither the rectangle of the getters
 * nor the call counters of the seven, and traces nothing when it succeeds.
 *
 * Returns ZENTREL_OK when the image was analysed, whether or not it repeats:
 * `result->found` tells. Otherwise returns ZENTREL_ERROR_ARGUMENT (null
 * `path`, null `result`, or `result->size` below sizeof(ZentrelTile) of
 * this version), ZENTREL_ERROR_UNREADABLE or ZENTREL_ERROR_INTERNAL, and
 * traces one error line, which zentrel_last_error returns. On failure the
 * fields the library knows are reset to 0 when `result` is usable, so an
 * earlier result is never mistaken for this one.
 */
ZENTREL_API int ZENTREL_CALL zentrel_estimate_tile(const char* path, ZentrelTile* result);

/**
 * Why the calling thread's last working call failed: the text of the error
 * line it traced, without the newline. Empty ("") exactly when that call
 * succeeded, or before this thread made any working call. Working calls are
 * ShowRepeatPoints, SavePerspectiveImage and zentrel_estimate_tile; the
 * getters and the functions of this header other than zentrel_estimate_tile
 * leave it as it is. (One failure traces no error line: a repeat analysis
 * that traced its result line but could not resolve a rectangle; the text is
 * then the reason.)
 *
 * Each thread has its own, as with errno: another thread's calls never
 * change it. Never null. The string belongs to the library and to the
 * calling thread: it stays valid until this thread calls the library again.
 */
ZENTREL_API const char* ZENTREL_CALL zentrel_last_error(void);

/**
 * Sends every trace line of the library (the seven functions included) to
 * `fn` instead of standard output; a null `fn` restores standard output,
 * the default.
 *
 * `fn` is called once per line, without the newline, on the thread that made
 * the call and while the library's lock is held: it must not call any
 * function of the library (that would wait forever) and should return
 * quickly. A line holds a newline character only where a path in it does.
 * The setting applies to every thread and stays until changed.
 */
ZENTREL_API void ZENTREL_CALL zentrel_set_trace_callback(ZentrelTraceFn fn, void* user);

/**
 * The candidate centres of the last repeat analysis (ShowRepeatPoints, from
 * any thread), best first, in whole input pixels: the points the repeat
 * rectangle was chosen from.
 *
 * Copies up to `capacity` of them into `points` and returns how many there
 * are, which may be more; call with a null `points` (or `capacity` 0) to ask
 * for the count. 0 before the first analysis and after one that stopped
 * before its search.
 */
ZENTREL_API int ZENTREL_CALL zentrel_repeat_candidates(ZentrelPoint* points, int capacity);

/**
 * Puts four corners in the order SavePerspectiveImage maps them, in place:
 * top-left, top-right, bottom-right, bottom-left. The two corners with the
 * smallest y form the top pair, and each pair is ordered by x; ties fall as
 * they do for the rectification, which runs this very code. Coordinates are
 * taken, and written back, in single precision, as the rectification takes
 * them. A null `corners` is ignored.
 */
ZENTREL_API void ZENTREL_CALL zentrel_order_corners(ZentrelPoint corners[4]);

/**
 * "straight", "half-drop", "half-brick", "other", or "none" for
 * ZENTREL_MATCH_NONE; null for any other value. The strings are static.
 */
ZENTREL_API const char* ZENTREL_CALL zentrel_match_name(int match);

/**
 * The version of the loaded library, ZENTREL_VERSION_STRING as it was built
 * ("MAJOR.MINOR.PATCH"); a host compares it with the header it was compiled
 * with. Static.
 */
ZENTREL_API const char* ZENTREL_CALL zentrel_version(void);

#ifdef __cplusplus
}
#endif

#endif /* ZENTREL_ZENTREL_EXT_H */
