"""Zentrel from Python: repeat detection and perspective rectification.

A thin ``ctypes`` layer over the Zentrel shared library; nothing is compiled.
The library is looked for, in this order, at the path in the
``ZENTREL_LIBRARY`` environment variable, next to this package, and on the
system loader's path.

The library reports only through trace lines on the process's standard
output, so each call captures file descriptor 1 while it runs, decides from
those lines whether it succeeded, and raises :class:`ZentrelError` with the
library's own error line when it did not. Calls are serialized within the
process: the library keeps one result state, and standard output is
redirected for the duration of each call.

>>> import zentrel
>>> zentrel.repeat("wall.png")
Rect(x=240, y=160, width=120, height=80)
>>> zentrel.rectify("photos/page.jpg", [(10, 12), (580, 8), (590, 790), (4, 800)])
'photos/page_pers.jpg'
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import tempfile
import threading
from pathlib import Path
from typing import Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

__all__ = ["Rect", "ZentrelError", "repeat", "rectify"]
__version__ = "1.0.0"

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
TraceCallback = Callable[[str], None]

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1
# The library asks for this much room in savePath whatever the path's length.
_MIN_SAVE_PATH_BUFFER = 205
_SEPARATORS = b"/\\" if os.name == "nt" else b"/"

# Every line a repeat analysis traces besides its one error line. The path
# lines are followed by as many extra lines as the path has newlines.
_REPEAT_LINES = ("Show F5 Count = ", "Repeat_x = ", "Input mat is not proper!", "return zero matrix")
_REPEAT_PATH_LINES = ("C++ ImgURL = ",)
_RECTIFY_LINES = ("Pers F5 Count = ", "maxW = ", "maxH = ", "Complete SaveImage")
_RECTIFY_PATH_LINES = ("tmpSavePath = Original Image Path", "persImageSavePath = ", "FinalSavePath = ")


class Rect(NamedTuple):
    """A repeat rectangle in the image's own pixels."""

    x: int
    y: int
    width: int
    height: int


class ZentrelError(Exception):
    """A call that the library could not complete.

    ``message`` is the library's own error line; ``trace`` holds every line
    the call traced, that one included.
    """

    def __init__(self, message: str, trace: Sequence[str]) -> None:
        super().__init__(message)
        self.message = message
        self.trace: List[str] = list(trace)


_call_lock = threading.RLock()
_library: Optional[ctypes.CDLL] = None


def _library_candidates() -> Iterator[str]:
    configured = os.environ.get("ZENTREL_LIBRARY")
    if configured:
        # An explicit choice is never silently replaced by another library.
        yield configured
        return
    here = Path(__file__).resolve().parent
    for name in ("libzentrel.so.1", "libzentrel.so", "zentrel.dll"):
        if (here / name).is_file():
            yield str(here / name)
    found = ctypes.util.find_library("zentrel")
    if found:
        yield found
    yield "zentrel.dll" if os.name == "nt" else "libzentrel.so.1"


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

    library.ShowRepeatPoints.argtypes = [ctypes.c_char_p]
    library.ShowRepeatPoints.restype = None
    library.SavePerspectiveImage.argtypes = [ctypes.c_int] * 8 + [
        ctypes.POINTER(ctypes.c_char), ctypes.c_char_p, ctypes.c_char_p]
    library.SavePerspectiveImage.restype = None
    for getter in ("ReturnX", "ReturnY", "ReturnW", "ReturnH"):
        getattr(library, getter).argtypes = []
        getattr(library, getter).restype = ctypes.c_int
    _library = library
    return library


_libc: Optional[ctypes.CDLL] = None


def _flush_c_stdout() -> None:
    """Empties the C runtime's stdout buffer, which the library writes
    through, so that no line lands on the wrong side of a redirection."""
    global _libc
    if os.name == "nt":
        return
    if _libc is None:
        _libc = ctypes.CDLL(None)
    _libc.fflush(None)


def _captured_call(call: Callable[[], None]) -> bytes:
    """Runs ``call`` with file descriptor 1 sent to a temporary file, and
    returns what was written there. The caller holds ``_call_lock``."""
    for stream in (sys.stdout, sys.__stdout__):
        if stream is not None:
            stream.flush()
    _flush_c_stdout()
    try:
        saved: Optional[int] = os.dup(1)
    except OSError:
        saved = None  # a host without stdout; it stays without one
    try:
        with tempfile.TemporaryFile() as sink:
            if sink.fileno() != 1:
                os.dup2(sink.fileno(), 1)
            try:
                call()
            finally:
                _flush_c_stdout()
                if saved is not None:
                    os.dup2(saved, 1)
                elif sink.fileno() != 1:
                    os.close(1)
            sink.seek(0)
            return sink.read()
    finally:
        if saved is not None:
            os.close(saved)


def _trace_lines(captured: bytes) -> List[str]:
    text = captured.decode("utf-8", errors="replace")
    return text.splitlines()


def _error_lines(lines: Sequence[str], known: Tuple[str, ...], path_lines: Tuple[str, ...],
                 path_newlines: int) -> List[str]:
    unknown = []
    skip = 0
    for line in lines:
        if skip:
            skip -= 1
        elif line.startswith(path_lines):
            skip = path_newlines
        elif not line.startswith(known):
            unknown.append(line)
    return unknown


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
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("path contains a NUL byte")
    with _call_lock:
        library = _load()
        lines = _trace_lines(_captured_call(lambda: library.ShowRepeatPoints(encoded)))
        result = Rect(library.ReturnX(), library.ReturnY(), library.ReturnW(), library.ReturnH())
    _report(lines, trace)
    if not any(line.startswith("Repeat_x = ") for line in lines):
        errors = _error_lines(lines, _REPEAT_LINES, _REPEAT_PATH_LINES, encoded.count(b"\n"))
        message = "\n".join(errors) or "the repeat analysis traced no result"
        raise ZentrelError(message, lines)
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
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("path contains a NUL byte")
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
    with _call_lock:
        library = _load()
        lines = _trace_lines(_captured_call(
            lambda: library.SavePerspectiveImage(*xs, *ys, save_path, name, extension)))
    _report(lines, trace)
    if "Complete SaveImage" not in lines:
        errors = _error_lines(lines, _RECTIFY_LINES, _RECTIFY_PATH_LINES, encoded.count(b"\n"))
        message = "\n".join(errors) or "the rectification traced no completion"
        raise ZentrelError(message, lines)
    return os.fsdecode(save_path.value)
