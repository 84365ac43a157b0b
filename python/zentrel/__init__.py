"""Zentrel from Python: repeat detection, the repeat unit and the tile itself,
and perspective rectification.

A thin ``ctypes`` layer over the Zentrel shared library; nothing is compiled.
The library is looked for, in this order, at the path in the
``ZENTREL_LIBRARY`` environment variable, next to this package, and on the
system loader's path. On Windows that is ``zentrel_ext.dll``, which carries
the extended API but not the seven, so :func:`repeat` and :func:`rectify`
raise ``OSError`` there.

The binding uses the library's extended API: each call's trace lines arrive
through a callback instead of standard output, which is never touched, and a
failed call raises :class:`ZentrelError` with the library's own error line,
read back with ``zentrel_last_error``. Calls are serialized within the
process, since the library keeps one result state.

>>> import zentrel
>>> zentrel.repeat("wall.pgm")
Rect(x=303, y=143, width=64, height=48)
>>> zentrel.rectify("photos/page.jpg", [(10, 12), (580, 8), (590, 790), (4, 800)])
'photos/page_pers.jpg'
>>> zentrel.find_quad("photos/page.jpg")
Quad(corners=((10.2, 12.4), (580.1, 7.6), (590.3, 790.2), (3.8, 800.1)), confidence=0.97)
>>> zentrel.tile("wall.pgm")
Tile(width=64.0, height=48.0, match='straight', vectors=((64.0, 0.0), (0.0, 48.0)), \
origin=(318.0, 226.0), confidence=0.98, mirror='none', unit=(64.0, 48.0), \
region=(0, 0, 700, 500))
>>> zentrel.extract_tile("wall.pgm", "tiles/wall_tile.png", dpi=300)
Export(path='tiles/wall_tile.png', width=64, height=48, match='straight', repeats=81, \
seam_score=1.0, dpi=(300.0, 300.0), size_mm=(5.418666666666667, 4.064), recorded=True)
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, TypeVar, Union

__all__ = ["Export", "Quad", "Rect", "Tile", "ZentrelError", "extract_tile", "find_quad",
           "repeat", "rectify", "tile"]

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
TraceCallback = Callable[[str], None]

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1
# The library asks for this much room in savePath whatever the path's length.
_MIN_SAVE_PATH_BUFFER = 205
_SEPARATORS = b"/\\" if os.name == "nt" else b"/"


class Rect(NamedTuple):
    """A repeat rectangle in the image's own pixels."""

    x: int
    y: int
    width: int
    height: int


_XY = Tuple[float, float]


class Tile(NamedTuple):
    """The repeat unit of a pattern, in the image's own pixels.

    ``width``, ``height`` and ``match`` (``"straight"``, ``"half-drop"``,
    ``"half-brick"`` or ``"other"``) give the tile that reprints the pattern
    by plain repetition; ``vectors`` are the two shortest lattice vectors
    (x, y) that span the pattern; ``origin`` is the top-left corner of one
    whole tile inside the region; ``confidence`` runs from 0 to 1.

    ``mirror`` is ``"none"``, or ``"mirror-h"``, ``"mirror-v"`` or
    ``"mirror-hv"`` when neighbouring units are mirror images left and right,
    above and below, or both; ``unit`` (width, height) is then the tile
    halved along each mirrored axis, otherwise the tile. ``region`` (x, y,
    width, height) is the box where the pattern holds. A Tile made by hand
    may leave these three at their defaults.
    """

    width: float
    height: float
    match: str
    vectors: Tuple[_XY, _XY]
    origin: _XY
    confidence: float
    mirror: str = "none"
    unit: Optional[_XY] = None
    region: Optional[Tuple[int, int, int, int]] = None


class Export(NamedTuple):
    """A tile written by :func:`extract_tile`.

    ``path`` is the file written; ``width`` and ``height`` its size in
    pixels; ``match`` how its copies are offset (``"straight"``,
    ``"half-drop"`` or ``"half-brick"``); ``repeats`` how many repeats were
    combined; ``seam_score`` 1.0 for a tile that adds no seam; ``dpi`` and
    ``size_mm`` (across, down) None unless the resolution is known;
    ``recorded`` whether the resolution is in the file too.
    """

    path: str
    width: int
    height: int
    match: str
    repeats: int
    seam_score: float
    dpi: Optional[_XY]
    size_mm: Optional[_XY]
    recorded: bool


