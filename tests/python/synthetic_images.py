"""Test images written as binary PGM/PPM by hand, so that the tests need
neither numpy nor an imaging module; OpenCV reads both formats.

Noise comes from random.Random(seed).getrandbits, which gives the same bytes
on every Python 3, so results on these images can be compared with golden
files.
"""

from __future__ import annotations

import random
import struct
from pathlib import Path
from typing import Tuple


def tiled_noise(width: int, height: int, tile: Tuple[int, int], seed: int,
                channels: int = 1) -> bytes:
    """A random tile of ``tile`` = (width, height) pixels repeated over the image."""
    tile_width, tile_height = tile
    generator = random.Random(seed)
    repeats = -(-width // tile_width)
    rows = []
    for _ in range(tile_height):
        tile_row = bytes(generator.getrandbits(8) for _ in range(tile_width * channels))
        rows.append((tile_row * repeats)[:width * channels])
    return b"".join(rows[y % tile_height] for y in range(height))


def mirrored_noise(width: int, height: int, unit: Tuple[int, int], seed: int) -> bytes:
    """A grey random unit of ``unit`` = (width, height) pixels beside its
    left-right mirror image, the pair repeated over the image."""
    unit_width, unit_height = unit
    generator = random.Random(seed)
    repeats = -(-width // (2 * unit_width))
    rows = []
    for _ in range(unit_height):
        unit_row = bytes(generator.getrandbits(8) for _ in range(unit_width))
        rows.append(((unit_row + unit_row[::-1]) * repeats)[:width])
    return b"".join(rows[y % unit_height] for y in range(height))


def noise(count: int, seed: int) -> bytes:
    """``count`` random bytes: a picture without any repeat."""
    generator = random.Random(seed)
    return bytes(generator.getrandbits(8) for _ in range(count))


def gradient(width: int, height: int) -> bytes:
    return bytes((x * 4 + y * 2) & 0xFF for y in range(height) for x in range(width))


def write_pnm(path: Path, width: int, height: int, pixels: bytes, channels: int = 1) -> Path:
    """Writes a binary PGM (one channel) or PPM (three)."""
    if len(pixels) != width * height * channels:
        raise ValueError("pixel count does not match the size")
    magic = b"P5" if channels == 1 else b"P6"
    Path(path).write_bytes(b"%s\n%d %d\n255\n" % (magic, width, height) + pixels)
    return Path(path)


def pnm_size(path: Path) -> Tuple[int, int]:
    """(width, height) from a binary PGM/PPM header without comments."""
    fields = Path(path).read_bytes()[:64].split(maxsplit=3)
    return int(fields[1]), int(fields[2])


def png_size(path: Path) -> Tuple[int, int]:
    """(width, height) from a PNG's IHDR chunk."""
    header = Path(path).read_bytes()[:24]
    if header[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path} is not a PNG")
    return struct.unpack(">II", header[16:24])
