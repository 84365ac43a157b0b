"""python3 -m zentrel against the tool (ZENTREL_TOOL) on the same generated
images: the same standard output, messages and exit status."""

from __future__ import annotations

import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from typing import Sequence
from unittest import mock

import zentrel
from synthetic_images import gradient, mirrored_noise, tiled_noise, write_pnm
from zentrel.__main__ import main

TOOL = os.environ.get("ZENTREL_TOOL", "zentrel")
CARD_CORNERS = "8,4,55,4,55,39,8,39"


class ModuleCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.scratch = tempfile.TemporaryDirectory()
        cls.folder = Path(cls.scratch.name)
        write_pnm(cls.folder / "wall.pgm", 600, 400, tiled_noise(600, 400, (50, 40), 1))
        write_pnm(cls.folder / "cloth.ppm", 300, 200, tiled_noise(300, 200, (30, 20), 3, 3), 3)
        write_pnm(cls.folder / "card.pgm", 64, 48, gradient(64, 48))
        write_pnm(cls.folder / "tall.pgm", 1, 40, bytes(40))
        write_pnm(cls.folder / "mirror.pgm", 400, 300, mirrored_noise(400, 300, (30, 24), 4))
        # Noise that does not repeat: one tile the size of the image.
        write_pnm(cls.folder / "noise.pgm", 200, 150, tiled_noise(200, 150, (200, 150), 9))
        (cls.folder / "broken.png").write_bytes(b"not an image")
        shutil.copy(Path(__file__).resolve().parents[1] / "data" / "painting_scene.jpg",
                    cls.folder / "painting.jpg")
        raw = os.fsencode(cls.folder) + b"/raw\xff.pgm"
        Path(os.fsdecode(raw)).write_bytes((cls.folder / "wall.pgm").read_bytes())

    @classmethod
    def tearDownClass(cls) -> None:
        cls.scratch.cleanup()

    def run_in_folder(self, command: Sequence[str | bytes]) -> subprocess.CompletedProcess:
        result = subprocess.run(command, cwd=self.folder, capture_output=True, timeout=60)
        result.stdout = result.stdout.decode("utf-8", "surrogateescape")
        result.stderr = result.stderr.decode("utf-8", "surrogateescape")
        return result

    def module(self, *arguments: str | bytes) -> subprocess.CompletedProcess:
        return self.run_in_folder([sys.executable, "-m", "zentrel", *arguments])

    def assert_like_the_tool(self, *arguments: str | bytes) -> subprocess.CompletedProcess:
        ours = self.module(*arguments)
        tools = self.run_in_folder([TOOL, *arguments])
        self.assertEqual((ours.returncode, ours.stdout, ours.stderr),
                         (tools.returncode, tools.stdout, tools.stderr))
        return ours


class LikeTheTool(ModuleCase):
    def test_repeat(self) -> None:
        images = ["wall.pgm", "broken.png", "cloth.ppm", "tall.pgm", "missing.pgm"]
        # The binding hands trace lines over as text, so a name that is not
        # UTF-8 is compared without --trace only.
        for mode, raw in (([], [b"raw\xff.pgm"]), (["--json"], [b"raw\xff.pgm"]),
                          (["--trace"], [])):
            with self.subTest(mode=mode):
                result = self.assert_like_the_tool("repeat", *mode, *images, *raw)
                self.assertEqual(result.returncode, 1)
        good = self.assert_like_the_tool("repeat", "--json", "cloth.ppm")
        self.assertEqual((good.returncode, json.loads(good.stdout)[0]["ok"]), (0, True))

    def test_rectify(self) -> None:
        for arguments in (["card.pgm", "--corners", CARD_CORNERS],
                          ["--json", "card.pgm", "--corners=55,39,8,4,8,39,55,4"],
                          ["--json", "broken.png", "--corners", CARD_CORNERS],
                          ["card.pgm", "--corners", "5,5,5,5,5,5,5,5"],
                          # The corners found, rounded as the tool rounds them.
                          ["--json", "painting.jpg", "--auto"], ["--json", "noise.pgm", "--auto"]):
            with self.subTest(arguments=arguments):
                self.assert_like_the_tool("rectify", *arguments)
        self.assertTrue((self.folder / "card_pers.pgm").is_file())

    def test_usage_errors_exit_two(self) -> None:
        for arguments in ([], ["frobnicate"], ["repeat"], ["rectify", "card.pgm"],
                          ["rectify", "card.pgm", "--auto", "--corners", CARD_CORNERS],
                          ["rectify", "card.pgm", "--corners", "1,2,3,4,5,6,7"],
                          ["rectify", "card.pgm", "--corners", "0,0,9,0,9,9,0,2147483648"],
                          ["batch", "--job", "rectify", "card.pgm"]):
            with self.subTest(arguments=arguments):
                result = self.module(*arguments)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertEqual(self.module("--version").stdout, f"zentrel {zentrel.__version__}\n")