class Quad(NamedTuple):
    """The dominant quadrilateral of a photo, in the image's own pixels.

    ``corners`` are (x, y) pairs, sub-pixel, in the order the rectification
    maps them: top-left, top-right, bottom-right, bottom-left.
    ``confidence`` runs from 0 to 1.
    """

    corners: Tuple[_XY, _XY, _XY, _XY]
    confidence: float


class ZentrelError(Exception):
    """A call that the library could not complete.

    ``message`` is the library's own error line; ``trace`` holds every line
    the call traced, that one included; ``status`` is the status code of a
    call that returns one (:func:`tile`, :func:`extract_tile`,
    :func:`find_quad`), otherwise None.
    """

    def __init__(self, message: str, trace: Sequence[str], status: Optional[int] = None) -> None:
        super().__init__(message)
        self.message = message
        self.trace: List[str] = list(trace)
        self.status = status


class _Point(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]


# ZentrelTile of zentrel_ext.h.
class _TileResult(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("found", ctypes.c_int32), ("match", ctypes.c_int32),
                ("width", ctypes.c_double), ("height", ctypes.c_double),
                ("vector_a", _Point), ("vector_b", _Point), ("origin", _Point),
                ("confidence", ctypes.c_double), ("unit_width", ctypes.c_double),
                ("unit_height", ctypes.c_double), ("mirror", ctypes.c_int32),
                ("region_x", ctypes.c_int32), ("region_y", ctypes.c_int32),
                ("region_width", ctypes.c_int32), ("region_height", ctypes.c_int32)]


# ZentrelExportOptions and ZentrelExportResult of zentrel_ext.h.
class _ExportOptions(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("combine", ctypes.c_int32),
                ("flatten", ctypes.c_int32), ("format", ctypes.c_int32), ("dpi", ctypes.c_double)]


class _ExportResult(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("width", ctypes.c_int32), ("height", ctypes.c_int32),
                ("match", ctypes.c_int32), ("repeats", ctypes.c_int32),
                ("format", ctypes.c_int32), ("physical", ctypes.c_int32),
                ("recorded", ctypes.c_int32), ("seam_score", ctypes.c_double),
                ("dpi_x", ctypes.c_double), ("dpi_y", ctypes.c_double),
                ("width_mm", ctypes.c_double), ("height_mm", ctypes.c_double),
                ("width_in", ctypes.c_double), ("height_in", ctypes.c_double)]


_COMBINATIONS = {"median": 0, "mean": 1, "none": 2}
_FORMATS = {None: 0, "png": 1, "tiff": 2, "jpeg": 3}
_MATCH_CODES = {"straight": 1, "half-drop": 2, "half-brick": 3, "other": 4}


# ZentrelQuad of zentrel_ext.h.
class _QuadResult(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("found", ctypes.c_int32),
                ("corners", _Point * 4), ("confidence", ctypes.c_double)]


_TraceFunction = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)

_call_lock = threading.RLock()
_library: Optional[ctypes.CDLL] = None
# The lines of the call in progress; the library calls back on the calling
# thread while that thread holds _call_lock.
_call_trace: List[bytes] = []


@_TraceFunction
def _collect_trace_line(line: bytes, _user: Optional[int]) -> None:
    _call_trace.append(line)


def _library_candidates() -> Iterator[str]:
    configured = os.environ.get("ZENTREL_LIBRARY")
    if configured:
        # An explicit choice is never silently replaced by another library.
        yield configured
        return
    # On Windows the extended API is zentrel_ext.dll's; zentrel.dll has only
    # the seven, and no way to read their errors.
    windows = os.name == "nt"
    here = os.path.dirname(os.path.realpath(__file__))
    for name in ("zentrel_ext.dll",) if windows else ("libzentrel.so.1", "libzentrel.so"):
        if os.path.isfile(os.path.join(here, name)):
            yield os.path.join(here, name)
    found = ctypes.util.find_library("zentrel_ext" if windows else "zentrel")
    if found:
        yield found
    yield "zentrel_ext.dll" if windows else "libzentrel.so.1"


