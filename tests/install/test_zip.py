#!/usr/bin/env python3
"""Builds the Windows zip with cpack, checks what it holds, runs the Windows test host under
Wine against the DLL unpacked from it, and runs the unpacked gridloom.exe on the example site
as its README says (under Wine, in code page 932)."""
import argparse
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.request
import zipfile
from pathlib import Path

ARGS = None
TOP = "gridloom-0.5.0-win32/"
SITE = ["data/fares.csv", "data/stations.csv", "data/timetable.csv", "fares.html", "index.html",
        "ini/fares.ini", "ini/header.ini", "ini/matrix.ini", "style.css", "timetable.html"]
CONTENTS = ["gridloom.dll", "gridloom.exe", "gridloom-serve.dll", "include/gridloom/gridloom.h", "README.md",
            "README.txt", "docs/user-guide.md", "docs/ini-reference.md", "docs/host-api.md",
            "docs/example.png", *("example/site/" + name for name in SITE)]


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="gridloom-zip-"))
        result = subprocess.run([ARGS.cpack, "--config", Path(ARGS.build_dir) / "CPackConfig.cmake",
                                 "-G", "ZIP", "-B", cls.root], capture_output=True, text=True)
        if result.returncode != 0:
            raise AssertionError(result.stdout + result.stderr)
        cls.zip = cls.root / "gridloom-0.5.0-win32.zip"
        with zipfile.ZipFile(cls.zip) as archive:
            archive.extractall(cls.root / "x")
        cls.top = cls.root / "x" / TOP

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
        dll = (self.top / "gridloom.dll").resolve()
        result = subprocess.run([ARGS.emulator, ARGS.host, "Z:" + str(dll).replace("/", "\\")],
                                capture_output=True, text=True, timeout=240)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(" passed, 0 failed", result.stdout)

    def test_unpacked_command_runs_the_example(self):
        def run(*args):
            return subprocess.run([ARGS.emulator, self.top / "gridloom.exe", *args],
                                  cwd=self.top, capture_output=True, timeout=120)
        # The README's commands, run from the unzipped folder: gridloom.exe finds the DLL
        # beside it, and the system's code page is 932 (--codepage takes no other).
        r = run("--codepage", "932", "info")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertIn("syntax: &gridloom(ファイル名)\n".encode(), r.stdout)
        self.assertEqual(run("--codepage", "1252", "info").returncode, 2)
        r = run("check", "example\\site")
        self.assertEqual((r.returncode, r.stderr), (1, b""))  # the example's one missing CSV
        lines = r.stdout.decode("cp932").splitlines()
        self.assertEqual(lines[-1], "4 calls in 3 pages: 3 ok, 1 with problems")
        self.assertIn("example/site/index.html:15: CSV example/site/data/stations.csv, "
                      "INI example/site/ini/header.ini: ok", lines)
        r = run("expand", "example\\site", "--out-dir", "public")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"cannot open CSV file example/site/data/fares-2019.csv", r.stderr)
        for page in ("index.html", "fares.html", "timetable.html"):
            html = (self.top / "public" / page).read_bytes()
            self.assertIn(b"<table", html, page)
            self.assertNotIn(b"&gridloom(\"data/stations", html, page)
        self.assertEqual((self.top / "public/data/stations.csv").read_bytes(),
                         (self.top / "example/site/data/stations.csv").read_bytes())
        # The preview: gridloom.exe serve example\site loads gridloom-serve.dll beside it.
        server = subprocess.Popen([ARGS.emulator, self.top / "gridloom.exe", "serve",
                                   "example\\site", "--port", "0"],
                                  cwd=self.top, stderr=subprocess.PIPE)
        try:
            ready, _, _ = select.select([server.stderr], [], [], 60)
            line = server.stderr.readline().decode("cp932") if ready else ""
            port = re.search(r"at http://127\.0\.0\.1:(\d+)/ \(Ctrl-C stops\)", line)
            self.assertTrue(port, line)
            with urllib.request.urlopen(f"http://127.0.0.1:{port.group(1)}/timetable.html",
                                        timeout=60) as answer:
                self.assertIn(b"<table", answer.read())
        finally:
            server.send_signal(signal.SIGINT)  # Wine makes it a Ctrl+C
            server.communicate(timeout=60)
        self.assertEqual(server.returncode, 0)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for name in ["--cpack", "--build-dir", "--host", "--emulator"]:
        parser.add_argument(name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
