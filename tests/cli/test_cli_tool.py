"""The zentrel tool as a user runs it: output against golden files, exit
codes, preview pictures and worker processes. ZENTREL_TOOL names the binary;
ZENTREL_UPDATE_GOLDEN=1 rewrites the golden files from the current output.
"""

from __future__ import annotations

import json
import math
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path
from typing import Tuple

from synthetic_images import (gradient, mirrored_noise, noise, png_size, pnm_size, tiled_noise,
                              write_pnm)

TOOL = os.environ.get("ZENTREL_TOOL", "zentrel")
GOLDEN = Path(__file__).resolve().parent / "golden"
README = Path(__file__).resolve().parents[2] / "README.md"
PAINTING = Path(__file__).resolve().parents[1] / "data" / "painting_scene.jpg"
# Its corners, top-left first, clockwise; 1.5 % of its diagonal is 22.5 pixels.
PAINTING_CORNERS = [[231, 118], [1003, 171], [958, 742], [187, 690]]
UPDATE_GOLDEN = os.environ.get("ZENTREL_UPDATE_GOLDEN") == "1"

# Good images, then one of each kind of failure: undecodable, a shape the
# analysis refuses (1 x 40 works out at 24000 rows), and a missing file.
MIXED = ["wall.pgm", "cloth.ppm", "broken.png", "weave.pgm", "tall.pgm", "missing.pgm"]
CARD_CORNERS = "8,4,55,4,55,39,8,39"
# For tile: a picture with no repeat at all, then the failures.
TILE_MIXED = ["noise.pgm", "broken.png", "missing.pgm"]
TILE_KEYS = ["path", "found", "width", "height", "match", "vector_a", "vector_b", "origin",
             "confidence", "mirror", "unit", "region", "ok", "error"]
LATTICE_KEYS = ["width", "height", "match", "vector_a", "vector_b", "origin", "confidence",
                "mirror", "unit", "region"]
EXPORT_KEYS = ["tile_path", "tile_width_px", "tile_height_px", "repeats_combined", "seam_score",
               "width_mm", "height_mm"]


def without_call_counts(trace: str) -> list:
    return [line for line in trace.splitlines() if not line.startswith("Show F5 Count = ")]


# The matching finds wall.pgm's 64 x 48 tile itself; cloth and weave come out
# as whole multiples of their tiles.
WALL_TILE = (64, 48)
# A unit beside its left-right mirror image.
MIRROR_UNIT = (30, 24)


def make_images(folder: Path) -> None:
    write_pnm(folder / "wall.pgm", 700, 500, tiled_noise(700, 500, WALL_TILE, 2))
    write_pnm(folder / "cloth.ppm", 300, 200, tiled_noise(300, 200, (30, 20), 3, 3), 3)
    write_pnm(folder / "weave.pgm", 240, 160, tiled_noise(240, 160, (24, 20), 5))
    write_pnm(folder / "banner.ppm", 1300, 260, tiled_noise(1300, 260, (65, 52), 7, 3), 3)
    write_pnm(folder / "card.pgm", 64, 48, gradient(64, 48))
    write_pnm(folder / "tall.pgm", 1, 40, bytes(40))
    write_pnm(folder / "noise.pgm", 320, 240, noise(320 * 240, 11))
    write_pnm(folder / "mirror.pgm", 400, 300, mirrored_noise(400, 300, MIRROR_UNIT, 4))
    (folder / "broken.png").write_bytes(b"not an image")


class ToolCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.scratch = tempfile.TemporaryDirectory()
        cls.folder = Path(cls.scratch.name)
        make_images(cls.folder)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.scratch.cleanup()

    def run_tool(self, *arguments: str | bytes) -> subprocess.CompletedProcess:
        """Runs the tool in the image folder; stdout and stderr as str."""
        result = subprocess.run([TOOL, *arguments], cwd=self.folder, capture_output=True,
                                timeout=60)
        result.stdout = result.stdout.decode("utf-8", "surrogateescape")
        result.stderr = result.stderr.decode("utf-8", "surrogateescape")
        return result

    def assert_golden(self, name: str, actual: str) -> None:
        path = GOLDEN / name
        if UPDATE_GOLDEN:
            path.write_text(actual, encoding="utf-8")
        self.assertEqual(actual, path.read_text(encoding="utf-8"), f"differs from {path}")

    def rect_of(self, image: str) -> Tuple[int, ...]:
        result = self.run_tool("repeat", image)
        self.assertEqual(result.returncode, 0, result.stderr)
        return tuple(int(field) for field in result.stdout.split("  ")[1].split())


class RepeatOutput(ToolCase):
    def test_text_golden(self) -> None:
        result = self.run_tool("repeat", *MIXED)
        self.assertEqual(result.returncode, 1)
        self.assert_golden("repeat_mixed.stdout", result.stdout)
        self.assert_golden("repeat_mixed.stderr", result.stderr)

    def test_json_golden(self) -> None:
        result = self.run_tool("repeat", "--json", *MIXED)
        self.assertEqual(result.returncode, 1)
        self.assert_golden("repeat_mixed.json", result.stdout)
        entries = json.loads(result.stdout)
        self.assertEqual([entry["path"] for entry in entries], MIXED)
        self.assertEqual([entry["ok"] for entry in entries],
                         [True, True, False, True, False, False])

    def test_all_good_is_quiet_and_exits_zero(self) -> None:
        result = self.run_tool("repeat", "wall.pgm", "cloth.ppm")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertEqual(len(result.stdout.splitlines()), 2)

    def test_repeat_finds_the_tile_by_matching(self) -> None:
        self.assertEqual(self.rect_of("wall.pgm")[2:], WALL_TILE)
        width, height = self.rect_of("cloth.ppm")[2:]
        self.assertEqual((width % 30, height % 20), (0, 0))

    def test_trace_goes_to_stderr_only(self) -> None:
        plain = self.run_tool("repeat", "wall.pgm", "broken.png")
        traced = self.run_tool("repeat", "--trace", "wall.pgm", "broken.png")
        self.assertEqual(traced.stdout, plain.stdout)
        self.assertEqual(traced.returncode, 1)
        lines = traced.stderr.splitlines()
        self.assertEqual(lines[:2], ["Show F5 Count = 1", "C++ ImgURL = wall.pgm"])
        self.assertTrue(lines[2].startswith("Repeat_x = "))
        self.assertIn("Could not read image file: broken.png", lines)
        self.assertEqual(lines[-1], "zentrel: broken.png: Could not read image file: broken.png")

    def test_json_escapes_any_file_name(self) -> None:
        names = ['quo"te\\back.pgm', "tab\tname.pgm", "é-ü.pgm"]
        for name in names:
            (self.folder / name).write_bytes((self.folder / "wall.pgm").read_bytes())
        raw = os.fsencode(self.folder) + b"/raw\xff.pgm"
        Path(os.fsdecode(raw)).write_bytes((self.folder / "wall.pgm").read_bytes())
        result = self.run_tool("repeat", "--json", *names, b"raw\xff.pgm")
        self.assertEqual(result.returncode, 0, result.stderr)
        entries = json.loads(result.stdout)
        self.assertEqual([entry["path"] for entry in entries], names + ["raw\ufffd.pgm"])
        expected = self.rect_of("wall.pgm")
        for entry in entries:
            self.assertEqual(tuple(entry[key] for key in ("x", "y", "width", "height")), expected)


class Parallel(ToolCase):
    def test_workers_give_the_sequential_output(self) -> None:
        images = MIXED * 2 + ["banner.ppm"]
        for mode, jobs in (([], "2"), (["--json", "--trace"], "5")):
            with self.subTest(mode=mode, jobs=jobs):
                sequential = self.run_tool("repeat", *mode, *images)
                parallel = self.run_tool("repeat", *mode, "-j", jobs, *images)
                self.assertEqual((parallel.returncode, parallel.stdout),
                                 (sequential.returncode, sequential.stdout))
                # Each worker counts its own calls; everything else must match.
                self.assertEqual(without_call_counts(parallel.stderr),
                                 without_call_counts(sequential.stderr))