def _load() -> ctypes.CDLL:
    global _library
    if _library is not None:
        return _library
    failures = []
    for candidate in _library_candidates():
        try:
            library = ctypes.CDLL(candidate)
            break
        except OSError as error:
            failures.append(f"{candidate}: {error}")
    else:
        raise OSError("cannot load the Zentrel library (set ZENTREL_LIBRARY to its path): "
                      + "; ".join(failures))

    try:
        library.zentrel_set_trace_callback.argtypes = [_TraceFunction, ctypes.c_void_p]
    except AttributeError:
        raise OSError(f"{library._name} has no extended API (zentrel_set_trace_callback), "
                      "which the binding needs") from None
    library.zentrel_set_trace_callback.restype = None
    library.zentrel_last_error.argtypes = []
    library.zentrel_last_error.restype = ctypes.c_char_p
    library.zentrel_estimate_tile.argtypes = [ctypes.c_char_p, ctypes.POINTER(_TileResult)]
    library.zentrel_estimate_tile.restype = ctypes.c_int
    library.zentrel_extract_tile.argtypes = [
        ctypes.c_char_p, ctypes.POINTER(_TileResult), ctypes.c_char_p,
        ctypes.POINTER(_ExportOptions), ctypes.POINTER(_ExportResult)]
    library.zentrel_extract_tile.restype = ctypes.c_int
    library.zentrel_find_quad.argtypes = [ctypes.c_char_p, ctypes.POINTER(_QuadResult)]
    library.zentrel_find_quad.restype = ctypes.c_int
    library.zentrel_match_name.argtypes = [ctypes.c_int]
    library.zentrel_match_name.restype = ctypes.c_char_p
    library.zentrel_mirror_name.argtypes = [ctypes.c_int]
    library.zentrel_mirror_name.restype = ctypes.c_char_p
    library.zentrel_version.argtypes = []
    library.zentrel_version.restype = ctypes.c_char_p
    if hasattr(library, "ShowRepeatPoints"):
        library.ShowRepeatPoints.argtypes = [ctypes.c_char_p]
        library.ShowRepeatPoints.restype = None
        library.SavePerspectiveImage.argtypes = [ctypes.c_int] * 8 + [
            ctypes.POINTER(ctypes.c_char), ctypes.c_char_p, ctypes.c_char_p]
        library.SavePerspectiveImage.restype = None
        for getter in ("ReturnX", "ReturnY", "ReturnW", "ReturnH"):
            getattr(library, getter).argtypes = []
            getattr(library, getter).restype = ctypes.c_int
    # The module-level callback object lives as long as the library.
    library.zentrel_set_trace_callback(_collect_trace_line, None)
    _library = library
    return library


def __getattr__(name: str) -> str:
    # ``__version__``: the package is released with the library, so its version
    # is the loaded library's, which the build takes from the project's.
    if name == "__version__":
        with _call_lock:
            version: bytes = _load().zentrel_version()
        return version.decode("ascii")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


_Result = TypeVar("_Result")


def _call(work: Callable[[ctypes.CDLL], _Result]) -> Tuple[_Result, List[str], str]:
    """Runs ``work`` on the library; returns its result, the trace lines of the
    call and the library's error line ("" when the call succeeded)."""
    with _call_lock:
        library = _load()
        del _call_trace[:]
        try:
            result = work(library)
            error = library.zentrel_last_error()
            lines = [line.decode("utf-8", errors="replace") for line in _call_trace]
        finally:
            del _call_trace[:]
    return result, lines, error.decode("utf-8", errors="replace")


def _seven(library: ctypes.CDLL) -> ctypes.CDLL:
    # zentrel_ext.dll carries no seven; their own DLL reports errors only on
    # its standard output, so its results could not be checked.
    if not hasattr(library, "ShowRepeatPoints"):
        raise OSError(f"{library._name} has no ShowRepeatPoints: repeat and rectify need "
                      "a library with the seven and the extended API (libzentrel.so)")
    return library


def _encode(path: StrPath) -> bytes:
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("path contains a NUL byte")
    return encoded


def _report(lines: Sequence[str], trace: Optional[TraceCallback]) -> None:
    if trace is not None:
        for line in lines:
            trace(line)


