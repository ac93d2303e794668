#!/usr/bin/env python3
"""Builds the Windows zip with cpack, checks what it holds, and runs the Windows test host
under Wine against the DLL unpacked from it."""
import argparse
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

ARGS = None
TOP = "gridloom-0.5.0-win32/"
CONTENTS = ["gridloom.dll", "include/gridloom/gridloom.h", "README.md", "example/fares.ini",
            "docs/user-guide.md", "docs/ini-reference.md", "docs/host-api.md",
            "docs/example.png"]


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="gridloom-zip-"))
        result = subprocess.run([ARGS.cpack, "--config", Path(ARGS.build_dir) / "CPackConfig.cmake",
                                 "-G", "ZIP", "-B", cls.root], capture_output=True, text=True)
        if result.returncode != 0:
            raise AssertionError(result.stdout + result.stderr)
        cls.zip = cls.root / "gridloom-0.5.0-win32.zip"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def test_contents(self):
        with zipfile.ZipFile(self.zip) as archive:
            files = sorted(n[len(TOP):] for n in archive.namelist()
                           if n.startswith(TOP) and not n.endswith("/"))
            self.assertEqual(files, sorted(CONTENTS))
            self.assertEqual([n for n in archive.namelist() if not n.startswith(TOP)], [])

    def test_unpacked_dll_passes_the_test_host(self):
        with zipfile.ZipFile(self.zip) as archive:
            archive.extractall(self.root / "x")
        dll = (self.root / "x" / TOP / "gridloom.dll").resolve()
        result = subprocess.run([ARGS.emulator, ARGS.host, "Z:" + str(dll).replace("/", "\\")],
                                capture_output=True, text=True, timeout=240)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(" passed, 0 failed", result.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ["--cpack", "--build-dir", "--host", "--emulator"]:
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