class Preview(ToolCase):
    def test_repeat_pictures(self) -> None:
        result = self.run_tool("repeat", "--preview", "pictures/repeat", "wall.pgm", "banner.ppm",
                               "broken.png")
        self.assertEqual(result.returncode, 1)
        pictures = self.folder / "pictures" / "repeat"
        # Overviews keep the image's size up to 1200 columns, then scale down.
        self.assertEqual(png_size(pictures / "wall_repeat.png"), (700, 500))
        self.assertEqual(png_size(pictures / "banner_repeat.png"), (1200, 240))
        for line in result.stdout.splitlines():
            path, fields = line.split("  ")
            x, y, width, height = (int(field) for field in fields.split())
            image_width, image_height = pnm_size(self.folder / path)
            width = min(x + width, image_width) - max(x, 0)
            height = min(y + height, image_height) - max(y, 0)
            stem = path.rsplit(".", 1)[0]
            self.assertEqual(png_size(pictures / f"{stem}_tile.png"), (3 * width, 3 * height))
        self.assertEqual(sorted(picture.name for picture in pictures.iterdir()),
                         ["banner_repeat.png", "banner_tile.png", "wall_repeat.png",
                          "wall_tile.png"])

    def test_rectify_picture(self) -> None:
        result = self.run_tool("rectify", "--preview", "pictures/quad", "card.pgm",
                               "--corners", CARD_CORNERS)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(png_size(self.folder / "pictures" / "quad" / "card_quad.png"), (64, 48))

    def test_unusable_preview_folder_fails(self) -> None:
        result = self.run_tool("repeat", "--preview", "wall.pgm/sub", "wall.pgm")
        self.assertEqual(result.returncode, 1)
        self.assertIn("preview folder", result.stderr)


class Rectify(ToolCase):
    def test_writes_beside_the_input(self) -> None:
        (self.folder / "sub").mkdir(exist_ok=True)
        (self.folder / "sub" / "card.v2.pgm").write_bytes((self.folder / "card.pgm").read_bytes())
        for image, expected in (("card.pgm", "card_pers.pgm"),
                                ("sub/card.v2.pgm", "sub/card.v2_pers.pgm")):
            with self.subTest(image=image):
                result = self.run_tool("rectify", image, "--corners", CARD_CORNERS)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, expected + "\n", ""))
                self.assertEqual(pnm_size(self.folder / expected), (47, 35))

    def test_json(self) -> None:
        result = self.run_tool("rectify", "--json", "card.pgm", "--corners=55,39,8,4,8,39,55,4")
        self.assertEqual(json.loads(result.stdout), {"path": "card.pgm", "output": "card_pers.pgm",
                                                     "ok": True, "error": None})
        failed = self.run_tool("rectify", "--json", "broken.png", "--corners", CARD_CORNERS)
        self.assertEqual(json.loads(failed.stdout),
                         {"path": "broken.png", "output": None, "ok": False,
                          "error": "Could not read image file: broken.png"})

    def test_failures_exit_one(self) -> None:
        cases = [
            (["broken.png", "--corners", CARD_CORNERS],
             "zentrel: broken.png: Could not read image file: broken.png\n"),
            (["card.pgm", "--corners", "5,5,5,5,5,5,5,5"],
             "zentrel: card.pgm: Cannot rectify: the corners give an output of 0 x 0 pixels; "
             "each side must be at least 1 and the whole at most 1073741824 pixels\n"),
            (["noextension", "--corners", CARD_CORNERS],
             "zentrel: noextension: the file name has no extension, so no NAME_pers.EXT can be "
             "formed\n"),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                result = self.run_tool("rectify", *arguments)
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (1, "", message))


