/*
 * Zentrel extended API: the repeat unit of a pattern and the tile itself,
 * suggested corners for rectification, error text without reading standard
 * output, trace lines sent to a callback, and the repeat candidates and
 * corner order behind the seven's results.
 *
 * These functions are exported by the shared library (libzentrel.so) next to
 * the seven of zentrel.h, and share their library-wide lock: every call,
 * from any thread, runs while no other call of the library is running. On
 * Windows they are the exports of zentrel_ext.dll, a library of its own
 * beside zentrel.dll, which keeps exactly the seven.
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
/**
 * The call did its work. A tile estimate that found no repeat, and a search
 * that found no quadrilateral, are successes.
 */
#define ZENTREL_OK 0
/** A null path, a null result, or a result whose `size` is too small. */
#define ZENTREL_ERROR_ARGUMENT (-1)
/** The image is missing, unreadable, or not an image the decoder knows. */
#define ZENTREL_ERROR_UNREADABLE (-2)
/** The work stopped on an error inside the library (the error text says which). */
#define ZENTREL_ERROR_INTERNAL (-3)
/**
 * The tile cannot be written where asked: the output's folder is missing or
 * not writable, the output is the input image itself, a folder or a
 * read-only file, or its format cannot hold the image.
 */
#define ZENTREL_ERROR_OUTPUT (-4)
/** No tile: the image shows no repeat, or the tile given does not fit it. */
#define ZENTREL_ERROR_NO_REPEAT (-5)
/** The tile is too large to resample. */
#define ZENTREL_ERROR_TOO_LARGE (-6)

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

/* How zentrel_extract_tile makes one tile of the repeats: `combine`. */
/** Value by value, the median: ignores a stain, a fold or glare on a few repeats. */
#define ZENTREL_COMBINE_MEDIAN 0
/** Value by value, the mean: the least noise where every repeat is sound. */
#define ZENTREL_COMBINE_MEAN 1
/** No combination: the one repeat nearest the median, as it is. */
#define ZENTREL_COMBINE_NONE 2

/* The file zentrel_extract_tile writes: `format`. */
/** The format the output path's extension names (.png, .tif or .tiff, .jpg or .jpeg). */
#define ZENTREL_FORMAT_BY_EXTENSION 0
/** PNG: 8 or 16 bits, grey or colour, with or without alpha. */
#define ZENTREL_FORMAT_PNG 1
/** TIFF: as PNG, and 32-bit floating point. */
#define ZENTREL_FORMAT_TIFF 2
/** JPEG, only when asked for: lossy, 8-bit grey or colour without alpha. */
#define ZENTREL_FORMAT_JPEG 3

/* Whether neighbouring units are mirror images: the `mirror` field of ZentrelTile. */
/** Neighbouring units are plain copies (or no repeat was found). */
#define ZENTREL_MIRROR_NONE 0
/** Neighbours left and right are mirror images: the unit flips across its vertical edges. */
#define ZENTREL_MIRROR_H 1
/** Neighbours above and below are mirror images: the unit flips across its horizontal edges. */
#define ZENTREL_MIRROR_V 2
/** Both: each neighbour across or down is the unit's mirror image. */
#define ZENTREL_MIRROR_HV 3

/** A point or a displacement in input pixels; x to the right, y downwards. */
typedef struct ZentrelPoint {
    double x;
    double y;
} ZentrelPoint;