def _c_int(value: object, what: str) -> int:
    try:
        number = int(value.__index__())  # type: ignore[attr-defined]
    except AttributeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if not _INT_MIN <= number <= _INT_MAX:
        raise ValueError(f"{what} = {number} does not fit a C int")
    return number


def repeat(path: StrPath, *, trace: Optional[TraceCallback] = None) -> Rect:
    """Finds the repeat rectangle (the tile of the repeating pattern) of the
    image at ``path``.

    ``trace``, if given, receives each trace line of the call.
    Raises :class:`ZentrelError` when the image cannot be read or analysed.
    """
    encoded = _encode(path)

    def analyse(library: ctypes.CDLL) -> Rect:
        _seven(library).ShowRepeatPoints(encoded)
        return Rect(library.ReturnX(), library.ReturnY(), library.ReturnW(), library.ReturnH())

    result, lines, error = _call(analyse)
    _report(lines, trace)
    if error:
        raise ZentrelError(error, lines)
    return result


def rectify(path: StrPath, corners: Sequence[Tuple[int, int]], *,
            trace: Optional[TraceCallback] = None) -> str:
    """Warps the quadrilateral with the four ``corners`` ((x, y) pairs, in any
    order) of the image at ``path`` to an upright rectangle, saved beside it as
    NAME_pers.EXT in the format that EXT names. Returns the path written.

    ``trace``, if given, receives each trace line of the call.
    Raises :class:`ZentrelError` when the library did not write the image,
    ``ValueError`` for a file name without an extension or a malformed corner
    list, and ``TypeError`` for corners that are not integers.
    """
    encoded = _encode(path)
    name_start = max(encoded.rfind(bytes([sep])) for sep in _SEPARATORS) + 1
    dot = encoded.rfind(b".")
    if dot < name_start:
        raise ValueError(f"{os.fsdecode(encoded)!r} has no extension, so no NAME_pers.EXT "
                         "can be formed")
    folder, name, extension = encoded[:name_start], encoded[name_start:dot], encoded[dot + 1:]

    points = list(corners)
    if len(points) != 4 or any(len(point) != 2 for point in points):
        raise ValueError("corners must be four (x, y) pairs")
    xs = [_c_int(point[0], f"x of corner {k + 1}") for k, point in enumerate(points)]
    ys = [_c_int(point[1], f"y of corner {k + 1}") for k, point in enumerate(points)]

    save_path = ctypes.create_string_buffer(
        folder, max(_MIN_SAVE_PATH_BUFFER, len(encoded) + len(b"_pers") + 1))
    _, lines, error = _call(
        lambda library: _seven(library).SavePerspectiveImage(*xs, *ys, save_path, name, extension))
    _report(lines, trace)
    if error:
        raise ZentrelError(error, lines)
    return os.fsdecode(save_path.value)


def tile(path: StrPath, *, trace: Optional[TraceCallback] = None) -> Optional[Tile]:
    """Estimates the repeat unit of the image at ``path``: the smallest tile
    that reproduces the pattern and how neighbouring tiles are offset.

    Returns None when the image does not repeat. ``trace``, if given,
    receives each trace line of the call. Raises :class:`ZentrelError` (with
    the library's status code) when the image cannot be read or analysed.
    """
    encoded = _encode(path)
    result = _TileResult()
    result.size = ctypes.sizeof(result)

    def estimate(library: ctypes.CDLL) -> Tuple[int, Optional[bytes], Optional[bytes]]:
        status = library.zentrel_estimate_tile(encoded, ctypes.byref(result))
        return (status, library.zentrel_match_name(result.match),
                library.zentrel_mirror_name(result.mirror))

    (status, match, mirror), lines, error = _call(estimate)
    _report(lines, trace)
    if status != 0:
        raise ZentrelError(error or f"the tile estimate failed with status {status}", lines, status)
    if not result.found:
        return None
    return Tile(result.width, result.height, (match or b"unknown").decode("ascii"),
                ((result.vector_a.x, result.vector_a.y), (result.vector_b.x, result.vector_b.y)),
                (result.origin.x, result.origin.y), result.confidence,
                (mirror or b"unknown").decode("ascii"), (result.unit_width, result.unit_height),
                (result.region_x, result.region_y, result.region_width, result.region_height))