class Tile(ToolCase):
    def test_text_golden(self) -> None:
        result = self.run_tool("tile", *TILE_MIXED)
        self.assertEqual(result.returncode, 1)
        self.assert_golden("tile_mixed.stdout", result.stdout)
        self.assert_golden("tile_mixed.stderr", result.stderr)

    def test_json_golden(self) -> None:
        result = self.run_tool("tile", "--json", *TILE_MIXED)
        self.assertEqual(result.returncode, 1)
        self.assert_golden("tile_mixed.json", result.stdout)

    def test_json_has_every_field_whatever_the_outcome(self) -> None:
        images = ["wall.pgm", "cloth.ppm", "mirror.pgm", *TILE_MIXED, "tall.pgm"]
        text = self.run_tool("tile", *images)
        result = self.run_tool("tile", "--json", *images)
        self.assertEqual(result.returncode, 1)
        entries = json.loads(result.stdout)
        self.assertEqual([entry["path"] for entry in entries], images)
        lines = iter(text.stdout.splitlines())
        for entry in entries:
            with self.subTest(path=entry["path"]):
                self.assertEqual(list(entry), TILE_KEYS)
                self.assertEqual(entry["ok"], entry["error"] is None)
                if not entry["ok"]:
                    self.assertIsNone(entry["found"])
                    self.assertIn(f"zentrel: {entry['path']}: {entry['error']}\n", text.stderr)
                    continue
                line = next(lines)
                if not entry["found"]:
                    self.assertEqual([entry[key] for key in LATTICE_KEYS], [None] * 10)
                    self.assertEqual(line, f"{entry['path']}  no repeat")
                    continue
                self.assertIn(entry["match"], ["straight", "half-drop", "half-brick", "other"])
                self.assertTrue(0 <= entry["confidence"] <= 1)
                word = entry["match"] if entry["mirror"] == "none" else entry["mirror"]
                self.assertEqual(line.split("  ")[1].split()[2], word)
        self.assertIsNone(next(lines, None), "a result line for each image that was analysed")

    def test_trace_and_workers(self) -> None:
        images = [*MIXED, *TILE_MIXED]
        sequential = self.run_tool("tile", "--trace", *images)
        parallel = self.run_tool("tile", "--trace", "-j", "3", *images)
        self.assertEqual((parallel.returncode, parallel.stdout, parallel.stderr),
                         (sequential.returncode, sequential.stdout, sequential.stderr))
        lines = sequential.stderr.splitlines()
        broken = lines.index("Could not read image file: broken.png")
        self.assertEqual(lines[broken + 1],
                         "zentrel: broken.png: Could not read image file: broken.png")
        self.assertNotIn("Could not read image file: broken.png",
                         self.run_tool("tile", "broken.png").stderr.splitlines())

    def test_preview_pictures_for_each_image_that_repeats(self) -> None:
        images = ["wall.pgm", "banner.ppm", "mirror.pgm", "noise.pgm", "broken.png"]
        result = self.run_tool("tile", "--json", "--preview", "pictures/tile", *images)
        self.assertEqual(result.returncode, 1)
        pictures = self.folder / "pictures" / "tile"
        expected = []
        for entry in json.loads(result.stdout):
            if not entry["found"]:
                continue
            stem = entry["path"].rsplit(".", 1)[0]
            expected += [f"{stem}_lattice.png", f"{stem}_unit.png"]
            width, height = pnm_size(self.folder / entry["path"])
            self.assertEqual(png_size(pictures / f"{stem}_lattice.png"),
                             (min(width, 1200), round(height * min(width, 1200) / width)))
            self.assertEqual(png_size(pictures / f"{stem}_unit.png"),
                             (3 * round(entry["unit"][0]), 3 * round(entry["unit"][1])))
        self.assertEqual(sorted(picture.name for picture in pictures.iterdir()), sorted(expected))

    def test_a_clean_straight_tiling_is_found(self) -> None:
        result = self.run_tool("tile", "--json", "wall.pgm", "cloth.ppm")
        self.assertEqual(result.returncode, 0, result.stderr)
        for entry, size in zip(json.loads(result.stdout), [WALL_TILE, (30, 20)]):
            with self.subTest(path=entry["path"]):
                self.assertTrue(entry["found"])
                self.assertEqual(entry["match"], "straight")
                self.assertAlmostEqual(entry["width"], size[0], delta=0.5)
                self.assertAlmostEqual(entry["height"], size[1], delta=0.5)


