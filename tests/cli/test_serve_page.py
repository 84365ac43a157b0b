"""The page of `zentrel serve` in headless Chromium, driven by Selenium as a
person uses it: open a sample, see the tool's tile drawn on it, drag and nudge
a corner, rectify, export, and download. One browser session for all of it.
ZENTREL_TOOL names the binary, ZENTREL_SAMPLES the bundled samples and
ZENTREL_SCREENSHOTS the folder the screenshots go to.
"""

from __future__ import annotations

import base64
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from serve_harness import Server
from test_serve_api import SAMPLES, tool_record

SHOTS = Path(os.environ.get("ZENTREL_SCREENSHOTS", "serve-page"))
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
PAINTING = "painting_scene.jpg"
BRICK = "brick_tile97x61.png"


def start_browser(profile: Path, downloads: Path):
    """Chromium as a sandboxless root process on a closed network needs all
    of these; the profile is new and empty."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                 "--window-size=1440,900", "--force-device-scale-factor=1",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": str(downloads)})
    return driver


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.scratch = tempfile.TemporaryDirectory()
        base = Path(cls.scratch.name)
        cls.root = base / "root"
        cls.root.mkdir()
        for name in (PAINTING, BRICK):
            shutil.copy(SAMPLES / name, cls.root)
        cls.downloads = base / "downloads"
        cls.downloads.mkdir()
        cls.server = Server(cls.root, "-j", "2")
        try:
            cls.driver = start_browser(base / "profile", cls.downloads)
        except Exception as error:  # noqa: BLE001 - any failure to start is the reason
            cls.server.stop()
            cls.scratch.cleanup()
            raise unittest.SkipTest(f"headless Chromium cannot start here: {error}")
        cls.driver.implicitly_wait(0)
        SHOTS.mkdir(parents=True, exist_ok=True)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.driver.quit()
        status, errors = cls.server.stop()
        cls.scratch.cleanup()
        if status != 0:
            raise AssertionError(f"serve ended with {status}: {errors}")

    def wait(self, condition, what: str, seconds: float = 60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                value = condition()
            except Exception:  # noqa: BLE001 - the page is still changing
                value = None
            if value:
                return value
            time.sleep(0.05)
        self.driver.save_screenshot(str(SHOTS / "failed.png"))
        self.fail(f"the page never showed {what}")

    def find(self, selector: str):
        return self.driver.find_element("css selector", selector)

    def idle(self) -> None:
        self.wait(lambda: not self.find("#activity").is_displayed(), "the work finished")

    def open(self, name: str) -> None:
        self.find(f'#file-list li[data-file="{name}"]').click()
        self.wait(lambda: self.find("#unit-size").text != "–", f"the repeat unit of {name}")
        self.idle()

    def corners(self):
        return [[int(self.find(f"#corner-{k}-{axis}").get_attribute("value")) for axis in "xy"]
                for k in range(4)]

    def test_a_person_opens_steers_rectifies_and_exports(self) -> None:
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.keys import Keys

        driver = self.driver
        driver.get(self.server.url)
        self.wait(lambda: len(driver.find_elements("css selector", "#file-list li")) == 2,
                  "the two images in the list")
        # The token moved into a cookie; the address bar no longer shows it.
        self.assertNotIn(self.server.token, driver.current_url)

        # The overlay draws the tool's own tile.
        self.open(BRICK)
        tile = tool_record(self.root, "tile", BRICK)
        drawn = self.find("#overlay-tile")
        self.assertEqual([float(drawn.get_attribute(key)) for key in ("x", "y", "width", "height")],
                         [*tile["origin"], tile["width"], tile["height"]])
        shown = [float(value) for value in re.findall(r"[\d.]+", self.find("#unit-size").text)]
        self.assertEqual(shown, [round(tile["width"], 2), round(tile["height"], 2)])
        self.find("#tab-seams").click()
        self.wait(lambda: self.find("#seams-view"), "the seam view")
        driver.save_screenshot(str(SHOTS / "seams.png"))
        self.find("#tab-image").click()

        # Export with a resolution: the download is the API's own output.
        dpi = self.find("#export-dpi")
        dpi.clear()
        dpi.send_keys("300")
        self.find("#export").click()
        self.wait(lambda: self.find("#download").is_displayed(), "the download link")
        self.find("#download").click()
        downloaded = self.downloads / "brick_tile97x61_tile.png"
        self.wait(downloaded.exists, "the downloaded tile")
        reply = self.server.post("/api/export", file=BRICK, dpi="300")
        self.assertEqual(reply.status, 201, reply)
        location = reply.headers["location"]
        path, _, query = location.partition("?")
        params = dict(part.split("=", 1) for part in query.split("&"))
        self.assertEqual(downloaded.read_bytes(), self.server.get(path, **params).body)
        driver.save_screenshot(str(SHOTS / "exported.png"))
        # A small JPEG of the same, for the README.
        width, height = driver.execute_script("return [innerWidth, innerHeight]")
        shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "jpeg", "quality": 70,
            "clip": {"x": 0, "y": 0, "width": width, "height": height, "scale": 0.7}})
        (SHOTS / "page.jpg").write_bytes(base64.b64decode(shot["data"]))

        # The painting: handles at the suggested corners, one dragged with
        # the pointer and nudged with an arrow key.
        self.open(PAINTING)
        driver.save_screenshot(str(SHOTS / "painting.png"))
        before = self.corners()
        self.assertEqual(before, self.server.get("/api/quad", file=PAINTING).json()["corners"])
        handle = self.find('[data-handle="0"]')
        ActionChains(driver).click_and_hold(handle).move_by_offset(24, 16).release().perform()
        dragged = self.corners()
        scale = float(self.find("#zoom-level").text.rstrip("%")) / 100
        self.assertAlmostEqual(dragged[0][0] - before[0][0], 24 / scale, delta=2)
        self.assertAlmostEqual(dragged[0][1] - before[0][1], 16 / scale, delta=2)
        self.assertEqual(dragged[1:], before[1:])
        self.find('[data-handle="0"]').send_keys(Keys.ARROW_LEFT)
        self.find('[data-handle="0"]').send_keys(Keys.ARROW_DOWN)
        steered = self.corners()
        self.assertEqual(steered[0], [dragged[0][0] - 1, dragged[0][1] + 1])

        # Rectify writes what the tool writes with those corners, and the
        # page moves on to the result.
        self.find("#rectify").click()
        self.wait(lambda: "painting_scene_pers.jpg" in driver.current_url, "the rectified image")
        self.idle()
        driver.save_screenshot(str(SHOTS / "rectified.png"))
        copy = Path(self.scratch.name) / "copy"
        copy.mkdir()
        shutil.copy(SAMPLES / PAINTING, copy)
        corners = ",".join(str(value) for corner in steered for value in corner)
        subprocess.run([os.environ.get("ZENTREL_TOOL", "zentrel"), "rectify", PAINTING,
                        "--corners", corners], cwd=copy, check=True, capture_output=True)
        self.assertEqual((self.root / "painting_scene_pers.jpg").read_bytes(),
                         (copy / "painting_scene_pers.jpg").read_bytes())
        self.assertTrue(self.find("#message").get_attribute("hidden"))


if __name__ == "__main__":
    unittest.main()