class Tile(ModuleCase):
    IMAGES = ["wall.pgm", "cloth.ppm", "mirror.pgm", "noise.pgm", "broken.png", "tall.pgm",
              "missing.pgm"]

    def test_like_the_tool(self) -> None:
        # Whatever the estimator answers for each image, the module answers
        # the same, in the same bytes.
        for mode, raw in (([], [b"raw\xff.pgm"]), (["--json"], [b"raw\xff.pgm"]),
                          (["--trace"], [])):
            with self.subTest(mode=mode):
                result = self.assert_like_the_tool("tile", *mode, *self.IMAGES, *raw)
                self.assertEqual(result.returncode, 1)
        for arguments in (["wall.pgm", "noise.pgm"], ["--json", "cloth.ppm", "wall.pgm"]):
            with self.subTest(arguments=arguments):
                self.assertEqual(self.assert_like_the_tool("tile", *arguments).returncode, 0)

    def test_a_repeating_image_has_its_tile(self) -> None:
        result = self.module("tile", "--json", "wall.pgm")
        wall = json.loads(result.stdout)[0]
        self.assertEqual((wall["ok"], wall["found"], wall["match"]), (True, True, "straight"))
        self.assertAlmostEqual(wall["width"], 50, delta=1)
        self.assertAlmostEqual(wall["height"], 40, delta=1)
        self.assertTrue(0 <= wall["confidence"] <= 1)
        self.assertRegex(self.module("tile", "wall.pgm").stdout,
                         r"^wall\.pgm  \d+(\.\d\d?)? \d+(\.\d\d?)? straight [01]\.\d\d\n$")


class TileExport(ModuleCase):
    def test_like_the_tool(self) -> None:
        # Each run writes the same tiles over the last ones.
        (self.folder / "tiles").mkdir()
        images = ["wall.pgm", "cloth.ppm", "noise.pgm", "broken.png"]
        for mode in ([], ["--json"], ["--json", "--dpi", "300", "--combine", "mean"],
                     ["--format", "tiff", "--flatten"]):
            with self.subTest(mode=mode):
                result = self.assert_like_the_tool("tile", "--export", "tiles", *mode, *images)
                self.assertEqual(result.returncode, 1)
        self.assertEqual(sorted(path.name for path in (self.folder / "tiles").iterdir()),
                         ["cloth_tile.png", "cloth_tile.tif", "wall_tile.png", "wall_tile.tif"])
        self.assertEqual(self.module("tile", "--dpi", "300", "wall.pgm").returncode, 2)


def found(width: float, height: float, match: str, confidence: float,
          mirror: str = "none", unit: tuple = ()) -> zentrel.Tile:
    return zentrel.Tile(width, height, match, ((width, height / 2), (0.0, height)), (0.1, 3.0),
                        confidence, mirror, unit or (width, height), (5, 0, 200, 150))


class FoundTileFormat(unittest.TestCase):
    """A tile that was found, printed as the tool prints it. The estimator is
    replaced, so that these hold whatever it answers for real images; the
    expected lines are those of the tool's own unit test (TileOutcomeTest)
    and what printf gives for the numbers where Python's repr differs."""

    def run_main(self, tile: zentrel.Tile | None, *arguments: str) -> str:
        out = io.StringIO()
        with mock.patch.object(zentrel, "tile", return_value=tile), \
                contextlib.redirect_stderr(io.StringIO()):
            self.assertEqual(main(["tile", *arguments], out=out), 0)
        return out.getvalue()

    def test_text_lines(self) -> None:
        self.assertEqual(self.run_main(found(40.333, 29.5, "half-drop", 0.987), "a b.png"),
                         "a b.png  40.33 29.5 half-drop 0.99\n")
        self.assertEqual(self.run_main(found(40.0, 30.004, "straight", 1.0), "a.png"),
                         "a.png  40 30 straight 1.00\n")
        self.assertEqual(self.run_main(found(-0.001, 100.0, "other", 0.005), "a.png"),
                         "a.png  0 100 other 0.01\n")
        # A match code the binding does not know: the tool's word for it.
        self.assertEqual(self.run_main(found(8.0, 8.0, "unknown", 0.5), "a.png"),
                         "a.png  8 8 unknown 0.50\n")
        self.assertEqual(self.run_main(found(40.0, 30.0, "straight", 1.0, "mirror-h", (20.0, 30.0)),
                                       "a.png"),
                         "a.png  20 30 mirror-h 1.00\n")
        self.assertEqual(self.run_main(None, "a.png"), "a.png  no repeat\n")

    def test_json(self) -> None:
        tile = zentrel.Tile(40.333, 29.5, "half-drop", ((40.333, 14.75), (0.0, 29.5)), (0.1, 3.0),
                            0.987, "none", (40.333, 29.5), (5, 0, 200, 150))
        self.assertEqual(
            self.run_main(tile, "--json", "a.png"),
            '[\n  {"path": "a.png", "found": true, "width": 40.333, "height": 29.5, '
            '"match": "half-drop", "vector_a": [40.333, 14.75], "vector_b": [0, 29.5], '
            '"origin": [0.1, 3], "confidence": 0.987, "mirror": "none", "unit": [40.333, 29.5], '
            '"region": [5, 0, 200, 150], "ok": true, "error": null}\n]\n')
        odd = zentrel.Tile(1e15, 1 / 3, "unknown", ((-0.0, 1.2345678901234568e+17), (5e-324, 1e16)),
                           (float("nan"), float("-inf")), 1.0)
        self.assertEqual(
            self.run_main(odd, "--json", "a.png"),
            '[\n  {"path": "a.png", "found": true, "width": 1e+15, "height": 0.3333333333333333, '
            '"match": null, "vector_a": [-0, 1.2345678901234568e+17], '
            '"vector_b": [4.94065645841247e-324, 1e+16], "origin": [null, null], '
            '"confidence": 1, "mirror": "none", "unit": null, "region": null, "ok": true, '
            '"error": null}\n]\n')
        self.assertEqual(
            self.run_main(None, "--json", "a.png"),
            '[\n  {"path": "a.png", "found": false, "width": null, "height": null, '
            '"match": null, "vector_a": null, "vector_b": null, "origin": null, '
            '"confidence": null, "mirror": null, "unit": null, "region": null, "ok": true, '
            '"error": null}\n]\n')


if __name__ == "__main__":
    unittest.main()
