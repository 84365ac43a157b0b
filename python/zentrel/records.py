"""One image, one record: the objects that the tool prints with ``--json``,
built from the binding's calls. ``python3 -m zentrel`` prints them and
:mod:`zentrel.batch` streams them back from a cluster.

A record is a plain ``dict`` in the tool's key order: ``path``, the job's
fields, ``ok`` and ``error``. A failed image has ``ok`` false, the library's
reason in ``error`` and every field ``None``. :func:`to_json` writes a record
as the tool writes the object, numbers included.

>>> from zentrel import records
>>> records.repeat("wall.pgm")
{'path': 'wall.pgm', 'x': 303, 'y': 143, 'width': 64, 'height': 48, 'ok': True, 'error': None}
"""

from __future__ import annotations

import json
import math
import os
from typing import Any, Callable, Dict, Optional, Sequence, Tuple, Union

import zentrel

__all__ = ["FIELDS", "Record", "display_path", "extract", "failure", "rectify", "repeat", "tile",
           "tile_path", "to_json"]

Record = Dict[str, Any]
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
TraceCallback = Callable[[str], None]

# Each job's fields, in the order the tool prints them. A tile record of an
# image without a repeat has ok true, found false and the other fields None;
# a failed one has found None too.
FIELDS: Dict[str, Tuple[str, ...]] = {
    "repeat": ("x", "y", "width", "height"),
    "rectify": ("output",),
    # rectify with the corners zentrel.find_quad suggests (the tool's --auto);
    # corners and confidence are None unless a quadrilateral was found.
    "rectify --auto": ("output", "corners", "confidence"),
    "tile": ("found", "width", "height", "match", "vector_a", "vector_b", "origin",
             "confidence", "mirror", "unit", "region"),
}
# The tile's, then the exported tile's, as the tool's tile --export prints
# them: null unless the tile was written (the millimetres, unless its
# resolution is known). A record whose estimate succeeded but whose tile was
# not written keeps the estimate's fields.
EXPORT_FIELDS = ("tile_path", "tile_width_px", "tile_height_px", "repeats_combined", "seam_score",
                 "width_mm", "height_mm")
FIELDS["extract"] = FIELDS["tile"] + EXPORT_FIELDS


