"""python3 -m zentrel: the tool's repeat, rectify and tile for people who live
in Python, and batch for catalogues on a Dask cluster.

Output and exit status are the tool's: results on standard output (text
lines, or with --json the tool's JSON), messages on standard error; 0 when
every image succeeded, 1 when any failed, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from typing import Any, Callable, Iterable, Iterator, List, Optional, Sequence, TextIO, Tuple

import zentrel
from zentrel import records
from zentrel.records import Record

EXIT_OK, EXIT_FAILED = 0, 1  # and 2, argparse's, for a usage error
_INT = re.compile(r"[+-]?[0-9]+")


def _corners(text: str) -> List[Tuple[int, int]]:
    fields = text.split(",")
    if len(fields) != 8 or not all(_INT.fullmatch(field) for field in fields) or \
            not all(-2**31 <= int(field) < 2**31 for field in fields):
        raise argparse.ArgumentTypeError(
            f"--corners needs eight integers separated by commas, not '{text}'")
    values = [int(field) for field in fields]
    return list(zip(values[0::2], values[1::2]))


def _trace_to_stderr(line: str) -> None:
    print(line, file=sys.stderr)


def _size(value: Optional[float]) -> str:
    """A tile size as the tool prints it: up to two decimals, without
    trailing zeros, as a designer states it."""
    # A record keeps no infinity or NaN (JSON has no words for them); the
    # library gives finite sizes for a tile it found.
    number = "nan" if value is None else "%.2f" % value
    if "." in number:
        number = number.rstrip("0").rstrip(".")
    return "0" if number == "-0" else number


def _text_line(job: str, image: str, record: Record) -> str:
    """The tool's text line for a record that is ok: the path as given, two
    spaces, then the job's fields."""
    if job == "rectify":
        return record["output"]
    if job == "repeat":
        return f"{image}  {record['x']} {record['y']} {record['width']} {record['height']}"
    if not record["found"]:
        return f"{image}  no repeat"
    confidence = "nan" if record["confidence"] is None else "%.2f" % record["confidence"]
    if record["mirror"] != "none":
        # A mirrored pattern: its unit and axes.
        (width, height), kind = record["unit"] or (None, None), record["mirror"]
    else:
        width, height, kind = record["width"], record["height"], record["match"]
    line = f"{image}  {_size(width)} {_size(height)} {kind or 'unknown'} {confidence}"
    if record.get("tile_path") is None:
        return line
    repeats = record["repeats_combined"]
    line += (f"  {record['tile_path']}  {record['tile_width_px']} x {record['tile_height_px']} px, "
             f"{repeats} {'repeat' if repeats == 1 else 'repeats'}, "
             f"seam {'%.2f' % (record['seam_score'] or 0.0)}")
    if record["width_mm"] is not None:
        line += f", {'%.1f' % record['width_mm']} x {'%.1f' % record['height_mm']} mm"
    return line


def _report(results: Iterable[Tuple[str, Record]], job: str, as_json: bool, out: TextIO) -> int:
    """Prints each image's record as the tool does, in order, and returns the
    exit status. The tool's JSON is an array, or for rectify one object; its
    text names each image as given."""
    status = EXIT_OK
    first = True
    for image, record in results:
        if not record["ok"]:
            print(f"zentrel: {image}: {record['error']}", file=sys.stderr)
            status = EXIT_FAILED
        if as_json and job == "rectify":
            out.write(records.to_json(record) + "\n")
        elif as_json:
            out.write(("[\n" if first else ",\n") + "  " + records.to_json(record))
        elif record["ok"]:
            out.write(_text_line(job, image, record) + "\n")
        first = False
        out.flush()
    if as_json and job != "rectify":
        out.write("[\n]\n" if first else "\n]\n")
    return status


def _each(images: Sequence[str], job: Callable[..., Record], trace: bool,
          **options: object) -> Iterator[Tuple[str, Record]]:
    for image in images:
        yield image, job(image, trace=_trace_to_stderr if trace else None, **options)


def _batch(arguments: argparse.Namespace, out: TextIO) -> int:
    try:
        from distributed import Client
    except ImportError:
        print("zentrel: batch needs Dask's distributed scheduler "
              "(Debian: python3-distributed)", file=sys.stderr)
        return EXIT_FAILED
    from zentrel import batch

    paths = list(arguments.images)
    if arguments.paths_from:
        with (sys.stdin if arguments.paths_from == "-" else
              open(arguments.paths_from, encoding="utf-8", errors="surrogateescape")) as listing:
            paths += [line.rstrip("\n") for line in listing if line.strip()]
    progress = sys.stderr if sys.stderr.isatty() else None
    client = Client(arguments.scheduler) if arguments.scheduler else None
    failed = 0
    try:
        target = open(arguments.output, "w", encoding="utf-8") if arguments.output else out
        with target:
            for record in batch.run(paths, arguments.job, client, corners=arguments.corners,
                                    folder=arguments.export, export=_export_options(arguments),
                                    workers=arguments.workers, progress=progress):
                target.write(records.to_json(record) + "\n")
                target.flush()
                failed += not record["ok"]
    finally:
        if client is not None:
            client.close()
    if failed:
        print(f"zentrel: {failed} of {len(paths)} images failed", file=sys.stderr)
    return EXIT_FAILED if failed else EXIT_OK


