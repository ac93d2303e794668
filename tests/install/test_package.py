#!/usr/bin/env python3
"""Builds the Debian package with cpack, checks its metadata, unpacks it into a temporary root
with dpkg -x and runs the gridloom command from there."""
import argparse
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ARGS = None
ROOT = Path()
DEB = Path()


def run(*cmd):
    result = subprocess.run([str(c) for c in cmd], capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, cmd))} failed ({result.returncode}):\n"
                             f"{result.stdout}{result.stderr}")
    return result.stdout


def setUpModule():
    global ROOT, DEB
    ROOT = Path(tempfile.mkdtemp(prefix="gridloom-package-"))
    run(ARGS.cpack, "--config", Path(ARGS.build_dir) / "CPackConfig.cmake", "-G", "DEB",
        "-B", ROOT / "out")
    debs = list((ROOT / "out").glob("*.deb"))
    if len(debs) != 1:
        raise AssertionError(f"cpack made {debs}, not one .deb")
    DEB = debs[0]
    run("dpkg", "-x", DEB, ROOT / "root")


def tearDownModule():
    shutil.rmtree(ROOT)


class DebianPackage(unittest.TestCase):
    def test_metadata(self):
        arch = run("dpkg", "--print-architecture").strip()
        self.assertEqual(DEB.name, f"gridloom_0.5.0_{arch}.deb")
        fields = {}
        for line in run("dpkg-deb", "-f", DEB).splitlines():
            if not line.startswith(" ") and ":" in line:
                key, value = line.split(":", 1)
                fields[key] = value.strip()
        expected = {"Package": "gridloom", "Version": "0.5.0", "Architecture": arch,
                    "Maintainer": "gridloom contributors", "Section": "utils"}
        for key, value in expected.items():
            with self.subTest(key):
                self.assertEqual(fields.get(key), value)
        # Computed by dpkg-shlibdeps: the C and C++ runtimes, not our own library.
        depends = fields.get("Depends", "")
        self.assertIn("libc6", depends)
        self.assertIn("libstdc++6", depends)
        self.assertNotIn("gridloom", depends)

    def test_files_under_usr(self):
        # Mode, owner, size, date, time, then the name (and " -> target" for a link).
        lines = run("dpkg-deb", "-c", DEB).splitlines()
        names = [line.split(None, 5)[5].split(" -> ")[0] for line in lines]
        for name in ["./usr/bin/gridloom", "./usr/lib/libgridloom.so",
                     "./usr/lib/libgridloom-serve.so",
                     "./usr/include/gridloom/gridloom.h", "./usr/share/man/man1/gridloom.1",
                     "./usr/lib/pkgconfig/gridloom.pc", "./usr/lib/cmake/gridloom/"]:
            with self.subTest(name):
                self.assertIn(name, names)
        self.assertEqual([n for n in names if not n.startswith("./usr/") and n != "./"], [])
        self.assertEqual([n for n in names if n.endswith(".a")], [])
        # The serve module's HTTP server is compiled in from Boost's headers: no HTTP or
        # Boost library is needed where the package is installed.
        depends = run("dpkg-deb", "-f", DEB, "Depends")
        self.assertEqual([d for d in ("httplib", "boost") if d in depends], [], depends)

    def test_unpacked_command_runs(self):
        gridloom = ROOT / "root/usr/bin/gridloom"
        lines = run(gridloom, "info").splitlines()
        self.assertIn("name: gridloom", lines)
        self.assertIn("version: 0.5.0", lines)
        self.assertEqual(run(gridloom, "--version"), "gridloom 0.5.0\n")
        csv = ROOT / "t.csv"
        csv.write_bytes(b"x,y\r\n")
        self.assertEqual(run(gridloom, "render", csv),
                         "<table><tr><td>x</td><td>y</td></tr></table>")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--skip", help="skip, with this reason")
    ARGS, rest = parser.parse_known_args()
    if ARGS.skip:
        print(f"package test SKIPPED: {ARGS.skip}")
        sys.exit(77)
    if not shutil.which("dpkg-deb"):
        print("package test SKIPPED: dpkg-deb is not installed")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