/**
 * The repeat unit of a pattern, filled by zentrel_estimate_tile.
 *
 * The struct grows at its end. The caller sets `size` to sizeof(ZentrelTile)
 * of the header it was compiled with. The library accepts any size from 88
 * (the struct up to `confidence`, its first version) and writes only the
 * fields that fit wholly in it: a host built against an older header gets
 * what it knows, with the same meaning, and nothing past its struct is
 * touched. Fields of a newer, bigger struct that this library does not know
 * are left as the caller set them (zero the struct first to recognise them).
 *
 * The layout has fixed-size fields in this order, doubles 8-aligned: 88
 * bytes up to `confidence`, 128 in all, on 32- and 64-bit Windows and 64-bit
 * Linux alike (a C# host marshals it with LayoutKind.Sequential).
 *
 * `width`, `height`, `match` and the vectors always describe the
 * translational repeat: the tile that reprints the pattern by plain
 * repetition. A mirrored pattern's unit, half that tile along each mirrored
 * axis, is in `unit_width`, `unit_height` and `mirror`.
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
    /**
     * The top-left corner of one whole tile lying inside the image (inside
     * the region); for a mirrored pattern it lies on a mirror axis.
     */
    ZentrelPoint origin;
    /** 0 to 1: how well the image agrees with itself shifted by the vectors. */
    double confidence;

    /* Written only when `size` holds them. */
    /**
     * The unit's width: `width`, or half of it when neighbours left and
     * right are mirror images (ZENTREL_MIRROR_H or _HV).
     */
    double unit_width;
    /** The unit's height: `height`, or half of it for ZENTREL_MIRROR_V or _HV. */
    double unit_height;
    /** ZENTREL_MIRROR_NONE, _H, _V or _HV; only a straight repeat is mirrored. */
    int32_t mirror;
    /**
     * The box, in whole input pixels, where the image agrees with itself
     * under the lattice: the whole image when the pattern fills it, less when
     * it covers part of the frame (a swatch on a table). It holds at least
     * two repeats each way. All 0 when not found.
     */
    int32_t region_x;
    int32_t region_y;
    int32_t region_width;
    int32_t region_height;
} ZentrelTile;

/**
 * How zentrel_extract_tile makes and writes the tile. A null pointer means
 * the defaults: the median, no flattening, the format by extension and the
 * input's own resolution.
 *
 * Like ZentrelTile it starts with its size and grows at its end: the caller
 * sets `size` to sizeof(ZentrelExportOptions) of its header; fields beyond
 * the caller's size take their defaults.
 */
typedef struct ZentrelExportOptions {
    /** Set by the caller to sizeof(ZentrelExportOptions); at least 24. */
    uint32_t size;
    /** ZENTREL_COMBINE_MEDIAN (0), _MEAN or _NONE. */
    int32_t combine;
    /** Nonzero: divide out uneven lighting, measured on the repeats, first. */
    int32_t flatten;
    /** ZENTREL_FORMAT_BY_EXTENSION (0), _PNG, _TIFF or _JPEG; must agree with the extension. */
    int32_t format;
    /** Above 0: the resolution in pixels per inch, whatever the input records; 0: the input's. */
    double dpi;
} ZentrelExportOptions;

/**
 * What zentrel_extract_tile wrote. Starts with its size and grows at its
 * end, as ZentrelTile: the library fills the fields that fit in `size`.
 */
typedef struct ZentrelExportResult {
    /** Set by the caller to sizeof(ZentrelExportResult); at least 88; never written. */
    uint32_t size;
    /** The tile's size in whole pixels. */
    int32_t width;
    int32_t height;
    /** How copies of the tile are offset: ZENTREL_MATCH_STRAIGHT, _HALF_DROP or _HALF_BRICK. */
    int32_t match;
    /** How many repeats were combined (1 for ZENTREL_COMBINE_NONE). */
    int32_t repeats;
    /** The format written: ZENTREL_FORMAT_PNG, _TIFF or _JPEG. */
    int32_t format;
    /** 1 when the resolution, and so the physical size below, is known. */
    int32_t physical;
    /** 1 when the resolution was written into the file too. */
    int32_t recorded;
    /**
     * The gradient energy across the tile's wrap-around edges against that
     * across the same lines in the image: 1.0 for seams no one can find.
     */
    double seam_score;
    /** Pixels per inch across and down, when known; else 0. */
    double dpi_x;
    double dpi_y;
    /** The tile's printed size, when the resolution is known; else 0. */
    double width_mm;
    double height_mm;
    double width_in;
    double height_in;
} ZentrelExportResult;

/**
 * The dominant quadrilateral of a photo (a page, a painting, a sheet of
 * fabric, a framed sample), filled by zentrel_find_quad.
 *
 * The same size rule as ZentrelTile: the caller sets `size` to
 * sizeof(ZentrelQuad); the library refuses a smaller size and fills only the
 * fields it knows. Every field has a fixed size and natural alignment (no
 * padding before `corners`), so hosts that marshal structs sequentially, as
 * C# does with LayoutKind.Sequential, read it as C does.
 */
