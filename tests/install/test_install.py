#!/usr/bin/env python3
"""Installs the build into a temporary prefix, moves the installed tree elsewhere (it must be
relocatable), and builds a small C host against it, once through find_package(gridloom) and
once through pkg-config."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ARGS = None
ROOT = Path()
PREFIX = Path()
CSV = b"a,b\r\n1,<2>\r\n"
TABLE = "<table><tr><td>a</td><td>b</td></tr><tr><td>1</td><td>&lt;2&gt;</td></tr></table>"


def run(*cmd, **kwargs):
    result = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, cmd))} failed ({result.returncode}):\n"
                             f"{result.stdout}{result.stderr}")
    return result.stdout


def setUpModule():
    global ROOT, PREFIX
    ROOT = Path(tempfile.mkdtemp(prefix="gridloom-install-"))
    staged = ROOT / "staged"
    run(ARGS.cmake, "--install", ARGS.build_dir, "--prefix", staged)
    PREFIX = ROOT / "moved"
    staged.rename(PREFIX)
    (ROOT / "site").mkdir()
    (ROOT / "site" / "t.csv").write_bytes(CSV)


def tearDownModule():
    shutil.rmtree(ROOT)


class Installed(unittest.TestCase):
    def check_consumer(self, exe, env=None):
        out = run(exe, '"t.csv"', ROOT / "site", env=env)
        self.assertEqual(out, f"gridloom 0.5.0 type 1\n{TABLE}\n")

    def test_layout(self):
        for name in ["bin/gridloom", "lib/libgridloom.so", "lib/libgridloom-winapi.so",
                     "lib/libgridloom-serve.so",
                     "include/gridloom/gridloom.h", "include/gridloom/winapi.h",
                     "lib/cmake/gridloom/gridloomConfig.cmake",
                     "lib/cmake/gridloom/gridloomConfigVersion.cmake",
                     "lib/pkgconfig/gridloom.pc", "share/man/man1/gridloom.1",
                     "share/doc/gridloom/README.md",
                     "share/doc/gridloom/docs/user-guide.md", "share/doc/gridloom/docs/example.png"]:
            with self.subTest(name):
                self.assertTrue((PREFIX / name).exists())
        internal = [p.name for p in (PREFIX / "lib").iterdir() if p.suffix == ".a"]
        self.assertEqual(internal, [])

    def test_command_finds_the_installed_plugin(self):
        out = run(PREFIX / "bin/gridloom", "info")
        self.assertIn("name: gridloom\n", out)
        self.assertIn("version: 0.5.0\n", out)
        out = run(PREFIX / "bin/gridloom", "render", ROOT / "site/t.csv")
        self.assertEqual(out, TABLE)
        # serve's module is found too: a missing site is its own message, not a load failure.
        served = subprocess.run([str(PREFIX / "bin/gridloom"), "serve", str(ROOT / "nothere")],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(served.returncode, 3)
        self.assertRegex(served.stderr, r"^gridloom: serve: \S*nothere: No such file")

    def test_find_package(self):
        build = ROOT / "cmake-consumer"
        run(ARGS.cmake, "-S", ARGS.consumer, "-B", build, "-G", ARGS.generator,
            f"-DCMAKE_PREFIX_PATH={PREFIX}")
        run(ARGS.cmake, "--build", build)
        self.check_consumer(build / "consumer")

    def test_find_package_refuses_another_minor_version(self):
        build = ROOT / "cmake-too-new"
        source = ROOT / "too-new"
        shutil.copytree(ARGS.consumer, source)
        lists = source / "CMakeLists.txt"
        lists.write_text(lists.read_text().replace("gridloom 0.5 ", "gridloom 0.6 "))
        result = subprocess.run([ARGS.cmake, "-S", source, "-B", build, "-G", ARGS.generator,
                                 f"-DCMAKE_PREFIX_PATH={PREFIX}"], capture_output=True, text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("version: 0.5.0", result.stderr)

    def test_pkg_config(self):
        env = dict(os.environ, PKG_CONFIG_PATH=str(PREFIX / "lib/pkgconfig"))
        self.assertEqual(run("pkg-config", "--modversion", "gridloom", env=env), "0.5.0\n")
        flags = run("pkg-config", "--cflags", "--libs", "gridloom", env=env).split()
        self.assertIn(f"-I{PREFIX}/include", [os.path.normpath(f) for f in flags])
        exe = ROOT / "pc-consumer"
        run(ARGS.cc, Path(ARGS.consumer) / "consumer.c", "-o", exe, *flags)
        self.check_consumer(exe, env=dict(os.environ, LD_LIBRARY_PATH=str(PREFIX / "lib")))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--consumer", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--skip", help="skip, with this reason")
    ARGS, rest = parser.parse_known_args()
    if ARGS.skip:
        print(f"install test SKIPPED: {ARGS.skip}")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