class TileExport(ToolCase):
    def test_each_tile_is_written_and_reported(self) -> None:
        (self.folder / "tiles").mkdir()
        images = ["wall.pgm", "cloth.ppm", "noise.pgm", "broken.png"]
        text = self.run_tool("tile", "--export", "tiles", *images)
        result = self.run_tool("tile", "--json", "--export", "tiles", "--dpi", "254", *images)
        parallel = self.run_tool("tile", "--json", "--export", "tiles", "--dpi", "254", "-j", "2",
                                 *images)
        self.assertEqual((parallel.returncode, parallel.stdout), (result.returncode, result.stdout))
        self.assertEqual((text.returncode, result.returncode), (1, 1))
        entries = json.loads(result.stdout)
        for entry in entries:
            self.assertEqual(list(entry), TILE_KEYS[:-2] + EXPORT_KEYS + ["ok", "error"])
        wall, cloth, noise_, broken = entries
        lines = text.stdout.splitlines()
        self.assertEqual(len(lines), 2, "a line for each tile written")
        for entry, size, line in ((wall, WALL_TILE, lines[0]), (cloth, (30, 20), lines[1])):
            with self.subTest(path=entry["path"]):
                stem = entry["path"].rsplit(".", 1)[0]
                self.assertTrue(entry["ok"], entry["error"])
                self.assertEqual(entry["tile_path"], f"tiles/{stem}_tile.png")
                self.assertEqual(png_size(self.folder / entry["tile_path"]), size)
                self.assertEqual((entry["tile_width_px"], entry["tile_height_px"]), size)
                self.assertGreaterEqual(entry["repeats_combined"], 64)
                self.assertAlmostEqual(entry["seam_score"], 1.0, delta=0.05)
                # 254 pixels per inch are 10 per millimetre.
                self.assertAlmostEqual(entry["width_mm"], size[0] / 10)
                self.assertAlmostEqual(entry["height_mm"], size[1] / 10)
                self.assertRegex(line, rf"^{entry['path']}  \S+ \S+ straight \S+  "
                                       rf"tiles/{stem}_tile.png  {size[0]} x {size[1]} px, "
                                       rf"\d+ repeats, seam \d\.\d\d$")
        self.assertFalse(noise_["found"])
        self.assertFalse(noise_["ok"])
        self.assertIn("no repeat", noise_["error"])
        self.assertIsNone(noise_["tile_path"])
        self.assertIsNone(broken["found"])
        self.assertEqual(sorted(path.name for path in (self.folder / "tiles").iterdir()),
                         ["cloth_tile.png", "wall_tile.png"])

    def test_formats_and_combinations(self) -> None:
        (self.folder / "formats").mkdir()
        cases = [(["--format", "tiff"], ".tif", (b"II*\0", b"MM\0*")),
                 (["--format", "jpeg"], ".jpg", (b"\xff\xd8",)),
                 (["--combine", "mean", "--flatten"], ".png", (b"\x89PNG",)),
                 (["--combine", "none"], ".png", (b"\x89PNG",))]
        for options, suffix, magic in cases:
            with self.subTest(options=options):
                result = self.run_tool("tile", "--json", "--export", "formats", *options,
                                       "wall.pgm")
                self.assertEqual(result.returncode, 0, result.stderr)
                entry = json.loads(result.stdout)[0]
                self.assertEqual(entry["tile_path"], "formats/wall_tile" + suffix)
                self.assertTrue((self.folder / entry["tile_path"]).read_bytes().startswith(magic))
                self.assertIsNone(entry["width_mm"], "a PGM records no resolution")
                if "none" in options:
                    self.assertEqual(entry["repeats_combined"], 1)

    def test_a_missing_folder_fails_and_nothing_is_written(self) -> None:
        result = self.run_tool("tile", "--export", "nowhere", "wall.pgm")
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("nowhere does not exist", result.stderr)
        self.assertFalse((self.folder / "nowhere").exists())

    def test_the_seams_picture_shows_the_tile_three_by_three(self) -> None:
        (self.folder / "seams").mkdir()
        result = self.run_tool("tile", "--export", "seams", "--preview", "pictures/seams",
                               "wall.pgm")
        self.assertEqual(result.returncode, 0, result.stderr)
        pictures = self.folder / "pictures" / "seams"
        self.assertEqual(sorted(picture.name for picture in pictures.iterdir()),
                         ["wall_lattice.png", "wall_seams.png", "wall_unit.png"])
        self.assertEqual(png_size(pictures / "wall_seams.png"), (3 * WALL_TILE[0], 3 * WALL_TILE[1]))


