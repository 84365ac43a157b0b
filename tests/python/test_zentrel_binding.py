"""The Python binding against the built shared library (ZENTREL_LIBRARY)."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path
from unittest import mock

import zentrel
from synthetic_images import gradient, noise, png_size, pnm_size, tiled_noise, write_pnm

# zentrel_ext.h's status codes.
ERROR_UNREADABLE = -2
ERROR_OUTPUT = -4
ERROR_NO_REPEAT = -5
MATCHES = ("straight", "half-drop", "half-brick", "other")


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.scratch = tempfile.TemporaryDirectory()
        cls.folder = Path(cls.scratch.name)
        # The matching finds this 64 x 48 tile itself, not the centre box.
        cls.wall = write_pnm(cls.folder / "wall.pgm", 700, 500, tiled_noise(700, 500, (64, 48), 2))
        cls.cloth = write_pnm(cls.folder / "cloth.ppm", 300, 200,
                              tiled_noise(300, 200, (30, 20), 3, channels=3), channels=3)
        cls.card = write_pnm(cls.folder / "card.pgm", 64, 48, gradient(64, 48))
        cls.broken = cls.folder / "broken.png"
        cls.broken.write_bytes(b"not an image")
        # 1 x 40 scales to 24000 rows at the 600-column working width.
        cls.too_tall = write_pnm(cls.folder / "tall.pgm", 1, 40, bytes(40))
        cls.noise = write_pnm(cls.folder / "noise.pgm", 320, 240, noise(320 * 240, 11))
        cls.unicode_folder = cls.folder / "motifs-éü"
        cls.unicode_folder.mkdir()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.scratch.cleanup()

    def test_repeat_gives_the_traced_rectangle_inside_the_image(self) -> None:
        for image, (width, height) in ((self.wall, (700, 500)), (self.cloth, (300, 200))):
            with self.subTest(image=image.name):
                lines = []
                rect = zentrel.repeat(image, trace=lines.append)
                self.assertIsInstance(rect, zentrel.Rect)
                self.assertIn(f"Repeat_x = {rect.x} Repeat_y = {rect.y} Repeat_width = "
                              f"{rect.width} Repeat_height = {rect.height}", lines)
                self.assertGreater(rect.width, 0)
                self.assertGreater(rect.height, 0)
                self.assertLessEqual(rect.x + rect.width, width)
                self.assertLessEqual(rect.y + rect.height, height)

    def test_repeat_finds_the_tile(self) -> None:
        rect = zentrel.repeat(self.wall)
        self.assertEqual((rect.width, rect.height), (64, 48))
        # The centre box of a 700 x 500 image would be 140 x 100 at (280, 200).
        self.assertNotEqual((rect.x, rect.y), (280, 200))

    def test_repeat_failures_carry_the_library_line(self) -> None:
        # A success first: a failure must not hand back its rectangle.
        zentrel.repeat(self.wall)
        cases = {
            self.broken: f"Could not read image file: {self.broken}",
            self.folder / "missing.pgm": f"Could not read image file: {self.folder / 'missing.pgm'}",
            self.too_tall: f"Cannot analyse {self.too_tall}: a 1 x 40 image",
        }
        for image, expected in cases.items():
            with self.subTest(image=image.name):
                with self.assertRaises(zentrel.ZentrelError) as caught:
                    zentrel.repeat(image)
                self.assertTrue(caught.exception.message.startswith(expected),
                                caught.exception.message)
                self.assertEqual(caught.exception.trace[-1], caught.exception.message)
                self.assertTrue(caught.exception.trace[0].startswith("Show F5 Count = "))

    def test_non_ascii_paths(self) -> None:
        wall = self.unicode_folder / "壁紙.pgm"
        wall.write_bytes(self.wall.read_bytes())
        self.assertEqual(zentrel.repeat(wall), zentrel.repeat(self.wall))
        card = self.unicode_folder / "carte.pgm"
        card.write_bytes(self.card.read_bytes())
        output = zentrel.rectify(str(card), [(8, 4), (55, 4), (55, 39), (8, 39)])
        self.assertEqual(output, str(self.unicode_folder / "carte_pers.pgm"))
        self.assertEqual(pnm_size(Path(output)), (47, 35))

    def test_rectify_writes_beside_the_input(self) -> None:
        lines = []
        # Corners in any order; bytes and Path work like str.
        for path in (self.card, os.fsencode(self.card)):
            with self.subTest(path=type(path).__name__):
                output = zentrel.rectify(path, [(55, 39), (8, 4), (8, 39), (55, 4)],
                                         trace=lines.append)
                self.assertEqual(output, str(self.folder / "card_pers.pgm"))
                self.assertEqual(pnm_size(Path(output)), (47, 35))
                self.assertEqual(lines[-1], "Complete SaveImage")

    def test_rectify_failures(self) -> None:
        square = [(0, 0), (20, 0), (20, 20), (0, 20)]
        cases = [
            (self.broken, square, f"Could not read image file: {self.broken}"),
            (self.card, [(5, 5)] * 4, "Cannot rectify: the corners give an output of 0 x 0"),
        ]
        for image, corners, expected in cases:
            with self.subTest(expected=expected):
                with self.assertRaises(zentrel.ZentrelError) as caught:
                    zentrel.rectify(image, corners)
                self.assertTrue(caught.exception.message.startswith(expected),
                                caught.exception.message)
        self.assertFalse((self.folder / "broken_pers.png").exists())

    def test_rectify_rejects_bad_arguments_before_calling(self) -> None:
        square = [(0, 0), (20, 0), (20, 20), (0, 20)]
        with self.assertRaises(ValueError):
            zentrel.rectify(self.folder / "no_extension", square)
        with self.assertRaises(ValueError):
            zentrel.rectify(self.card, square[:3])
        with self.assertRaises(ValueError):
            zentrel.rectify(self.card, [(0, 2**31)] + square[1:])
        with self.assertRaises(TypeError):
            zentrel.rectify(self.card, [(0.5, 0)] + square[1:])

    def test_rectify_failure_carries_the_whole_trace(self) -> None:
        with self.assertRaises(zentrel.ZentrelError) as caught:
            zentrel.rectify(self.broken, [(0, 0), (20, 0), (20, 20), (0, 20)])
        trace = caught.exception.trace
        self.assertTrue(trace[0].startswith("Pers F5 Count = "), trace)
        self.assertEqual(trace[-1], caught.exception.message)
        self.assertIsNone(caught.exception.status)

    def test_tile_failures_carry_the_status_and_the_library_line(self) -> None:
        for image in (self.broken, self.folder / "missing.pgm", self.folder):
            with self.subTest(image=image.name):
                lines = []
                with self.assertRaises(zentrel.ZentrelError) as caught:
                    zentrel.tile(image, trace=lines.append)
                error = caught.exception
                self.assertEqual(error.status, ERROR_UNREADABLE)
                self.assertEqual(error.message, f"Could not read image file: {image}")
                self.assertEqual(error.trace, [error.message])
                self.assertEqual(lines, error.trace)

    def test_find_quad(self) -> None:
        painting = Path(__file__).resolve().parents[1] / "data" / "painting_scene.jpg"
        quad = zentrel.find_quad(painting)
        self.assertIsInstance(quad, zentrel.Quad)
        truth = ((231, 118), (1003, 171), (958, 742), (187, 690))
        for found, true in zip(quad.corners, truth):
            self.assertLessEqual(math.dist(found, true), 22.5, quad)
        self.assertGreater(quad.confidence, 0.5)
        self.assertIsNone(zentrel.find_quad(self.noise))
        with self.assertRaises(zentrel.ZentrelError) as caught:
            zentrel.find_quad(self.broken)
        self.assertEqual((caught.exception.status, caught.exception.message),
                         (ERROR_UNREADABLE, f"Could not read image file: {self.broken}"))

    def test_tile_gives_none_or_a_consistent_tile(self) -> None:
        self.assertIsNone(zentrel.tile(self.noise), "noise does not repeat")
        # Paths of every kind; whatever the estimate, its fields fit together.
        for path in (self.wall, str(self.cloth), os.fsencode(self.wall)):
            with self.subTest(path=path):
                found = zentrel.tile(path)
                if found is None:
                    continue
                self.assertIsInstance(found, zentrel.Tile)
                self.assertIn(found.match, MATCHES)
                self.assertGreater(found.width, 0)
                self.assertGreater(found.height, 0)
                self.assertTrue(0 <= found.confidence <= 1)
                self.assertEqual(len(found.vectors), 2)
        with self.assertRaises(ValueError):
            zentrel.tile("nul\0.png")

    def test_tile_of_a_clean_straight_tiling(self) -> None:
        found = zentrel.tile(self.wall)
        self.assertIsNotNone(found)
        self.assertEqual(found.match, "straight")
        self.assertAlmostEqual(found.width, 64, delta=0.5)
        self.assertAlmostEqual(found.height, 48, delta=0.5)
        self.assertEqual(sorted(round(abs(x) + abs(y)) for x, y in found.vectors), [48, 64])

    def test_extract_tile_writes_the_tile_and_says_how(self) -> None:
        output = self.folder / "wall_tile.png"
        written = zentrel.extract_tile(self.wall, output, dpi=254)
        self.assertEqual(written.path, str(output))
        self.assertEqual((written.width, written.height, written.match), (64, 48, "straight"))
        self.assertEqual(png_size(output), (64, 48))
        self.assertGreaterEqual(written.repeats, 64)
        self.assertAlmostEqual(written.seam_score, 1.0, delta=0.05)
        self.assertEqual(written.dpi, (254.0, 254.0))
        self.assertAlmostEqual(written.size_mm[0], 6.4)
        self.assertAlmostEqual(written.size_mm[1], 4.8)
        # The caller's tile, and the best single repeat alone.
        alone = zentrel.extract_tile(self.wall, self.folder / "alone.tif",
                                     tile=zentrel.tile(self.wall), combine="none")
        self.assertEqual((alone.repeats, alone.dpi, alone.size_mm), (1, None, None))

    def test_extract_tile_failures_carry_the_status_and_the_library_line(self) -> None:
        cases = [(self.noise, self.folder / "noise_tile.png", ERROR_NO_REPEAT, "no repeat"),
                 (self.wall, self.folder / "missing" / "t.png", ERROR_OUTPUT, "does not exist"),
                 (self.wall, self.wall, ERROR_OUTPUT, "input image itself")]
        for image, output, status, words in cases:
            with self.subTest(output=output.name):
                with self.assertRaises(zentrel.ZentrelError) as caught:
                    zentrel.extract_tile(image, output)
                self.assertEqual(caught.exception.status, status)
                self.assertIn(words, caught.exception.message)
        for options in ({"combine": "max"}, {"format": "bmp"}):
            with self.subTest(options=options), self.assertRaises(ValueError):
                zentrel.extract_tile(self.wall, self.folder / "x.png", **options)
        self.assertFalse((self.folder / "noise_tile.png").exists())

    def test_threads_get_their_own_results(self) -> None:
        expected = {self.wall: zentrel.repeat(self.wall), self.cloth: zentrel.repeat(self.cloth)}
        results = []

        def analyse(image: Path) -> None:
            for _ in range(3):
                lines = []
                results.append((image, zentrel.repeat(image, trace=lines.append)))
                # Only this call's lines, though the other thread's run in between.
                self.assertEqual(lines[1:], [f"C++ ImgURL = {image}", lines[2]])
                self.assertTrue(lines[2].startswith("Repeat_x = "), lines)

        threads = [threading.Thread(target=analyse, args=(image,)) for image in expected]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(len(results), 6)
        for image, rect in results:
            self.assertEqual(rect, expected[image])


class LoaderTest(unittest.TestCase):
    """Where the binding looks for the library when ZENTREL_LIBRARY is unset:
    on Windows only zentrel_ext.dll will do, since zentrel.dll has no
    extended API."""

    def test_candidates_by_system(self) -> None:
        cases = [
            ("posix", ["libzentrel.so.1", "zentrel.dll"], "libzentrel.so.1",
             ["{here}/libzentrel.so.1", "libzentrel.so.1", "libzentrel.so.1"]),
            ("nt", ["zentrel.dll", "zentrel_ext.dll"], "C:/lib/zentrel_ext.dll",
             ["{here}/zentrel_ext.dll", "C:/lib/zentrel_ext.dll", "zentrel_ext.dll"]),
            ("nt", ["zentrel.dll"], None, ["zentrel_ext.dll"]),
        ]
        for system, beside, found, expected in cases:
            with self.subTest(system=system, beside=beside), \
                    tempfile.TemporaryDirectory() as here:
                for name in beside:
                    Path(here, name).touch()
                asked = []

                def find_library(name: str) -> str | None:
                    asked.append(name)
                    return found

                environment = {k: v for k, v in os.environ.items() if k != "ZENTREL_LIBRARY"}
                with mock.patch.dict(os.environ, environment, clear=True), \
                        mock.patch.object(os, "name", system), \
                        mock.patch.object(zentrel, "__file__", os.path.join(here, "__init__.py")), \
                        mock.patch("ctypes.util.find_library", find_library):
                    candidates = list(zentrel._library_candidates())
                here_resolved = str(Path(here).resolve())
                self.assertEqual([c.replace(here_resolved, "{here}") for c in candidates], expected)
                self.assertEqual(asked, ["zentrel_ext" if system == "nt" else "zentrel"])


class StdoutTest(unittest.TestCase):
    """The trace must not reach the host's stdout, and the host's own output
    must survive the redirection in order."""

    def run_python(self, code: str, **environment: str) -> subprocess.CompletedProcess:
        env = dict(os.environ, **environment)
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              env=env, timeout=60)

    def test_trace_stays_off_stdout(self) -> None:
        with tempfile.TemporaryDirectory() as folder:
            image = write_pnm(Path(folder) / "wall.pgm", 600, 400,
                              tiled_noise(600, 400, (50, 40), 1))
            code = (
                "import zentrel, sys\n"
                "print('before')\n"
                f"rect = zentrel.repeat({str(image)!r})\n"
                "print('after', tuple(rect))\n"
                "try:\n"
                "    zentrel.repeat('missing.pgm')\n"
                "except zentrel.ZentrelError as error:\n"
                "    print('error', error.message)\n")
            result = self.run_python(code)
            self.assertEqual(result.returncode, 0, result.stderr)
            lines = result.stdout.splitlines()
            self.assertEqual(lines[0], "before")
            self.assertRegex(lines[1], r"^after \(\d+, \d+, \d+, \d+\)$")
            self.assertEqual(lines[2:], ["error Could not read image file: missing.pgm"])

    def test_a_print_from_another_thread_during_a_call_is_kept(self) -> None:
        with tempfile.TemporaryDirectory() as folder:
            image = write_pnm(Path(folder) / "wall.pgm", 600, 400,
                              tiled_noise(600, 400, (50, 40), 1))
            code = (
                "import threading, time, zentrel\n"
                "stop = threading.Event()\n"
                "printed = 0\n"
                "def chatter():\n"
                "    global printed\n"
                "    while not stop.is_set():\n"
                "        print('chatter', printed, flush=True)\n"
                "        printed += 1\n"
                "        time.sleep(0.001)\n"
                "thread = threading.Thread(target=chatter, daemon=True)\n"
                "thread.start()\n"
                "for _ in range(5):\n"
                f"    zentrel.repeat({str(image)!r})\n"
                "    try:\n"
                "        zentrel.tile('missing.pgm')\n"
                "    except zentrel.ZentrelError:\n"
                "        pass\n"
                "stop.set()\n"
                "thread.join()\n"
                "print('printed', printed)\n")
            result = self.run_python(code)
            self.assertEqual(result.returncode, 0, result.stderr)
            lines = result.stdout.splitlines()
            printed = int(lines[-1].split()[1])
            self.assertGreater(printed, 0)
            self.assertEqual(lines[:-1], [f"chatter {n}" for n in range(printed)])

    def test_the_version_is_the_projects(self) -> None:
        self.assertEqual(zentrel.__version__, os.environ["ZENTREL_PROJECT_VERSION"])

    def test_a_library_without_the_extended_api_is_refused_by_name(self) -> None:
        result = self.run_python("import zentrel\nzentrel.repeat('x.png')",
                                 ZENTREL_LIBRARY="libc.so.6")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("libc.so.6 has no extended API", result.stderr)

    def test_unloadable_library_is_named(self) -> None:
        result = self.run_python("import zentrel\nzentrel.repeat('x.png')",
                                 ZENTREL_LIBRARY="/nonexistent/libzentrel.so.1")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("/nonexistent/libzentrel.so.1", result.stderr)


if __name__ == "__main__":
    unittest.main()