typedef struct ZentrelQuad {
    /** Set by the caller to sizeof(ZentrelQuad); never written by the library. */
    uint32_t size;
    /** 1 when a quadrilateral was found and the fields below describe it; 0 otherwise. */
    int32_t found;
    /**
     * Its corners in input pixels, sub-pixel, in the order SavePerspectiveImage
     * maps them (zentrel_order_corners): top-left, top-right, bottom-right,
     * bottom-left. All 0 when not found.
     */
    ZentrelPoint corners[4];
    /** 0 to 1: how clearly its four sides stand out as edges; 0 when not found. */
    double confidence;
} ZentrelQuad;

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
 * `path`, null `result`, or `result->size` below 88),
 * ZENTREL_ERROR_UNREADABLE or ZENTREL_ERROR_INTERNAL, and traces one error
 * line, which zentrel_last_error returns. On failure the fields the library
 * writes are reset to 0 when `result` is usable, so an
 * earlier result is never mistaken for this one.
 */
ZENTREL_API int ZENTREL_CALL zentrel_estimate_tile(const char* path, ZentrelTile* result);

/**
 * Writes the tile of the image at `path` to the file `output`: the one image
 * that, repeated with its match, reprints the pattern.
 *
 * `tile` is a repeat unit from zentrel_estimate_tile (of this image, or of
 * another one of the same pattern at the same scale); null to estimate it
 * here. Its lattice is resampled onto a tile of whole pixels (an even height
 * for a half-drop, an even width for a half-brick) with one interpolation,
 * or copied where the repeats already lie on whole pixels; every whole
 * repeat at its origin's phase is found where it really lies, and they are
 * combined as `options` say. Depth and alpha are kept. A mirrored pattern
 * gives its translational tile, which reprints it by plain repetition.
 * Only repeats inside the tile's region are used, when its `size` holds the
 * region and the region is not all 0 (then the whole image is used).
 *
 * `output` is the file to write, never the input itself; it is written to a
 * temporary name in its folder and renamed when complete, so it is either
 * left as it was or holds the whole tile. The resolution (`options->dpi`, or
 * the input's own from its PNG, JPEG or TIFF metadata) is written into it
 * where this build can (`recorded`) and gives the physical size.
 *
 * Returns ZENTREL_OK when the tile was written. Otherwise
 * ZENTREL_ERROR_ARGUMENT (a null path, output or result, a struct smaller
 * than its first version, an unknown mode or format, a negative
 * resolution), ZENTREL_ERROR_OUTPUT, ZENTREL_ERROR_UNREADABLE,
 * ZENTREL_ERROR_NO_REPEAT, ZENTREL_ERROR_TOO_LARGE or
 * ZENTREL_ERROR_INTERNAL, with one error line traced (and returned by
 * zentrel_last_error); nothing is written, and the result's known fields
 * are reset to 0. A success traces nothing and keeps no state.
 */
ZENTREL_API int ZENTREL_CALL zentrel_extract_tile(const char* path, const ZentrelTile* tile,
                                                  const char* output,
                                                  const ZentrelExportOptions* options,
                                                  ZentrelExportResult* result);

/**
 * Finds the dominant quadrilateral of the image at `path`, the corners to
 * suggest for SavePerspectiveImage, and fills `*result`.
 *
 * `path` is read as for zentrel_estimate_tile, and this call likewise keeps
 * nothing and traces nothing when it succeeds. Images of texture, tilings,
 * noise or a flat colour give none rather than a chance quadrilateral.
 *
 * Returns ZENTREL_OK when the image was searched, whether or not a
 * quadrilateral was found: `result->found` tells. Otherwise returns
 * ZENTREL_ERROR_ARGUMENT (null `path`, null `result`, or `result->size`
 * below sizeof(ZentrelQuad) of this version), ZENTREL_ERROR_UNREADABLE or
 * ZENTREL_ERROR_INTERNAL, traces one error line, which zentrel_last_error
 * returns, and resets the fields the library knows to 0 when `result` is
 * usable.
 */
ZENTREL_API int ZENTREL_CALL zentrel_find_quad(const char* path, ZentrelQuad* result);

/**
 * Why the calling thread's last working call failed: the text of the error
 * line it traced, without the newline. Empty ("") exactly when that call
 * succeeded, or before this thread made any working call. Working calls are
 * ShowRepeatPoints, SavePerspectiveImage, zentrel_estimate_tile,
 * zentrel_extract_tile and zentrel_find_quad; the getters and the other
 * functions of this header leave it as it is. (One failure traces no error line: a repeat analysis
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
 * "none", "mirror-h", "mirror-v" or "mirror-hv" for ZENTREL_MIRROR_NONE, _H,
 * _V or _HV; null for any other value. The strings are static.
 */
ZENTREL_API const char* ZENTREL_CALL zentrel_mirror_name(int mirror);

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