class AutoRectify(ToolCase):
    def test_rectifies_the_corners_it_reports(self) -> None:
        shutil.copy(PAINTING, self.folder / "painting.jpg")
        result = self.run_tool("rectify", "--json", "painting.jpg", "--auto")
        self.assertEqual(result.returncode, 0, result.stderr)
        record = json.loads(result.stdout)
        self.assertEqual(list(record), ["path", "output", "corners", "confidence", "ok", "error"])
        self.assertEqual((record["output"], record["ok"]), ("painting_pers.jpg", True))
        self.assertGreater(record["confidence"], 0.5)
        for found, truth in zip(record["corners"], PAINTING_CORNERS):
            self.assertLessEqual(math.dist(found, truth), 22.5, record["corners"])
        # The same corners given by hand write the same picture.
        written = (self.folder / "painting_pers.jpg").read_bytes()
        by_hand = self.run_tool("rectify", "painting.jpg", "--corners",
                                ",".join(str(v) for corner in record["corners"] for v in corner))
        self.assertEqual(by_hand.returncode, 0, by_hand.stderr)
        self.assertEqual((self.folder / "painting_pers.jpg").read_bytes(), written)

    def test_no_quadrilateral_or_no_image_fails_and_writes_nothing(self) -> None:
        for image, reason in (("noise.pgm", "no quadrilateral found; give its corners with "
                                            "--corners"),
                              ("broken.png", "Could not read image file: broken.png")):
            with self.subTest(image=image):
                result = self.run_tool("rectify", image, "--auto")
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (1, "", f"zentrel: {image}: {reason}\n"))
                record = json.loads(self.run_tool("rectify", "--json", image, "--auto").stdout)
                self.assertEqual(record, {"path": image, "output": None, "corners": None,
                                          "confidence": None, "ok": False, "error": reason})
        self.assertFalse((self.folder / "noise_pers.pgm").exists())