class _VersionAction(argparse.Action):
    """--version, which loads the library only when it is asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        print(f"zentrel {zentrel.__version__}")
        parser.exit()


def _dpi(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value < 1e5:
        raise argparse.ArgumentTypeError(
            f"--dpi needs a resolution above 0 and below 100000, not '{text}'")
    return value


def _add_export_options(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--export", metavar="DIR",
                        help=f"{what} write each image's tile into DIR (which must exist) as "
                             "NAME_tile.png")
    parser.add_argument("--combine", choices=("median", "mean", "none"),
                        help="how the repeats are combined (default median; none: the best "
                             "single repeat)")
    parser.add_argument("--flatten", action="store_true",
                        help="divide out uneven lighting before combining")
    parser.add_argument("--dpi", type=_dpi, metavar="N",
                        help="the resolution to record, whatever the image records")
    parser.add_argument("--format", choices=("png", "tiff", "jpeg"),
                        help="the tile's format (default png)")


def _export_options(arguments: argparse.Namespace) -> dict:
    options = {"combine": arguments.combine or "median", "flatten": arguments.flatten,
               "dpi": arguments.dpi, "format": arguments.format}
    return {key: value for key, value in options.items() if value}


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m zentrel",
        description="Finds the repeat rectangle and the repeat unit of patterned images and "
                    "rectifies perspective.",
        epilog="Exit status: 0 when every image succeeded, 1 when any failed, 2 for a usage "
               "error. Results go to standard output, messages to standard error.")
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.add_argument("--json", action="store_true",
                         help="print the tool's JSON instead of text lines")
        sub.add_argument("--trace", action="store_true",
                         help="copy the library's trace lines to standard error")
        return sub

    repeat = command("repeat", "print the repeat rectangle of each image: PATH  X Y WIDTH HEIGHT")
    repeat.add_argument("images", nargs="+", metavar="IMAGE")
    rectify = command("rectify", "warp a quadrilateral of IMAGE to an upright rectangle saved "
                                 "as NAME_pers.EXT beside it, and print the path written")
    rectify.add_argument("image", metavar="IMAGE")
    given = rectify.add_mutually_exclusive_group(required=True)
    given.add_argument("--corners", type=_corners, metavar="LIST",
                       help="the four corners as eight integers, x before y")
    given.add_argument("--auto", action="store_true",
                       help="use the corners of the dominant quadrilateral the library finds")
    tile = command("tile", "print the repeat unit of each image: "
                           "PATH  WIDTH HEIGHT MATCH CONFIDENCE, or PATH  no repeat")
    tile.add_argument("images", nargs="+", metavar="IMAGE")
    _add_export_options(tile, "also")

    batch = commands.add_parser(
        "batch", help="run a job over many images on a Dask cluster; JSON Lines out",
        description="Runs a job over many images on a Dask cluster and prints one JSON object "
                    "per image, in the order given, as the tool's --json does.")
    batch.add_argument("images", nargs="*", metavar="IMAGE")
    batch.add_argument("--job", choices=("repeat", "rectify", "tile", "extract"),
                       default="repeat")
    batch.add_argument("--corners", type=_corners, metavar="LIST",
                       help="for the rectify job: the same corners for every image")
    batch.add_argument("--paths-from", metavar="FILE",
                       help="read more image paths from FILE, one a line ('-': standard input)")
    batch.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                       help="join this cluster's scheduler instead of starting local workers")
    batch.add_argument("--workers", type=int, metavar="N",
                       help="local worker processes (default: one per core)")
    batch.add_argument("--output", metavar="FILE", help="write the records to FILE")
    _add_export_options(batch, "for the extract job (required):")
    return parser


def main(argv: Optional[Sequence[str]] = None, out: TextIO = sys.stdout) -> int:
    """Runs the command line ``argv`` (without the program name)."""
    parser = _parser()
    arguments = parser.parse_args(argv)
    # As in the tool: OpenCV's own warnings about unreadable files would
    # repeat the one line printed for each failed image. Read when the
    # library is loaded, at the first call.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    # Paths from the command line are printed back as the bytes they were.
    for stream in (out, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="surrogateescape")
    given = [name for name in ("combine", "flatten", "dpi", "format")
             if getattr(arguments, name, None)]
    extracting = arguments.command == "tile" or getattr(arguments, "job", None) == "extract"
    if given and not (extracting and arguments.export):
        parser.error(f"--{given[0]} goes with --export")
    if arguments.command == "batch":
        if arguments.job == "rectify" and arguments.corners is None:
            parser.error("the rectify job needs --corners")
        if arguments.job == "extract" and not arguments.export:
            parser.error("the extract job needs --export")
        if arguments.export and arguments.job != "extract":
            parser.error("--export goes with the extract job")
        return _batch(arguments, out)
    if arguments.command == "rectify":
        results = _each([arguments.image], records.rectify, arguments.trace,
                        corners=arguments.corners)
    elif arguments.command == "tile" and arguments.export:
        results = _each(arguments.images, records.extract, arguments.trace,
                        folder=arguments.export, **_export_options(arguments))
    else:
        job = records.repeat if arguments.command == "repeat" else records.tile
        results = _each(arguments.images, job, arguments.trace)
    return _report(results, arguments.command, arguments.json, out)


if __name__ == "__main__":
    sys.exit(main())
