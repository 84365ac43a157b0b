"""`pip install ./python` in a fresh virtual environment, offline: setuptools
and wheel come from Debian's wheel folder. The installed package must carry
the project's version (ZENTREL_PROJECT_VERSION, which setup.py reads from the
top-level CMakeLists.txt) in its metadata and as zentrel.__version__, its
py.typed marker, and work from there alone with the built library
(ZENTREL_LIBRARY)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from synthetic_images import gradient, pnm_size, write_pnm

ROOT = Path(__file__).resolve().parents[2]
# Debian's python3-setuptools-whl and python3-wheel-whl.
WHEELS = Path("/usr/share/python-wheels")


@unittest.skipUnless(list(WHEELS.glob("setuptools-*.whl")) and list(WHEELS.glob("wheel-*.whl")),
                     f"no setuptools and wheel wheels in {WHEELS} (python3-wheel-whl)")
class PipInstall(unittest.TestCase):
    def test_offline_install_into_a_venv(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            folder = Path(scratch)
            # A copy, since setuptools builds in the source folder, with the
            # CMakeLists.txt beside it that holds the version.
            shutil.copytree(ROOT / "python", folder / "python",
                            ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
            shutil.copy(ROOT / "CMakeLists.txt", folder)
            subprocess.run([sys.executable, "-m", "venv", str(folder / "venv")], check=True,
                           timeout=120)
            python = str(folder / "venv" / "bin" / "python")
            environment = {key: value for key, value in os.environ.items()
                           if not key.startswith("PIP_") and key != "PYTHONPATH"}
            install = subprocess.run(
                [python, "-m", "pip", "install", "--no-index", "--find-links", str(WHEELS),
                 str(folder / "python")], capture_output=True, text=True, env=environment,
                timeout=180)
            self.assertEqual(install.returncode, 0, install.stdout + install.stderr)

            probe = subprocess.run(
                [python, "-c", "import importlib.metadata as m, pathlib, zentrel\n"
                 "print(m.version('zentrel'), zentrel.__version__)\n"
                 "print(pathlib.Path(zentrel.__file__).parent)"],
                capture_output=True, text=True, env=environment, cwd=folder, timeout=60)
            self.assertEqual(probe.returncode, 0, probe.stderr)
            versions, package = probe.stdout.splitlines()
            version = os.environ["ZENTREL_PROJECT_VERSION"]
            self.assertEqual(versions, f"{version} {version}")
            self.assertTrue(package.startswith(str(folder / "venv")), package)
            self.assertTrue((Path(package) / "py.typed").is_file())

            card = write_pnm(folder / "card.pgm", 64, 48, gradient(64, 48))
            rectify = subprocess.run(
                [python, "-m", "zentrel", "rectify", str(card), "--corners", "8,4,55,4,55,39,8,39"],
                capture_output=True, text=True, env=environment, cwd=folder, timeout=60)
            self.assertEqual((rectify.returncode, rectify.stdout),
                             (0, str(folder / "card_pers.pgm") + "\n"), rectify.stderr)
            self.assertEqual(pnm_size(folder / "card_pers.pgm"), (47, 35))


if __name__ == "__main__":
    unittest.main()
