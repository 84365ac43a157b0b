"""zentrel.batch on a LocalCluster of two process workers, against the tool's
JSON (ZENTREL_TOOL) on the same generated images. Needs Debian's
python3-distributed; skipped where it is missing.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from typing import List

from synthetic_images import gradient, tiled_noise, write_pnm

try:
    import distributed  # noqa: F401
except ImportError:
    distributed = None

import zentrel.records
from zentrel import batch

TOOL = os.environ.get("ZENTREL_TOOL", "zentrel")
CARD_CORNERS = [(8, 4), (55, 4), (55, 39), (8, 39)]


def dying_repeat(path: str) -> zentrel.records.Record:
    """The repeat job, except that the worker process dies on images named
    die-once* (the first time only: a marker file beside the image says it
    happened) and on images named die-always* (every time, counted in a file
    beside the image)."""
    name = os.path.basename(path)
    if name.startswith("die-always"):
        with open(path + ".deaths", "a", encoding="ascii") as deaths:
            deaths.write("died\n")
        os._exit(70)
    if name.startswith("die-once"):
        try:
            os.close(os.open(path + ".died", os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            pass
        else:
            os._exit(70)
    return zentrel.records.repeat(path)


@unittest.skipIf(distributed is None, "python3-distributed is not installed")
class BatchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.scratch = tempfile.TemporaryDirectory()
        cls.folder = Path(cls.scratch.name)
        # Absolute paths: a worker resolves a relative one against its own
        # working directory.
        cls.images: List[str] = []
        # Three tile sizes, so that a result out of order would show.
        for k in range(30):
            tile = ((24, 20), (30, 24), (40, 30))[k % 3]
            image = cls.folder / f"scan{k:02d}.pgm"
            write_pnm(image, 240, 160, tiled_noise(240, 160, tile, seed=k))
            cls.images.append(str(image))
        (cls.folder / "broken.png").write_bytes(b"not an image")
        cls.images.insert(7, str(cls.folder / "broken.png"))
        cls.images.insert(19, str(cls.folder / "missing.pgm"))
        cls.context = batch.local_client(workers=2)
        cls.client = cls.context.__enter__()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.context.__exit__(None, None, None)
        cls.scratch.cleanup()

    def tool_json(self, *arguments: str) -> list:
        result = subprocess.run([TOOL, *arguments], cwd=self.folder, capture_output=True,
                                text=True, timeout=120)
        return json.loads(result.stdout)

    def test_records_equal_the_tools_in_input_order(self) -> None:
        expected = self.tool_json("repeat", "--json", "-j", "2", *self.images)
        # A window smaller than the batch: submission and output interleave.
        for window in (None, 3):
            with self.subTest(window=window):
                self.assertEqual(list(batch.run(self.images, "repeat", self.client,
                                                window=window)), expected)
        self.assertEqual([record["ok"] for record in expected].count(False), 2)

    def test_rectify_job(self) -> None:
        card = str(write_pnm(self.folder / "card.pgm", 64, 48, gradient(64, 48)))
        corners = ",".join(str(value) for corner in CARD_CORNERS for value in corner)
        expected = [self.tool_json("rectify", "--json", image, "--corners", corners)
                    for image in (card, self.images[7])]
        self.assertEqual(expected[0]["output"], str(self.folder / "card_pers.pgm"))
        self.assertEqual(list(batch.run([card, self.images[7]], "rectify", self.client,
                                        corners=CARD_CORNERS)), expected)
        with self.assertRaises(ValueError):
            next(batch.run([card], "rectify", self.client))

    def test_tile_job_like_the_tool(self) -> None:
        # Whatever the estimator answers: the records are the tool's objects,
        # and the command line writes each in the tool's very bytes.
        tool = subprocess.run([TOOL, "tile", "--json", "-j", "2", *self.images], cwd=self.folder,
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(list(batch.run(self.images, "tile", self.client)),
                         json.loads(tool.stdout))
        objects = [line[2:].rstrip(",") for line in tool.stdout.splitlines()[1:-1]]
        result = subprocess.run(
            [sys.executable, "-m", "zentrel", "batch", "--job", "tile", "--scheduler",
             self.client.scheduler.address, *self.images],
            capture_output=True, text=True, timeout=120)
        self.assertEqual((result.returncode, result.stdout.splitlines()), (1, objects))
        self.assertEqual(len(objects), len(self.images))

    def test_extract_job_like_the_tool(self) -> None:
        tiles = self.folder / "tiles"
        tiles.mkdir()
        images = self.images[5:9]  # a broken image among them
        tool = self.tool_json("tile", "--json", "--export", str(tiles), "--dpi", "300", *images)
        self.assertEqual(list(batch.run(images, "extract", self.client, folder=tiles,
                                        export={"dpi": 300})), tool)
        self.assertEqual(len(list(tiles.iterdir())), 3)
        with self.assertRaises(ValueError):
            next(batch.run(images, "extract", self.client))

    def test_tile_job_finds_each_scans_tile(self) -> None:
        scans = [image for image in self.images if "scan" in image]
        results = list(batch.run(scans, "tile", self.client))
        for k, record in enumerate(results):
            with self.subTest(path=record["path"]):
                self.assertTrue(record["found"])
                self.assertEqual([round(record["width"]), round(record["height"])],
                                 list(((24, 20), (30, 24), (40, 30))[k % 3]))

    def test_a_dead_worker_costs_one_retry_then_the_image(self) -> None:
        dying = [str(self.folder / name) for name in ("die-once.pgm", "die-always.pgm")]
        for image in dying:
            Path(image).write_bytes(Path(self.images[0]).read_bytes())
        images = self.images[:4] + dying[:1] + self.images[4:8] + dying[1:]
        results = list(batch.run(images, dying_repeat, self.client))
        self.assertEqual([record["path"] for record in results], images)
        good = zentrel.records.repeat(self.images[0])
        self.assertEqual({key: value for key, value in results[4].items() if key != "path"},
                         {key: value for key, value in good.items() if key != "path"})
        self.assertEqual(results[-1]["ok"], False)
        self.assertIn("died", results[-1]["error"])
        self.assertEqual(Path(dying[1] + ".deaths").read_text(encoding="ascii"), "died\n" * 2)
        self.assertEqual(results[:4], [zentrel.records.repeat(image) for image in images[:4]])

    def test_command_line_joins_a_scheduler(self) -> None:
        listing = self.folder / "listing.txt"
        listing.write_text("\n".join(self.images[5:]) + "\n", encoding="utf-8")
        result = subprocess.run(
            [sys.executable, "-m", "zentrel", "batch", "--scheduler", self.client.scheduler.address,
             "--output", str(self.folder / "out.jsonl"), "--paths-from", str(listing),
             *self.images[:5]],
            capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertIn(f"2 of {len(self.images)} images failed", result.stderr)
        lines = (self.folder / "out.jsonl").read_text(encoding="utf-8").splitlines()
        self.assertEqual([json.loads(line) for line in lines],
                         list(batch.run(self.images, "repeat", self.client)))


# A quick script as most are written: no main guard.
UNGUARDED_SCRIPT = """\
import json
from zentrel import batch
print(json.dumps(list(batch.run({paths!r}, "repeat", workers=1))))
"""


@unittest.skipIf(distributed is None, "python3-distributed is not installed")
class LocalClusterProcessTest(unittest.TestCase):
    """The local cluster in a process of its own: batch.run without a client
    from a script without the main guard and from one fed on standard input
    (a worker that imported such a main module would start the batch again,
    fail, and be started again for ever), and a cluster that cannot start."""

    def run_script(self, folder: Path, paths: List[str], *, stdin: bool) -> str:
        script = UNGUARDED_SCRIPT.format(paths=paths)
        command = [sys.executable, "-"]
        if not stdin:
            (folder / "quick.py").write_text(script, encoding="utf-8")
            command = [sys.executable, str(folder / "quick.py")]
        # Its own session, so that a hang is killed whole instead of holding CI.
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, cwd=folder,
                                   start_new_session=True)
        try:
            stdout, stderr = process.communicate(script if stdin else "", timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            self.fail("the batch did not end within 60 s")
        self.assertEqual(process.returncode, 0, stderr)
        self.assertNotIn("leaked semaphore", stderr)
        return stdout

    def test_a_script_file_and_a_script_on_stdin_run_their_batch(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            folder = Path(scratch)
            image = write_pnm(folder / "scan.pgm", 240, 160, tiled_noise(240, 160, (30, 24), seed=1))
            paths = [str(image), str(folder / "missing.pgm")]
            expected = [zentrel.records.repeat(path) for path in paths]
            for stdin in (False, True):
                with self.subTest(stdin=stdin):
                    self.assertEqual(json.loads(self.run_script(folder, paths, stdin=stdin)),
                                     expected)

    def test_a_cluster_that_cannot_start_is_an_error_at_once(self) -> None:
        host = batch._CLUSTER_HOST
        batch._CLUSTER_HOST = "import sys; sys.exit(3)"
        try:
            with self.assertRaisesRegex(RuntimeError, r"status 3 .*client=distributed\.Client"):
                with batch.local_client(workers=1):
                    pass
        finally:
            batch._CLUSTER_HOST = host


if __name__ == "__main__":
    unittest.main()