def display_path(path: StrPath) -> str:
    """The path as the tool prints it: bytes that are not UTF-8 become U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def failure(job: str, path: StrPath, error: str) -> Record:
    """The record of an image that ``job`` could not process."""
    return {"path": display_path(path), **dict.fromkeys(FIELDS.get(job, ())), "ok": False,
            "error": error}


def _success(path: StrPath, fields: Dict[str, Any]) -> Record:
    return {"path": display_path(path), **fields, "ok": True, "error": None}


def _reason(error: Exception) -> str:
    # ZentrelError carries the library's own line; argument errors their text.
    return getattr(error, "message", None) or str(error)


def repeat(path: StrPath, *, trace: Optional[TraceCallback] = None) -> Record:
    """The repeat rectangle of the image at ``path`` as a record."""
    try:
        rect = zentrel.repeat(path, trace=trace)
    except (zentrel.ZentrelError, ValueError) as error:
        return failure("repeat", path, _reason(error))
    return _success(path, {name: getattr(rect, name) for name in FIELDS["repeat"]})


def rectify(path: StrPath, *, corners: Optional[Sequence[Tuple[int, int]]],
            trace: Optional[TraceCallback] = None) -> Record:
    """Rectifies the quadrilateral ``corners`` of the image at ``path``; the
    record's ``output`` is the path written. With ``corners`` None, the
    corners are those :func:`zentrel.find_quad` finds, rounded to whole
    pixels, and the record also holds them and their confidence."""
    if corners is None:
        return _rectify_found(path, trace)
    try:
        output = zentrel.rectify(path, corners, trace=trace)
    except (zentrel.ZentrelError, ValueError, TypeError) as error:
        return failure("rectify", path, _reason(error))
    return _success(path, {"output": display_path(output)})


def _rectify_found(path: StrPath, trace: Optional[TraceCallback]) -> Record:
    job = "rectify --auto"
    try:
        quad = zentrel.find_quad(path, trace=trace)
    except (zentrel.ZentrelError, ValueError) as error:
        return failure(job, path, _reason(error))
    if quad is None:
        return failure(job, path, "no quadrilateral found; give its corners with --corners")
    # Python's round() halves to even; the tool rounds halves away from zero.
    corners = [(int(math.copysign(math.floor(abs(x) + 0.5), x)),
                int(math.copysign(math.floor(abs(y) + 0.5), y))) for x, y in quad.corners]
    record = rectify(path, corners=corners, trace=trace)
    found = {"corners": [list(corner) for corner in corners],
             "confidence": _number(quad.confidence)}
    return {"path": record["path"], "output": record["output"], **found, "ok": record["ok"],
            "error": record["error"]}


def _number(value: float) -> Optional[float]:
    # JSON has no words for infinities or NaN; the tool writes null.
    return value if math.isfinite(value) else None


def _tile_fields(found: Optional[zentrel.Tile]) -> Dict[str, Any]:
    if found is None:
        return {"found": False, **dict.fromkeys(FIELDS["tile"][1:])}
    (ax, ay), (bx, by) = found.vectors
    return {
        "found": True,
        "width": _number(found.width),
        "height": _number(found.height),
        # The binding names a match code it does not know "unknown"; the
        # tool's JSON has null for it.
        "match": None if found.match == "unknown" else found.match,
        "vector_a": [_number(ax), _number(ay)],
        "vector_b": [_number(bx), _number(by)],
        "origin": [_number(found.origin[0]), _number(found.origin[1])],
        "confidence": _number(found.confidence),
        "mirror": None if found.mirror == "unknown" else found.mirror,
        # A Tile made by hand may lack these two.
        "unit": None if found.unit is None else [_number(side) for side in found.unit],
        "region": None if found.region is None else list(found.region),
    }


def tile(path: StrPath, *, trace: Optional[TraceCallback] = None) -> Record:
    """The repeat unit of the image at ``path`` as a record."""
    try:
        found = zentrel.tile(path, trace=trace)
    except (zentrel.ZentrelError, ValueError) as error:
        return failure("tile", path, _reason(error))
    return _success(path, _tile_fields(found))


_EXTENSIONS = {None: ".png", "png": ".png", "tiff": ".tif", "jpeg": ".jpg"}


def tile_path(folder: StrPath, path: StrPath, format: Optional[str] = None) -> str:
    """FOLDER/NAME_tile.png (.tif, .jpg) for the image at ``path``, as the
    tool names it."""
    folder_text = os.fsdecode(folder)
    name = os.path.basename(os.fsdecode(path))
    stem = name.rsplit(".", 1)[0] if "." in name else name
    return os.path.join(folder_text, f"{stem}_tile{_EXTENSIONS.get(format, '.png')}")


def extract(path: StrPath, *, folder: StrPath, combine: str = "median", flatten: bool = False,
            dpi: Optional[float] = None, format: Optional[str] = None,
            trace: Optional[TraceCallback] = None) -> Record:
    """The repeat unit of the image at ``path`` and its tile, written into
    ``folder`` as NAME_tile.png (see :func:`zentrel.extract_tile` for the
    options), as a record like the tool's ``tile --export``. An image
    without a repeat fails."""
    try:
        found = zentrel.tile(path, trace=trace)
    except (zentrel.ZentrelError, ValueError) as error:
        return failure("extract", path, _reason(error))
    fields = {**_tile_fields(found), **dict.fromkeys(EXPORT_FIELDS)}
    try:
        written = zentrel.extract_tile(path, tile_path(folder, path, format), tile=found,
                                       combine=combine, flatten=flatten, dpi=dpi, format=format,
                                       trace=trace)
    except (zentrel.ZentrelError, ValueError) as error:
        return {"path": display_path(path), **fields, "ok": False, "error": _reason(error)}
    fields.update({
        "tile_path": display_path(written.path),
        "tile_width_px": written.width,
        "tile_height_px": written.height,
        "repeats_combined": written.repeats,
        "seam_score": _number(written.seam_score),
        "width_mm": _number(written.size_mm[0]) if written.size_mm else None,
        "height_mm": _number(written.size_mm[1]) if written.size_mm else None,
    })
    return _success(path, fields)


def json_number(value: float) -> str:
    """A number as the tool writes it in JSON: the shortest of 15, 16 or 17
    significant digits (printf's %g) that reads back as the same double, so
    50.0 is ``50`` and 1e15 is ``1e+15``; null for infinities and NaN."""
    if not math.isfinite(value):
        return "null"
    for precision in (15, 16, 17):
        text = "%.*g" % (precision, value)
        if float(text) == value:
            break
    return text


def to_json(value: Any) -> str:
    """A record (or any of its values) as the tool writes it: keys in order,
    ", " and ": " between items, text not escaped to ASCII, numbers as
    :func:`json_number` writes them."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return json_number(value)
    if isinstance(value, str):
        # The tool writes bytes of a path that are not UTF-8 as the escape.
        return json.dumps(value, ensure_ascii=False).replace("\ufffd", "\\ufffd")
    if isinstance(value, dict):
        return "{" + ", ".join(f"{to_json(str(key))}: {to_json(item)}"
                               for key, item in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(to_json(item) for item in value) + "]"
    raise TypeError(f"a record holds no {type(value).__name__}")
