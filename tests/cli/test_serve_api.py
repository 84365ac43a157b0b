"""`zentrel serve`'s JSON API as the page, and an attacker, would use it: a
server started on a free loopback port, its records against the tool's own,
its refusals, and its workers dying, hanging and overflowing.
ZENTREL_TOOL names the binary; ZENTREL_SAMPLES the bundled samples.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from serve_harness import TOOL, Server, cpu_ticks
from synthetic_images import gradient, noise, tiled_noise, write_pnm

SAMPLES = Path(os.environ.get("ZENTREL_SAMPLES", Path(__file__).resolve().parents[2] / "samples"))
CARD_CORNERS = "8,4,55,4,55,39,8,39"
PAINTING = "painting_scene.jpg"


def make_root(folder: Path) -> None:
    write_pnm(folder / "wall.pgm", 700, 500, tiled_noise(700, 500, (64, 48), 2))
    write_pnm(folder / "card.pgm", 64, 48, gradient(64, 48))
    (folder / "sub").mkdir()
    write_pnm(folder / "sub" / "cloth.ppm", 300, 200, tiled_noise(300, 200, (30, 20), 3, 3), 3)
    (folder / "broken.png").write_bytes(b"not an image")
    shutil.copy(SAMPLES / "brick_tile97x61.png", folder)
    shutil.copy(SAMPLES / PAINTING, folder)


def make_slow_image(path: Path) -> None:
    """A picture that takes a worker a few tenths of a second."""
    write_pnm(path, 6000, 6000, os.urandom(6000 * 6000))


def tool_record(folder: Path, *arguments: str):
    """The tool's --json record for one image, run in `folder` as the server's workers are."""
    result = subprocess.run([TOOL, *arguments, "--json"], cwd=folder, capture_output=True,
                            text=True, timeout=60)
    record = json.loads(result.stdout)
    return record[0] if isinstance(record, list) else record


class ServerCase(unittest.TestCase):
    SERVE_ARGUMENTS: tuple = ("-j", "2")

    @classmethod
    def setUpClass(cls) -> None:
        cls.scratch = tempfile.TemporaryDirectory()
        cls.base = Path(cls.scratch.name)
        cls.root = cls.base / "root"
        cls.root.mkdir()
        make_root(cls.root)
        cls.prepare()
        # The server's temporary folder lands here, where the tests can see it.
        cls.temp = cls.base / "tmp"
        cls.temp.mkdir()
        cls.server = Server(cls.root, *cls.SERVE_ARGUMENTS, temp=cls.temp)

    @classmethod
    def prepare(cls) -> None:
        pass

    @classmethod
    def tearDownClass(cls) -> None:
        status, errors = cls.server.stop()
        cls.scratch.cleanup()
        if status != 0:
            raise AssertionError(f"serve ended with {status}: {errors}")


class Records(ServerCase):
    def test_records_are_the_tools(self) -> None:
        for call, name in [("repeat", "wall.pgm"), ("repeat", "sub/cloth.ppm"),
                           ("tile", "brick_tile97x61.png"), ("tile", "sub/cloth.ppm"),
                           ("repeat", "broken.png"), ("tile", "broken.png")]:
            with self.subTest(call=call, file=name):
                reply = self.server.get(f"/api/{call}", file=name)
                expected = tool_record(self.root, call, name)
                self.assertEqual(reply.json(), expected)
                self.assertEqual(reply.status, 200 if expected["ok"] else 422)
        # The library's own words for a file that is no image.
        self.assertEqual(self.server.get("/api/tile", file="broken.png").json()["error"],
                         "Could not read image file: broken.png")

    def test_rectify_writes_what_the_tool_writes_and_names_it(self) -> None:
        reply = self.server.post("/api/rectify", file="card.pgm", corners=CARD_CORNERS)
        self.assertEqual(reply.status, 201, reply)
        self.assertEqual(reply.headers["location"], "/api/image?folder=root&file=card_pers.pgm")
        written = (self.root / "card_pers.pgm").read_bytes()
        self.assertEqual(reply.json(), tool_record(self.root, "rectify", "card.pgm",
                                                   "--corners", CARD_CORNERS))
        self.assertEqual((self.root / "card_pers.pgm").read_bytes(), written)
        self.assertEqual(self.server.post("/api/rectify", file="card.pgm",
                                          corners="1,2,3").status, 400)

    def test_suggested_corners_are_those_rectify_auto_uses(self) -> None:
        folder = self.base / "auto"
        folder.mkdir()
        shutil.copy(SAMPLES / PAINTING, folder)
        expected = tool_record(folder, "rectify", "--auto", PAINTING)
        found = self.server.get("/api/quad", file=PAINTING)
        self.assertEqual(found.status, 200, found)
        self.assertEqual({key: found.json()[key] for key in ("found", "corners", "confidence")},
                         {"found": True, "corners": expected["corners"],
                          "confidence": expected["confidence"]})
        none = self.server.get("/api/quad", file="wall.pgm").json()
        self.assertEqual((none["found"], none["corners"], none["ok"]), (False, None, True))
        refused = self.server.get("/api/quad", file="broken.png")
        self.assertEqual((refused.status, refused.json()["error"]),
                         (422, "Could not read image file: broken.png"))

    def test_export_is_the_tools_tile_offered_for_download(self) -> None:
        reply = self.server.post("/api/export", file="sub/cloth.ppm", dpi="300")
        self.assertEqual(reply.status, 201, reply)
        folder = self.base / "tool-export"
        folder.mkdir()
        expected = tool_record(self.root, "tile", "sub/cloth.ppm", "--export", str(folder),
                               "--dpi", "300")
        self.assertEqual({**reply.json(), "tile_path": None}, {**expected, "tile_path": None})
        self.assertEqual(reply.headers["location"], "/api/download?file=root/sub/cloth_tile.png")
        download = self.server.get("/api/download", file="root/sub/cloth_tile.png")
        self.assertIn("attachment", download.headers["content-disposition"])
        self.assertEqual(download.body, (folder / "cloth_tile.png").read_bytes())
        self.assertEqual(self.server.post("/api/export", file="wall.pgm", dpi="-1").status, 400)
        refused = self.server.post("/api/export", file="broken.png")
        self.assertEqual((refused.status, refused.json()["error"]),
                         (422, "Could not read image file: broken.png"))

    def test_files_thumbnails_and_pictures(self) -> None:
        listed = {(entry["folder"], entry["file"]) for entry in self.server.get("/api/files").json()["files"]}
        self.assertLessEqual({("root", "wall.pgm"), ("root", "sub/cloth.ppm"),
                              ("root", "brick_tile97x61.png")}, listed)
        thumbnail = self.server.get("/api/thumbnail", file="wall.pgm")
        self.assertEqual((thumbnail.status, thumbnail.headers["content-type"]), (200, "image/jpeg"))
        self.assertEqual(thumbnail.body[:2], b"\xff\xd8")
        # A format browsers do not show arrives as PNG; one they show, as it is.
        picture = self.server.get("/api/image", file="wall.pgm")
        self.assertEqual(picture.body[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(self.server.get("/api/image", file="brick_tile97x61.png").body,
                         (self.root / "brick_tile97x61.png").read_bytes())

    def test_uploads_are_kept_only_once_they_decode(self) -> None:
        image = (self.root / "brick_tile97x61.png").read_bytes()
        reply = self.server.post("/api/upload", image, name="../My Brick.png")
        self.assertEqual(reply.status, 201, reply)
        self.assertEqual(reply.json(), {"ok": True, "folder": "uploads", "file": "My_Brick.png"})
        tile = self.server.get("/api/tile", folder="uploads", file="My_Brick.png").json()
        self.assertEqual({key: tile[key] for key in ("width", "height", "match")},
                         {key: tool_record(self.root, "tile", "brick_tile97x61.png")[key]
                          for key in ("width", "height", "match")})
        (folder,) = self.temp.glob("zentrel-serve-*/uploads")
        self.assertEqual(stat.S_IMODE(folder.stat().st_mode), 0o700)
        self.assertEqual(stat.S_IMODE((folder / "My_Brick.png").stat().st_mode), 0o600)

        refused = self.server.post("/api/upload", b"not an image", name="notes.png")
        self.assertEqual((refused.status, refused.json()["error"]),
                         (422, "Could not read image file: notes.png"))
        self.assertFalse((folder / "notes.png").exists())
        self.assertEqual(self.server.post("/api/upload", image, name="noextension").status, 400)


class Refusals(ServerCase):
    SERVE_ARGUMENTS = ("-j", "1", "--max-upload", "1")

    @classmethod
    def prepare(cls) -> None:
        cls.outside = cls.base / "outside"
        cls.outside.mkdir()
        write_pnm(cls.outside / "secret.pgm", 64, 48, gradient(64, 48))
        (cls.root / "link.pgm").symlink_to(cls.outside / "secret.pgm")
        (cls.root / "linked").symlink_to(cls.outside)
        # Rectifying target.pgm would write through this link.
        write_pnm(cls.root / "target.pgm", 64, 48, gradient(64, 48))
        (cls.root / "target_pers.pgm").symlink_to(cls.outside / "secret.pgm")

    def test_every_request_needs_the_token_and_the_own_host(self) -> None:
        wrong = "0" * len(self.server.token)
        for path in ["/", "/page.js", "/api/files", "/api/tile"]:
            with self.subTest(path=path):
                params = {"file": "wall.pgm"}
                self.assertEqual(self.server.request("GET", path, params, token=None).status, 403)
                self.assertEqual(self.server.request("GET", path, params, token=wrong).status, 403)
                for host in ["evil.example", "localhost.evil.example:8765", "127.0.0.1.nip.io"]:
                    reply = self.server.request("GET", path, params, headers={"Host": host})
                    self.assertEqual(reply.status, 403, host)
                    self.assertNotIn(self.server.token.encode(), reply.body)
                self.assertEqual(self.server.request("GET", path, params).status, 200)
        self.assertEqual(self.server.request("POST", "/api/rectify", {"file": "card.pgm",
                                             "corners": CARD_CORNERS}, token=None).status, 403)
        self.assertFalse((self.root / "card_pers.pgm").exists())

    def test_the_page_sets_a_private_cookie_that_carries_the_token(self) -> None:
        page = self.server.get("/")
        cookie = page.headers["set-cookie"]
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        self.assertIn("script-src 'self'", page.headers["content-security-policy"])
        pair = cookie.split(";")[0]
        self.assertEqual(self.server.request("GET", "/api/files", token=None,
                                             headers={"Cookie": pair}).status, 200)
        self.assertEqual(self.server.request("GET", "/api/files", token=None,
                                             headers={"Cookie": pair[:-1] + "x"}).status, 403)

    def test_nothing_outside_the_root_is_read_or_written(self) -> None:
        secret = (self.outside / "secret.pgm").read_bytes()
        names = ["../outside/secret.pgm", str(self.outside / "secret.pgm"), "link.pgm",
                 "linked/secret.pgm", "sub/../../outside/secret.pgm", "/etc/passwd"]
        for call in ["/api/image", "/api/thumbnail", "/api/tile", "/api/repeat"]:
            for name in names:
                with self.subTest(call=call, file=name):
                    reply = self.server.get(call, file=name)
                    self.assertEqual(reply.status, 403, reply)
                    self.assertNotIn(secret[-100:], reply.body)
        self.assertNotIn("link.pgm", json.dumps(self.server.get("/api/files").json()))
        for params in [{"folder": "exports", "file": "wall.pgm"}, {"folder": "..", "file": "wall.pgm"}]:
            self.assertEqual(self.server.get("/api/tile", **params).status, 400)
        self.assertEqual(self.server.get("/api/download", file="../uploads/x.png").status, 403)

        reply = self.server.post("/api/rectify", file="target.pgm", corners=CARD_CORNERS)
        self.assertEqual(reply.status, 403, reply)
        self.assertIn("symbolic link", reply.json()["error"])
        self.assertEqual((self.outside / "secret.pgm").read_bytes(), secret)

    def test_an_oversized_upload_is_refused(self) -> None:
        reply = self.server.post("/api/upload", os.urandom((1 << 20) + 1), name="big.png")
        self.assertEqual(reply.status, 413, reply)
        self.assertEqual(list(self.temp.glob("zentrel-serve-*/uploads/*")), [])

    def test_stopping_removes_the_temporary_folder(self) -> None:
        # A server of its own, so that stopping it leaves the others alone.
        temp = self.base / "tmp-stop"
        temp.mkdir()
        server = Server(self.root, "-j", "1", temp=temp)
        try:
            self.assertEqual(server.post("/api/upload", (self.root / "brick_tile97x61.png").read_bytes(),
                                         name="a.png").status, 201)
        finally:
            status, errors = server.stop()
        self.assertEqual((status, errors), (0, ""))
        self.assertEqual(list(temp.iterdir()), [])


class Load(ServerCase):
    SERVE_ARGUMENTS = ("-j", "2")

    @classmethod
    def prepare(cls) -> None:
        write_pnm(cls.root / "plain.pgm", 320, 240, noise(320 * 240, 11))

    def test_fifty_concurrent_requests_are_all_answered_right(self) -> None:
        calls = [(call, name) for call in ("repeat", "tile")
                 for name in ("wall.pgm", "sub/cloth.ppm", "plain.pgm", "broken.png",
                              "brick_tile97x61.png")]
        expected = {call: tool_record(self.root, *call) for call in calls}
        requests = [calls[k % len(calls)] for k in range(50)]
        with ThreadPoolExecutor(max_workers=50) as pool:
            replies = list(pool.map(lambda call: self.server.get(f"/api/{call[0]}", file=call[1]),
                                    requests))
        for call, reply in zip(requests, replies):
            self.assertEqual(reply.json(), expected[call], call)


class Workers(ServerCase):
    """One worker, so that the one killed is the one holding the slow job."""

    SERVE_ARGUMENTS = ("-j", "1", "--queue", "1")

    @classmethod
    def prepare(cls) -> None:
        make_slow_image(cls.root / "slow.pgm")

    def in_thread(self, call: str, name: str):
        result = {}
        thread = threading.Thread(target=lambda: result.update(
            reply=self.server.get(f"/api/{call}", file=name)))
        thread.start()
        return thread, result

    def test_a_worker_killed_mid_job_fails_that_request_only(self) -> None:
        (worker,) = self.server.worker_ids()
        idle = cpu_ticks(worker)
        slow, slow_result = self.in_thread("tile", "slow.pgm")
        deadline = time.monotonic() + 30
        while cpu_ticks(worker) < idle + 3 and time.monotonic() < deadline:
            time.sleep(0.005)
        # Held mid-job, so that the slow job cannot finish before the kill
        # however fast the machine, while the next request queues behind it.
        os.kill(worker, signal.SIGSTOP)
        queued, queued_result = self.in_thread("tile", "wall.pgm")
        time.sleep(0.05)
        os.kill(worker, signal.SIGKILL)
        slow.join(30)
        queued.join(30)
        self.assertEqual(slow_result["reply"].status, 500)
        self.assertIn("killed by signal 9", slow_result["reply"].json()["error"])
        self.assertEqual(queued_result["reply"].json(), tool_record(self.root, "tile", "wall.pgm"))
        self.assertEqual(self.server.get("/api/repeat", file="wall.pgm").status, 200)

    def test_a_full_queue_answers_503_at_once(self) -> None:
        with ThreadPoolExecutor(max_workers=6) as pool:
            replies = list(pool.map(lambda _: self.server.get("/api/repeat", file="slow.pgm"),
                                    range(6)))
        statuses = sorted(reply.status for reply in replies)
        self.assertGreaterEqual(statuses.count(200), 2, statuses)
        self.assertGreaterEqual(statuses.count(503), 1, statuses)
        self.assertEqual(set(statuses), {200, 503})
        for reply in replies:
            if reply.status == 503:
                self.assertEqual(reply.headers["retry-after"], "1")


class TimeLimit(ServerCase):
    SERVE_ARGUMENTS = ("-j", "1", "--time-limit", "0.05")

    @classmethod
    def prepare(cls) -> None:
        make_slow_image(cls.root / "slow.pgm")

    def test_a_job_past_the_time_limit_fails_and_the_server_goes_on(self) -> None:
        reply = self.server.get("/api/tile", file="slow.pgm")
        self.assertEqual(reply.status, 504)
        self.assertIn("longer than 0.05 s", reply.json()["error"])
        # Any job may overrun so short a limit on a loaded machine; that the
        # workers are replaced is tested with a killed one above.
        self.assertEqual(self.server.get("/api/files").status, 200)


if __name__ == "__main__":
    unittest.main()