class CommandLine(ToolCase):
    def test_usage_errors_exit_two(self) -> None:
        cases = [
            [], ["frobnicate"], ["--bogus"], ["repeat"], ["repeat", "--bogus", "wall.pgm"],
            ["repeat", "-j", "0", "wall.pgm"], ["repeat", "-jx", "wall.pgm"],
            ["repeat", "--preview"], ["repeat", "--corners", CARD_CORNERS, "wall.pgm"],
            ["rectify", "card.pgm"], ["rectify", "card.pgm", "--corners", "1,2,3,4,5,6,7"],
            ["rectify", "card.pgm", "wall.pgm", "--corners", CARD_CORNERS],
            ["rectify", "-j", "2", "card.pgm", "--corners", CARD_CORNERS],
            ["rectify", "card.pgm", "--auto", "--corners", CARD_CORNERS],
            ["repeat", "--auto", "wall.pgm"],
            ["tile"], ["tile", "--corners", CARD_CORNERS, "wall.pgm"], ["tile", "-j", "0", "a.png"],
            ["tile", "--combine", "mean", "wall.pgm"], ["tile", "--dpi", "300", "wall.pgm"],
            ["tile", "--export", "t", "--combine", "max", "wall.pgm"],
            ["tile", "--export", "t", "--dpi", "0", "wall.pgm"],
            ["tile", "--export", "t", "--dpi", "300x", "wall.pgm"],
            ["tile", "--export", "t", "--format", "bmp", "wall.pgm"],
            ["tile", "--export", "", "wall.pgm"], ["repeat", "--export", "t", "wall.pgm"],
            ["tile", "--export", "t", "a/wall.pgm", "b/wall.png"],
            ["serve", "wall.pgm"], ["serve", "--json"], ["serve", "--port", "65536"],
            ["serve", "--max-upload", "0"], ["serve", "--time-limit", "x"], ["serve", "--queue", "-1"],
        ]
        for arguments in cases:
            with self.subTest(arguments=arguments):
                result = self.run_tool(*arguments)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertRegex(result.stderr, r"^zentrel: .+\nTry 'zentrel (\w+ )?--help'")

    def test_help_and_version(self) -> None:
        for arguments, first_line in ((["--help"], "Usage: zentrel COMMAND"),
                                      (["repeat", "--help"], "Usage: zentrel repeat"),
                                      (["rectify", "card.pgm", "-h"], "Usage: zentrel rectify"),
                                      (["tile", "--help"], "Usage: zentrel tile"),
                                      (["serve", "--help"], "Usage: zentrel serve")):
            with self.subTest(arguments=arguments):
                result = self.run_tool(*arguments)
                self.assertEqual(result.returncode, 0)
                self.assertTrue(result.stdout.startswith(first_line), result.stdout)
        self.assertEqual(self.run_tool("--version").stdout,
                         f"zentrel {os.environ['ZENTREL_PROJECT_VERSION']}\n")

    def test_the_readme_option_table_lists_what_each_commands_help_lists(self) -> None:
        # Option names per command, from --help: "  -j, --jobs N   text" gives -j, --jobs.
        from_help = {}
        for command in ("repeat", "tile", "rectify", "serve"):
            text = self.run_tool(command, "--help").stdout.split("\nOptions:\n", 1)[1]
            names = set()
            for line in text.splitlines():
                match = re.match(r"  (-\S*?)(?:, (--\S+))?(?: [A-Z]+)?(?:  |$)", line)
                if match:
                    names.update(name for name in match.groups() if name)
            from_help[command] = names - {"-h", "--help"}
        # The same from the README's table: `-j N`, `--jobs N` | repeat, tile | ...
        from_readme = {command: set() for command in from_help}
        table = README.read_text(encoding="utf-8").split("| Option | Commands | Meaning |", 1)[1]
        for row in table.split("\n\n", 1)[0].splitlines()[2:]:
            options, commands = row.split(" | ")[:2]
            for command in commands.split(", "):
                from_readme[command].update(re.findall(r"`(-[^` ]*)", options))
        self.assertEqual(from_readme, from_help)

    def test_options_in_any_position_and_double_dash(self) -> None:
        (self.folder / "-dash.pgm").write_bytes((self.folder / "wall.pgm").read_bytes())
        expected = self.rect_of("wall.pgm")
        result = self.run_tool("repeat", "wall.pgm", "--jobs=2", "--json", "--", "-dash.pgm")
        self.assertEqual(result.returncode, 0, result.stderr)
        for entry in json.loads(result.stdout):
            self.assertEqual(tuple(entry[key] for key in ("x", "y", "width", "height")), expected)


if __name__ == "__main__":
    unittest.main()
