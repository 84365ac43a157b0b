"""python3 -m zentrel against the tool (ZENTREL_TOOL) on the same generated
images: the same standard output, messages and exit status."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from typing import Sequence

import zentrel
from synthetic_images import gradient, tiled_noise, write_pnm

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
        # Noise that does not repeat: one tile the size of the image.
        write_pnm(cls.folder / "noise.pgm", 200, 150, tiled_noise(200, 150, (200, 150), 9))
        (cls.folder / "broken.png").write_bytes(b"not an image")
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
                          ["card.pgm", "--corners", "5,5,5,5,5,5,5,5"]):
            with self.subTest(arguments=arguments):
                self.assert_like_the_tool("rectify", *arguments)
        self.assertTrue((self.folder / "card_pers.pgm").is_file())

    def test_usage_errors_exit_two(self) -> None:
        for arguments in ([], ["frobnicate"], ["repeat"], ["rectify", "card.pgm"],
                          ["rectify", "card.pgm", "--corners", "1,2,3,4,5,6,7"],
                          ["rectify", "card.pgm", "--corners", "0,0,9,0,9,9,0,2147483648"],
                          ["batch", "--job", "rectify", "card.pgm"]):
            with self.subTest(arguments=arguments):
                result = self.module(*arguments)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertEqual(self.module("--version").stdout, f"zentrel {zentrel.__version__}\n")


@unittest.skipUnless(hasattr(zentrel, "tile"), "zentrel.tile not available")
class Tile(ModuleCase):
    def test_records(self) -> None:
        result = self.module("tile", "--json", "wall.pgm", "noise.pgm", "broken.png")
        self.assertEqual(result.returncode, 1, result.stderr)
        wall, noise, broken = json.loads(result.stdout)
        self.assertEqual(list(wall), ["path", "width", "height", "match", "vectors", "origin",
                                      "confidence", "ok", "error"])
        self.assertTrue(wall["ok"])
        self.assertAlmostEqual(wall["width"], 50, delta=1)
        self.assertAlmostEqual(wall["height"], 40, delta=1)
        self.assertEqual(wall["match"], "straight")
        self.assertEqual(len(wall["vectors"]), 2)
        self.assertEqual(len(wall["origin"]), 2)
        # No repeat: ok, with no tile.
        self.assertEqual(noise, {"path": "noise.pgm", "width": None, "height": None, "match": None,
                                "vectors": None, "origin": None, "confidence": None, "ok": True,
                                "error": None})
        self.assertEqual((broken["ok"], broken["error"]),
                         (False, "Could not read image file: broken.png"))
        self.assertEqual(result.stderr, "zentrel: broken.png: Could not read image file: "
                                        "broken.png\n")

    def test_text(self) -> None:
        result = self.module("tile", "wall.pgm", "noise.pgm")
        self.assertEqual(result.returncode, 0, result.stderr)
        wall, noise = result.stdout.splitlines()
        self.assertRegex(wall, r"^wall\.pgm  \S+ \S+ straight$")
        self.assertEqual(noise, "noise.pgm  no repeat")


if __name__ == "__main__":
    unittest.main()