def extract_tile(path: StrPath, output: StrPath, *, tile: Optional[Tile] = None,
                 combine: str = "median", flatten: bool = False, dpi: Optional[float] = None,
                 format: Optional[str] = None, trace: Optional[TraceCallback] = None) -> Export:
    """Writes the tile of the image at ``path`` to ``output``: the one image
    that, repeated with its match, reprints the pattern, made from every
    repeat in the image.

    ``tile`` is the repeat unit to cut (from :func:`tile`, of this image or
    another of the same pattern and scale); None estimates it. ``combine``
    is ``"median"`` (ignores a stain or glare on a few repeats), ``"mean"``
    or ``"none"`` (the best single repeat); ``flatten`` divides out uneven
    lighting first; ``dpi`` is the resolution to record and report, whatever
    the image records (None: the image's own, if any); ``format`` is
    ``"png"``, ``"tiff"`` or ``"jpeg"`` (None: as ``output``'s extension
    says). The file is never the input, and is either written whole or not
    at all.

    Raises :class:`ZentrelError` (with the library's status code) when no
    tile can be written, ``ValueError`` for an unknown ``combine`` or
    ``format`` or a tile of an unknown match.
    """
    if combine not in _COMBINATIONS:
        raise ValueError(f"combine must be one of {', '.join(_COMBINATIONS)}, not {combine!r}")
    if format not in _FORMATS:
        raise ValueError(f"format must be png, tiff, jpeg or None, not {format!r}")
    encoded, target = _encode(path), _encode(output)
    given = None
    if tile is not None:
        if tile.match not in _MATCH_CODES:
            raise ValueError(f"a tile's match is one of {', '.join(_MATCH_CODES)}, "
                             f"not {tile.match!r}")
        (ax, ay), (bx, by) = tile.vectors
        given = _TileResult(ctypes.sizeof(_TileResult), 1, _MATCH_CODES[tile.match], tile.width,
                            tile.height, _Point(ax, ay), _Point(bx, by), _Point(*tile.origin),
                            tile.confidence)
        # The region keeps the export to where the pattern holds; a Tile made
        # by hand without one means the whole image.
        if tile.region is not None:
            (given.region_x, given.region_y, given.region_width,
             given.region_height) = tile.region
    options = _ExportOptions(ctypes.sizeof(_ExportOptions), _COMBINATIONS[combine],
                             1 if flatten else 0, _FORMATS[format], float(dpi or 0.0))
    result = _ExportResult()
    result.size = ctypes.sizeof(result)

    def export(library: ctypes.CDLL) -> Tuple[int, Optional[bytes]]:
        status = library.zentrel_extract_tile(
            encoded, ctypes.byref(given) if given is not None else None, target,
            ctypes.byref(options), ctypes.byref(result))
        return status, library.zentrel_match_name(result.match)

    (status, match), lines, error = _call(export)
    _report(lines, trace)
    if status != 0:
        raise ZentrelError(error or f"the tile export failed with status {status}", lines, status)
    physical = bool(result.physical)
    return Export(os.fsdecode(target), result.width, result.height,
                  (match or b"unknown").decode("ascii"), result.repeats, result.seam_score,
                  (result.dpi_x, result.dpi_y) if physical else None,
                  (result.width_mm, result.height_mm) if physical else None,
                  bool(result.recorded))


def find_quad(path: StrPath, *, trace: Optional[TraceCallback] = None) -> Optional[Quad]:
    """Finds the dominant quadrilateral of the image at ``path`` (a page, a
    painting, a sheet of fabric): the corners to suggest for :func:`rectify`.

    Returns None when the image holds none (texture, tilings, noise, a flat
    colour). ``trace``, if given, receives each trace line of the call.
    Raises :class:`ZentrelError` (with the library's status code) when the
    image cannot be read or searched.
    """
    encoded = _encode(path)
    result = _QuadResult()
    result.size = ctypes.sizeof(result)
    status, lines, error = _call(
        lambda library: library.zentrel_find_quad(encoded, ctypes.byref(result)))
    _report(lines, trace)
    if status != 0:
        raise ZentrelError(error or f"the quadrilateral search failed with status {status}",
                           lines, status)
    if not result.found:
        return None
    a, b, c, d = ((point.x, point.y) for point in result.corners)
    return Quad((a, b, c, d), result.confidence)
