"""One image, one record: the objects that the tool prints with ``--json``,
built from the binding's calls. ``python3 -m zentrel`` prints them and
:mod:`zentrel.batch` streams them back from a cluster.

A record is a plain ``dict`` in the tool's key order: ``path``, the job's
fields, ``ok`` and ``error``. A failed image has ``ok`` false, the library's
reason in ``error`` and every field ``None``.

>>> from zentrel import records
>>> records.repeat("wall.png")
{'path': 'wall.png', 'x': 240, 'y': 160, 'width': 120, 'height': 80, 'ok': True, 'error': None}
"""

from __future__ import annotations

import dataclasses
import enum
import os
from typing import Any, Callable, Dict, Optional, Sequence, Tuple, Union

import zentrel

__all__ = ["FIELDS", "Record", "display_path", "failure", "rectify", "repeat", "tile"]

Record = Dict[str, Any]
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
TraceCallback = Callable[[str], None]

# Each job's fields, in the order the tool prints them. A tile record of an
# image without a repeat has ok true and these fields None.
FIELDS: Dict[str, Tuple[str, ...]] = {
    "repeat": ("x", "y", "width", "height"),
    "rectify": ("output",),
    "tile": ("width", "height", "match", "vectors", "origin", "confidence"),
}


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


def _plain(value: Any) -> Any:
    """A tile field in JSON's types: points and pairs become lists."""
    if isinstance(value, enum.Enum):
        return value.value
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return [_plain(item) for item in dataclasses.astuple(value)]
    if isinstance(value, (tuple, list)):
        return [_plain(item) for item in value]
    return value


def repeat(path: StrPath, *, trace: Optional[TraceCallback] = None) -> Record:
    """The repeat rectangle of the image at ``path`` as a record."""
    try:
        rect = zentrel.repeat(path, trace=trace)
    except (zentrel.ZentrelError, ValueError) as error:
        return failure("repeat", path, _reason(error))
    return _success(path, {name: getattr(rect, name) for name in FIELDS["repeat"]})


def rectify(path: StrPath, *, corners: Sequence[Tuple[int, int]],
            trace: Optional[TraceCallback] = None) -> Record:
    """Rectifies the quadrilateral ``corners`` of the image at ``path``; the
    record's ``output`` is the path written."""
    try:
        output = zentrel.rectify(path, corners, trace=trace)
    except (zentrel.ZentrelError, ValueError, TypeError) as error:
        return failure("rectify", path, _reason(error))
    return _success(path, {"output": display_path(output)})


def tile(path: StrPath, *, trace: Optional[TraceCallback] = None) -> Record:
    """The repeat unit of the image at ``path`` as a record."""
    # Only a caller that wants the trace passes it on.
    options = {} if trace is None else {"trace": trace}
    try:
        found = zentrel.tile(path, **options)  # type: ignore[attr-defined]
    except (zentrel.ZentrelError, ValueError) as error:
        return failure("tile", path, _reason(error))
    if found is None:
        return _success(path, dict.fromkeys(FIELDS["tile"]))
    return _success(path, {name: _plain(getattr(found, name)) for name in FIELDS["tile"]})
