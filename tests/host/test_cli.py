#!/usr/bin/env python3
"""Drives the built gridloom binary as a user would: render, inline, expand, info, the
warnings and the exit statuses."""
import argparse
import atexit
import concurrent.futures
import http.client
import itertools
import os
import pty
import resource
import select
import shutil
import signal
import subprocess
import random
import re
import stat
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
from pathlib import Path

GRIDLOOM = ""
COMMAND = []  # how to run it: [GRIDLOOM], or ["wine", GRIDLOOM] for gridloom.exe
WINDOWS = False
EXAMPLES = Path()
COMMENT = "<!-- 作成できませんでした -->"
START = time.time()
CRLF = b"\r\n"


def text(data):
    """What the command wrote as text: UTF-8 on Linux, the ANSI code page (932) on Windows."""
    return data.decode("cp932" if WINDOWS else "utf-8")


def run(*args, cwd=None, **kwargs):
    return subprocess.run([*COMMAND, *map(str, args)], cwd=cwd, capture_output=True, **kwargs)


def temp_folder():
    """Where the command makes its temporary files: /tmp, or %TEMP% of Wine's prefix."""
    if not WINDOWS:
        return Path(tempfile.gettempdir())
    prefix = Path(os.environ.get("WINEPREFIX", Path.home() / ".wine"))
    found = [*prefix.glob("drive_c/users/*/AppData/Local/Temp"), *prefix.glob("drive_c/users/*/Temp")]
    assert found, f"no Temp folder in {prefix}"
    return found[0]


def table(rows, row1=("<td>", "</td>"), etc=("<td>", "</td>"), open_tag="<table>"):
    """The HTML that the plug-in renders for rows, with first-row and other cell tags."""
    html = open_tag
    for i, row in enumerate(rows):
        tags = row1 if i == 0 else etc
        html += "<tr>" + "".join(tags[0] + cell + tags[1] for cell in row) + "</tr>"
    return html + "</table>"


HEADER_INI = b"[tdRow1]\r\nopen=<th>\r\nclose=</th>\r\n"
TH = ("<th>", "</th>")


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="gridloom-cli-"))
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, data):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        return path

    def not_on_windows(self, what):
        """Skips the test or subtest under gridloom.exe, naming what Windows lacks."""
        if WINDOWS:
            self.skipTest(f"not on Windows: {what}")

    def assertUsage(self, result, fragment):
        self.assertEqual(result.returncode, 2, result.stderr)
        err = result.stderr.decode()
        self.assertTrue(err.startswith("gridloom: "), err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn(fragment, err)


class Info(Case):
    def test_seven_labelled_lines(self):
        r = run("info")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout.decode().splitlines(), [
            "type: 1", "name: gridloom", "version: 0.5.0", "author: gridloom contributors",
            "syntax: &gridloom(ファイル名)", "description: CSV形式のファイルから表を作成します.",
            'example: &gridloom("../data/table1.csv","../param.ini")'])

    def test_version_and_help(self):
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout), (0, b"gridloom 0.5.0\n"))
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        for word in (b"render", b"inline", b"expand", b"check", b"info", b"--codepage",
                     b"--plugin", b"Exit status"):
            self.assertIn(word, r.stdout)
        for command in ("render", "inline", "expand", "check", "info"):
            r = run(command, "--help")
            self.assertEqual(r.returncode, 0)
            self.assertIn(b"Example:\n  gridloom ", r.stdout, command)
            self.assertIn(b"Exit status: 0 ", r.stdout, command)


class Render(Case):
    def setUp(self):
        super().setUp()
        self.write("t.csv", b"a,b\r\n\"x\r\ny\",<&>\r\n")
        self.write("t.ini", HEADER_INI)
        self.expected = table([["a", "b"], ["x<br>y", "&lt;&amp;&gt;"]], row1=TH)

    def test_paths_as_typed(self):
        sub = self.dir / "sub"
        sub.mkdir()
        cases = [
            ("relative", self.dir, ["t.csv", "t.ini"]),
            ("from a subfolder", sub, ["../t.csv", "../t.ini"]),
            ("absolute", sub, [self.dir / "t.csv", self.dir / "t.ini"]),
        ]
        for name, cwd, paths in cases:
            with self.subTest(name):
                r = run("render", *paths, cwd=cwd)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                self.assertEqual(r.stdout.decode(), self.expected)

    def test_without_ini_default_tags(self):
        r = run("render", "t.csv", cwd=self.dir)
        self.assertEqual(r.stdout.decode(), table([["a", "b"], ["x<br>y", "&lt;&amp;&gt;"]]))

    def test_output_file(self):
        r = run("render", "t.csv", "t.ini", "-o", "out.html", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        self.assertEqual((self.dir / "out.html").read_text(), self.expected)

    def test_missing_csv(self):
        r = run("render", "nope.csv", "t.ini", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode(), COMMENT)
        self.assertEqual(r.stderr,
                         b"gridloom: cannot open CSV file nope.csv: No such file or directory\n")

    def test_code_pages(self):
        text = "表,café\r\n"
        cases = [
            # code page, bytes of the file, name of the file
            (None, "表,ソ\r\n".encode("cp932"), "表.csv", "表", "ソ"),  # 5C trail bytes
            ("932", "表,ソ\r\n".encode("cp932"), "ソ.csv", "表", "ソ"),
            ("65001", text.encode(), "é.csv", "表", "café"),
            ("1252", "x,café\r\n".encode("cp1252"), "é.csv", "x", "café"),
        ]
        for codepage, data, name, first, second in cases:
            with self.subTest(codepage=codepage, name=name):
                if codepage not in (None, "932"):
                    self.not_on_windows("--codepage other than the system's ANSI code page")
                self.write(name, data)
                options = ["--codepage", codepage] if codepage else []
                r = run(*options, "render", name, "none.ini", cwd=self.dir)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn(f"{first}</td><td>{second}".encode(), r.stdout)

    def test_name_outside_the_code_page(self):
        self.write("é.csv", b"a\r\n")
        self.assertUsage(run("render", "é.csv", cwd=self.dir), "code page 932")


class Inline(Case):
    def setUp(self):
        super().setUp()
        self.write("data/t.csv", "表,b\r\n".encode("cp932"))
        self.write("t.ini", HEADER_INI)

    def test_calls(self):
        expected = table([["表", "b"]], row1=TH)
        cases = [
            ("default base", '"data/t.csv","t.ini"', [], self.dir, 0, expected),
            ("base option", '"data/t.csv","t.ini"', ["--base", self.dir], "/", 0, expected),
            ("backslashes", 'data\\t.csv,t.ini', [], self.dir, 0, expected),
            ("base of the CSV only", '"t.csv","../t.ini"', ["--base", "data"], self.dir, 0,
             expected),
            ("three fields", '"data/t.csv","t.ini","x"', [], self.dir, 0, expected),
            ("missing", '"no.csv","t.ini"', [], self.dir, 1, COMMENT),
            ("empty", "", [], self.dir, 1, COMMENT),
        ]
        for name, arg_text, options, cwd, status, out in cases:
            with self.subTest(name):
                r = run("inline", arg_text, *options, cwd=cwd)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stdout.decode(), out)
                if status:
                    self.assertTrue(r.stderr.startswith(b"gridloom: cannot open CSV file "))


class ExpandOnePage(Case):
    def setUp(self):
        super().setUp()
        self.write("site/data/t.csv", b"a,b\r\n")
        self.write("site/t.ini", HEADER_INI)

    def test_one_page(self):
        page = ('<p>&gridloom("data/t.csv","t.ini")</p>\n'
                '<p>&gridloom("data/t.csv","none.ini")x&gridloom("data/missing.csv")</p>\n'
                '<p>&gridloom("data/t.csv","a)b\n')
        self.write("site/index.html", page)
        out = ('<p>' + table([["a", "b"]], row1=TH) + '</p>\n'
               '<p>' + table([["a", "b"]]) + 'x' + COMMENT + '</p>\n'
               '<p>&gridloom("data/t.csv","a)b\n')
        warnings = [
            "site/index.html:2: cannot read INI file site/none.ini: No such file or directory; "
            "the default tags are used",
            "site/index.html:2: cannot open CSV file site/data/missing.csv: "
            "No such file or directory",
            'site/index.html:3: malformed call: the line ends before its ")"; left as written',
        ]
        for options, status in (([], 0), (["--strict"], 1), (["-j", "2", "-q"], 0)):
            with self.subTest(options=options):
                r = run("expand", "site/index.html", *options, cwd=self.dir)
                self.assertEqual(r.returncode, status)
                self.assertEqual(r.stdout.decode(), out)
                self.assertEqual(r.stderr.decode().splitlines(), warnings)

        self.write("site/b.html", 'x &gridloom("data/t.csv","t.ini") y')
        r = run("expand", "site/b.html", "-o", "b.out.html", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        self.assertEqual((self.dir / "b.out.html").read_text(),
                         "x " + table([["a", "b"]], row1=TH) + " y")

    def test_folder_with_one_page_goes_to_standard_output(self):
        self.write("site/p.htm", '&gridloom("data/t.csv","t.ini")')
        r = run("expand", "site", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, table([["a", "b"]], row1=TH)))
        r = run("expand", "site", "-o", "p.out.htm", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout), (0, b""))
        self.assertEqual((self.dir / "p.out.htm").read_text(), table([["a", "b"]], row1=TH))

    def test_shift_jis_page(self):
        self.write("site/data/表.csv", "表,ソ\r\n".encode("cp932"))
        self.write("site/data/u.csv", "é,表\r\n".encode())
        page = "<p>表 &gridloom(\"data/表.csv\",\"x.ini\")</p>".encode("cp932")
        self.write("site/sjis.html", page)
        r = run("--page-encoding", "Shift_JIS", "expand", "site/sjis.html", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("<td>表</td><td>ソ</td>".encode("cp932"), r.stdout)
        self.assertTrue(r.stdout.startswith("<p>表 ".encode("cp932")))
        with self.subTest("UTF-8 data into a Shift_JIS page"):  # é has no Shift_JIS code
            self.not_on_windows("--codepage other than the system's ANSI code page")
            self.write("site/u.html", b'&gridloom("data/u.csv","x.ini")')
            r = run("--codepage", "65001", "--page-encoding", "Shift_JIS", "expand",
                    "site/u.html", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("<td>&#233;</td><td>表</td>".encode("cp932"), r.stdout)

    def test_argument_text_outside_the_code_page(self):
        self.write("site/e.html", '&gridloom("café.csv")')
        r = run("expand", "site/e.html", "--strict", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode(), '&gridloom("café.csv")')
        self.assertIn("site/e.html:1: the argument text cannot be written in code page 932" +
                      ("" if WINDOWS else " (--codepage 65001 takes every name)"),
                      r.stderr.decode())


class ExpandTree(Case):
    def make_site(self, pages=3):
        self.write("site/data/t.csv", b"a,b\r\n")
        self.write("site/t.ini", HEADER_INI)
        self.write("site/style.css", b"body{}\n")
        self.write("site/img/logo.png", bytes(range(256)))
        for i in range(pages):
            self.write(f"site/data/{i}.csv", f"n,{i}\r\n".encode())
            self.write(f"site/p{i}.html", f'<h1>{i}</h1>&gridloom("data/{i}.csv","t.ini")')
        # A folder whose name ends in a byte 5C in code page 932 (表 is 95 5C).
        self.write("site/sub/表/page.htm", '&gridloom("../../data/t.csv","../../t.ini")')
        # Names that start with a dot are not published, but for .well-known.
        self.write("site/.env", b"SECRET=1\n")
        self.write("site/.git/config", b"[core]\n")
        self.write("site/.git/hooks/page.html", b'&gridloom("../../data/t.csv")')
        self.write("site/sub/.draft.html", b"draft")
        self.write("site/.well-known/security.txt", b"Contact: x\n")
        # Nor the lock files of Office, beside a table or page it has open.
        self.write("site/data/~$0.csv", b"owner")
        self.write("site/~$p1.html", b"owner")

    def test_out_dir_mirrors_the_tree(self):
        self.make_site()
        published = [".well-known/security.txt", "data/0.csv", "data/1.csv", "data/2.csv",
                     "data/t.csv", "img/logo.png", "p0.html", "p1.html", "p2.html", "style.css",
                     "sub/表/page.htm", "t.ini"]
        hidden = [".env", ".git/config", ".git/hooks/page.html", "sub/.draft.html",
                  "data/~$0.csv", "~$p1.html"]
        for extra, files in [([], published), (["--include-hidden"], published + hidden)]:
            with self.subTest(extra=extra):
                shutil.rmtree(self.dir / "out", ignore_errors=True)
                (self.dir / "out.gridloom-state").unlink(missing_ok=True)
                r = run("expand", "site", "--out-dir", "out", "-j", "2", *extra, cwd=self.dir)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
                out = self.dir / "out"
                self.assertEqual(sorted(str(p.relative_to(out)) for p in out.rglob("*")
                                        if p.is_file()), sorted(files))
                # The build's record lies beside the folder, never in what is published.
                self.assertTrue((self.dir / "out.gridloom-state").is_file())
                check = text(run("check", "site", *extra, cwd=self.dir).stdout)
                self.assertEqual(".git/hooks/page.html" in check, bool(extra), check)
        for i in range(3):
            self.assertEqual((out / f"p{i}.html").read_text(),
                             f"<h1>{i}</h1>" + table([["n", str(i)]], row1=TH))
        self.assertEqual((out / "sub/表/page.htm").read_text(), table([["a", "b"]], row1=TH))
        self.assertEqual((out / "img/logo.png").read_bytes(), bytes(range(256)))

    def test_parallel_equals_serial(self):
        self.make_site(pages=40)
        for jobs in ("1", "2"):
            r = run("expand", "site", "--out-dir", f"out{jobs}", "-j", jobs, cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
        for page in (self.dir / "out1").rglob("*.htm*"):
            twin = self.dir / "out2" / page.relative_to(self.dir / "out1")
            self.assertEqual(page.read_bytes(), twin.read_bytes())
            self.assertNotIn(b"&gridloom", page.read_bytes())

    def test_out_dir_inside_the_input_is_not_read(self):
        self.make_site(pages=1)
        for _ in range(2):
            r = run("expand", "site", "--out-dir", "site/out", cwd=self.dir)
            self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse((self.dir / "site/out/out").exists())

    def test_each_file_once_and_nothing_skipped_unsaid(self):
        self.make_site(pages=2)
        r = run("expand", "site", "site/p0.html", "site/sub/../p1.html", "--out-dir", "out",
                cwd=self.dir)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertFalse((self.dir / "out/p0.html.html").exists())
        r = run("check", "site", "site", cwd=self.dir)
        self.assertEqual(text(r.stdout).splitlines()[-1],
                         "3 calls in 3 pages: 3 ok, 0 with problems")
        self.not_on_windows("Unix FIFOs and symlinks")
        os.mkfifo(self.dir / "site/fifo.html")
        os.symlink("nothere.html", self.dir / "site/dangling.html")
        for command in (["expand", "site", "--out-dir", "out"], ["check", "site"]):
            with self.subTest(command[0]):
                r = run(*command, cwd=self.dir, timeout=60)
                self.assertEqual(r.returncode, 3, r.stderr)
                err = r.stderr.decode()
                self.assertIn("gridloom: skipped site/fifo.html: a FIFO, not a file\n", err)
                self.assertIn("gridloom: skipped site/dangling.html: a symlink that leads "
                              "nowhere\n", err)

    def test_names_windows_takes_otherwise(self):
        """gridloom.exe never reads or writes a name as another: names Windows takes as one
        file, names it cannot open as they are (a trailing dot or space), names the code page
        cannot write and device names are refused (status 2) or skipped with a warning
        (status 3). On Linux they are names like any other."""
        files = {"ab/A.html": "a", "ab/a.html": "b", "dot/a.html.": "x", "dot/c.css.": "x",
                 "dot/ok.html": "x", "fold/sub./p.html": "x", "fold/sp /p.html": "x",
                 "dev/nul.html": "x", "dev/Con/p.html": "x", "cp/café/p.html": "x",
                 "cp/cafe/p.html": "x", "dep/表/t.csv": "a\r\n",
                 "dep/p.html": '&gridloom("表/x.csv")'}
        for name, data in files.items():
            self.write(name, data)
        cases = [  # arguments, status and message on Windows, status on Linux
            (["expand", "ab", "--out-dir", "o1"], 2, "would both be written to", 0),
            (["expand", "dot", "--out-dir", "o2"], 3,
             "skipped dot/a.html.: Windows opens a name that ends in a dot or a space as "
             "another", 0),
            (["check", "dot"], 3, "skipped dot/a.html.: Windows opens", 0),
            (["check", "fold"], 3, "skipped fold/sp : Windows opens", 0),
            (["check", "fold"], 3, "skipped fold/sub.: Windows opens", 0),
            (["expand", "dev", "--out-dir", "o3"], 3,
             "skipped dev/nul.html: it has the name of a device of Windows", 0),
            (["check", "dev"], 3, "skipped dev/Con: it has the name of a device of Windows", 0),
            (["check", "cp"], 3, "its name cannot be written in code page 932", 0),
            (["expand", "dot/ok.html", "-o", "aux.html"], 2,
             "cannot write aux.html: it has the name of a device of Windows", 0),
            (["expand", "dot/ok.html", "-o", "Com1.txt"], 2, "name of a device", 0),
            # The second byte of 表 is a backslash to make and ninja.
            (["expand", "dep/p.html", "-o", "dep.html", "--depfile", "dep.d"], 3,
             "dep/表", 0),
        ]
        for args, status, message, linux in cases:
            with self.subTest(args=args, message=message):
                r = run(*args, cwd=self.dir)
                if not WINDOWS:
                    self.assertEqual(r.returncode, linux, r.stderr)
                    continue
                self.assertEqual(r.returncode, status, text(r.stderr))
                self.assertIn(message, text(r.stderr))
        if WINDOWS:  # nothing of cafe/ was taken for café/, nor a.html for a.html.
            self.assertFalse((self.dir / "o2/a.html").exists())

    def test_warnings_name_each_page(self):
        self.make_site(pages=1)
        self.write("site/sub/bad.html", 'x\n\n&gridloom("nothere.csv")')
        r = run("expand", "site", "--out-dir", "out", "-j", "2", cwd=self.dir)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode(),
                         "site/sub/bad.html:3: cannot open CSV file site/sub/nothere.csv: "
                         "No such file or directory\n")
        self.assertEqual((self.dir / "out/sub/bad.html").read_text(), "x\n\n" + COMMENT)
        r = run("expand", "site", "--out-dir", "out", "--strict", cwd=self.dir)
        self.assertEqual(r.returncode, 1)


PAST = 1_700_000_000_000_000_000  # file times long before any build


def settle(folder, when=PAST):
    """Gives every file below folder an old time, then waits until the changes just made are
    older than the file system's clock tick, so that no build takes their stamps for unsure."""
    for p in Path(folder).rglob("*"):
        os.utime(p, ns=(when, when))
    time.sleep(0.06)


def summary(stderr):
    """The counts of a rebuild's summary line, or None when there was none (a full build)."""
    found = re.search(r"^gridloom: (\d+) of \d+ pages expanded, (\d+) of \d+ other files "
                      r"copied, (\d+) written; the rest up to date$", stderr, re.M)
    return tuple(map(int, found.groups())) if found else None  # pages, copies, written


class Incremental(Case):
    """--out-dir builds that make again only what changed, and depfiles for make and ninja."""
    PAGES, CSVS = 24, 6

    def setUp(self):
        super().setUp()
        for c in range(self.CSVS):
            self.write(f"site/data/{c}.csv", f"n,{c}\r\n")
        self.write("site/a.ini", HEADER_INI)
        self.write("site/b.ini", b"")
        self.write("site/style.css", b"body{}\n")
        for i in range(self.PAGES):
            self.write(f"site/p{i}.html",
                       f'<h1>{i}</h1>&gridloom("data/{i % self.CSVS}.csv","{"ab"[i % 2]}.ini")')
        self.write("site/late.html", '&gridloom("data/late.csv")')
        settle(self.dir / "site")

    def build(self, *extra, out="out"):
        r = run("expand", "site", "--out-dir", out, *extra, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        missing = not (self.dir / "site/data/late.csv").exists()
        warned = "site/late.html:1: cannot open CSV file site/data/late.csv" in r.stderr.decode()
        self.assertEqual(warned, missing, "said again on every build while it lasts")
        return r.stderr.decode()

    def outputs(self, out="out"):
        out = self.dir / out
        return {str(p.relative_to(out)): (p.stat().st_ino, p.stat().st_mtime_ns, p.read_bytes(),
                                          p.stat().st_mode)
                for p in out.rglob("*") if p.is_file()}

    def assertLikeAFullBuild(self):
        """The outputs are what a fresh build makes: the same bytes, and for copies the same
        mode and time."""
        shutil.rmtree(self.dir / "ref", ignore_errors=True)
        (self.dir / "ref.gridloom-state").unlink(missing_ok=True)
        self.assertIsNone(summary(self.build(out="ref")))
        made = lambda out: {k: v[2:] if k.endswith(".html") else v[1:]
                            for k, v in self.outputs(out).items()}
        self.assertEqual(made("out"), made("ref"))

    def test_a_rebuild_makes_exactly_what_changed(self):
        odd = [f"p{i}.html" for i in range(1, self.PAGES, 2)]
        reading3 = [f"p{i}.html" for i in range(3, self.PAGES, self.CSVS)]
        cases = [  # what changes, pages expanded, other files copied, outputs written
            ("nothing", lambda: None, 0, 0, []),
            # The copy takes its source's new time; the pages' bytes would not change.
            ("a CSV touched", lambda: os.utime(self.dir / "site/data/3.csv"), 4, 1,
             ["data/3.csv"]),
            ("a CSV changed", lambda: self.write("site/data/3.csv", "n,three\r\n"), 4, 1,
             reading3 + ["data/3.csv"]),
            ("an INI changed", lambda: self.write("site/b.ini", HEADER_INI), 12, 1,
             odd + ["b.ini"]),
            ("a missing CSV appears", lambda: self.write("site/data/late.csv", "x\r\n"), 1, 1,
             ["late.html", "data/late.csv"]),
            ("a page changed", lambda: self.write("site/p5.html", "five"), 1, 0, ["p5.html"]),
            ("an output edited", lambda: self.write("out/p7.html", "x"), 1, 0, ["p7.html"]),
            ("an output removed", lambda: os.remove(self.dir / "out/p8.html"), 1, 0,
             ["p8.html"]),
            ("a copy edited", lambda: self.write("out/style.css", "x"), 0, 1, ["style.css"]),
            ("a copy's mode changed", lambda: os.chmod(self.dir / "site/style.css", 0o755), 0, 1,
             ["style.css"]),
            ("a copy's time set back", lambda: os.utime(self.dir / "site/style.css",
                                                        ns=(PAST - 10**9,) * 2), 0, 1,
             ["style.css"]),
            ("a copy's mode changed in the output",
             lambda: os.chmod(self.dir / "out/style.css", 0o600), 0, 1, ["style.css"]),
        ]
        self.assertIsNone(summary(self.build()))
        for what, change, pages, copies, written in cases:
            with self.subTest(what):
                if "mode" in what:
                    self.not_on_windows("file modes")
                before = self.outputs()
                change()
                time.sleep(0.06)
                counts = summary(self.build())
                after = self.outputs()
                self.assertEqual(counts, (pages, copies, len(written)))
                self.assertEqual(sorted(k for k in after if before.get(k, ())[:2] != after[k][:2]),
                                 sorted(written))
                self.assertLikeAFullBuild()
        counts = summary(self.build("--force"))
        self.assertEqual(counts, (self.PAGES + 1, 10, 0))

    def test_a_file_too_recent_to_trust_is_looked_at_again(self):
        # A time within the file system's clock tick of the build (here ahead of it) may not
        # show a second write: the pages that read the file are expanded on every build then.
        self.build()
        ahead = time.time_ns() + 30 * 10**9
        os.utime(self.dir / "site/data/2.csv", ns=(ahead, ahead))
        time.sleep(0.06)
        readers = len(range(2, self.PAGES, self.CSVS))
        for written in (1, 0):  # the copy takes the new time once
            self.assertEqual(summary(self.build()), (readers, 1, written))
        settle(self.dir / "site")
        self.build()
        self.assertEqual(summary(self.build()), (0, 0, 0))

    def test_a_damaged_manifest_means_a_full_build(self):
        manifest = self.dir / "out.gridloom-state"
        cases = [
            ("missing", lambda data: None),
            ("empty", lambda data: b""),
            ("cut short", lambda data: data[: len(data) // 2]),
            ("a byte changed", lambda data: data.replace(b"/p3.html", b"/p4.html", 1)),
            ("no end line", lambda data: data[: data.rindex(b"end ")]),
            ("not a manifest", lambda data: bytes(range(256)) * 8),
        ]
        for what, damage in cases:
            with self.subTest(what):
                shutil.rmtree(self.dir / "out", ignore_errors=True)
                manifest.unlink(missing_ok=True)
                self.build()
                self.write("out/p3.html", "stale")
                data = damage(manifest.read_bytes())
                manifest.unlink()
                if data is not None:
                    manifest.write_bytes(data)
                self.assertIsNone(summary(self.build()))
                self.assertLikeAFullBuild()
                self.assertEqual(summary(self.build()), (0, 0, 0))
        r = run("--codepage", "65001", "expand", "site", "--out-dir", "out", cwd=self.dir)
        self.assertIsNone(summary(r.stderr.decode()), "other settings: a full build")
        # Earlier versions kept the record inside the folder: it is read, and moved out.
        self.build()
        manifest.rename(self.dir / "out/.gridloom-manifest")
        self.assertEqual(summary(self.build()), (0, 0, 0))
        self.assertTrue(manifest.is_file())
        self.assertFalse((self.dir / "out/.gridloom-manifest").exists())

    def test_delete_removes_only_what_is_gone(self):
        self.write("site/sub/only.html", "only")
        settle(self.dir / "site")
        self.build()
        for name in ("p1.html", "style.css", "p2.html", "sub/only.html"):
            os.remove(self.dir / "site" / name)
        self.write("out/p2.html", "edited by hand")
        self.write("out/mine.txt", "not made by gridloom")
        time.sleep(0.06)
        self.build()
        self.assertTrue((self.dir / "out/p1.html").exists(), "kept without --delete")
        err = self.build("--delete")
        self.assertIn("gridloom: kept out/p2.html: it changed since it was written\n", err)
        left = self.outputs()
        for name, kept in [("p1.html", False), ("style.css", False), ("sub/only.html", False),
                           ("p2.html", True), ("mine.txt", True), ("p3.html", True)]:
            self.assertEqual(name in left, kept, name)
        self.assertFalse((self.dir / "out/sub").exists(), "the folder left empty goes too")

    def test_delete_in_one_run_and_only_what_it_saw(self):
        """--delete removes the outputs of what is gone in one run, a file that became a folder
        (or the other way round) included, and nothing below what it could not look at."""
        def fifo(name):
            os.remove(self.dir / name)
            os.mkfifo(self.dir / name)

        def dangling(name):
            os.remove(self.dir / name)
            os.symlink("nothere.html", self.dir / name)

        def to_folder(name):
            os.remove(self.dir / name)
            self.write(f"{name}/index.html", "now a folder")

        def to_file(name):
            shutil.rmtree(self.dir / name)
            self.write(name, "now a file")

        self.write("site/sub/only.html", "only")
        self.write("site/Data/d.csv", "d\r\n")
        cases = [  # what happens, the arguments, status, outputs there after, a message
            # On Windows one file by two names: the output stays (on Linux: the new name's).
            ("a page renamed in case only",
             lambda: os.rename(self.dir / "site/p4.html", self.dir / "site/P4.html"), ["site"], 0,
             ["P4.html"], None),
            ("a folder renamed in case only",
             lambda: os.rename(self.dir / "site/Data", self.dir / "site/data2") or
             os.rename(self.dir / "site/data2", self.dir / "site/DATA"), ["site"], 0,
             ["DATA/d.csv"], None),
            ("a file became a folder", lambda: to_folder("site/style.css"), ["site"], 0,
             ["style.css/index.html"], None),
            ("a folder became a file", lambda: to_file("site/sub"), ["site"], 0, ["sub"], None),
            ("a PATH that is gone", lambda: os.remove(self.dir / "site/p1.html"),
             ["site/p0.html", "site/p1.html"], 3, ["p0.html", "p1.html"],
             "kept out/p1.html: site/p1.html was not seen"),
            ("a FIFO where a page was", lambda: fifo("site/p2.html"), ["site"], 3, ["p2.html"],
             "kept out/p2.html: site/p2.html was not seen"),
            ("a symlink that leads nowhere", lambda: dangling("site/p3.html"), ["site"], 3,
             ["p3.html"], "skipped site/p3.html: a symlink that leads nowhere"),
        ]
        for what, change, inputs, status, there, message in cases:
            with self.subTest(what):
                if "FIFO" in what or "symlink" in what:
                    self.not_on_windows("Unix FIFOs and symlinks")
                shutil.rmtree(self.dir / "work", ignore_errors=True)
                shutil.copytree(self.dir / "site", self.dir / "work/site", symlinks=True)
                args = ["expand", *inputs, "--out-dir", "out", "--delete"]
                r = run(*args, cwd=self.dir / "work")
                self.assertEqual(r.returncode, 0, r.stderr)
                old_dir, self.dir = self.dir, self.dir / "work"
                try:
                    change()
                finally:
                    self.dir = old_dir
                time.sleep(0.06)
                r = run(*args, cwd=self.dir / "work", timeout=60)
                self.assertEqual(r.returncode, status, r.stderr)
                for name in there:
                    found = self.dir / "work/out" / name
                    if WINDOWS:  # either spelling
                        found = next((p for p in (self.dir / "work/out").rglob("*")
                                      if str(p).lower() == str(found).lower()), found)
                    self.assertTrue(found.is_file(), name)
                if message:
                    self.assertIn(message, r.stderr.decode())
                if status == 0:  # a second run has nothing left to do
                    r = run(*args, cwd=self.dir / "work")
                    self.assertEqual(summary(r.stderr.decode())[2], 0)

    def test_delete_keeps_what_is_below_an_unreadable_folder(self):
        skip_unless_permissions_hold(self)
        self.write("site/docs/a.html", "a")
        open_to_all(self.dir)
        r = run("expand", "site", "--out-dir", "out", cwd=self.dir, preexec_fn=as_other_user())
        self.assertEqual(r.returncode, 0, r.stderr)
        os.chmod(self.dir / "site/docs", 0)
        self.addCleanup(os.chmod, self.dir / "site/docs", 0o777)
        r = run("expand", "site", "--out-dir", "out", "--delete", cwd=self.dir,
                preexec_fn=as_other_user())
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("kept out/docs/a.html: site/docs/a.html was not seen", r.stderr.decode())
        self.assertTrue((self.dir / "out/docs/a.html").is_file())

    def test_the_output_folder_is_never_left_through_a_link(self):
        """A symlink planted in the output folder is replaced, or kept, never followed."""
        self.not_on_windows("Unix symlinks")
        notes = self.write("notes.txt", "my notes")
        self.write("elsewhere/keep.txt", "keep")
        cases = [  # what is planted, extra arguments, status, the message
            ("a page's output", "out/p3.html", "../notes.txt", [], 0,
             "replaced out/p3.html: it was a symlink"),
            ("a copy", "out/a.ini", "../notes.txt", [], 0, "replaced out/a.ini: it was a symlink"),
            ("a folder", "out/data", "../elsewhere", [], 3, "out/data is a symlink"),
            ("a gone page's output", "out/p5.html", "../notes.txt", ["--delete"], 0,
             "kept out/p5.html: it changed since it was written"),
        ]
        for what, planted, target, extra, status, message in cases:
            with self.subTest(what):
                shutil.rmtree(self.dir / "out", ignore_errors=True)
                (self.dir / "out.gridloom-state").unlink(missing_ok=True)
                self.build()
                if "gone" in what:
                    self.write("site/p5.keep", (self.dir / "site/p5.html").read_bytes())
                    os.remove(self.dir / "site/p5.html")
                if (self.dir / planted).is_dir():
                    shutil.rmtree(self.dir / planted)
                else:
                    os.remove(self.dir / planted)
                os.symlink(target, self.dir / planted)
                os.utime(self.dir / "site/data/3.csv")  # something to do
                time.sleep(0.06)
                r = run("expand", "site", "--out-dir", "out", *extra, cwd=self.dir)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(message, r.stderr.decode())
                self.assertEqual(notes.read_text(), "my notes")
                self.assertEqual(os.listdir(self.dir / "elsewhere"), ["keep.txt"])
                if status == 0 and "gone" not in what:
                    self.assertFalse((self.dir / planted).is_symlink())
                if "gone" in what:
                    os.rename(self.dir / "site/p5.keep", self.dir / "site/p5.html")

    def test_figures_count_what_happened(self):
        skip_unless_permissions_hold(self)
        open_to_all(self.dir)
        time.sleep(0.06)
        as_nobody = as_other_user()
        r = run("expand", "site", "--out-dir", "out", cwd=self.dir, preexec_fn=as_nobody)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.write("site/data/3.csv", "n,three\r\n")
        os.chmod(self.dir / "site/data/3.csv", 0o666)
        os.chmod(self.dir / "out", 0o555)
        self.addCleanup(os.chmod, self.dir / "out", 0o777)
        time.sleep(0.06)
        r = run("expand", "site", "--out-dir", "out", cwd=self.dir, preexec_fn=as_nobody)
        err = r.stderr.decode()
        self.assertEqual(r.returncode, 3, err)
        self.assertEqual(err.count("gridloom: cannot write out/"), 4, err)
        # The copy goes to out/data, which can still be written.
        self.assertIn("gridloom: 4 of 25 pages expanded, 1 of 9 other files copied, 1 written, "
                      "4 failed; the rest up to date\n", err)
        self.assertNotIn("everything again", err)

    def test_depfiles(self):
        self.write("my site#1/t $x.csv", "a,b\r\n")
        self.write("my site#1/t.ini", HEADER_INI)
        self.write("my site#1/page.html", '&gridloom("t $x.csv","t.ini")&gridloom("gone/x.csv")')
        r = run("expand", "my site#1/page.html", "-o", "out.html", "--depfile", "out.d",
                cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual((self.dir / "out.d").read_text(),
                         "out.html: my\\ site\\#1/page.html \\\n  my\\ site\\#1/t\\ $$x.csv \\\n"
                         "  my\\ site\\#1/t.ini \\\n  my\\ site\\#1\n\nmy\\ site\\#1:\n\n"
                         "my\\ site\\#1/t\\ $$x.csv:\n\nmy\\ site\\#1/t.ini:\n")
        self.build("--depfile", "site.d")
        rules = (self.dir / "site.d").read_text()
        self.assertIn("out/p3.html: site/p3.html \\\n  site/data/3.csv \\\n  site/b.ini\n", rules)
        self.assertIn("out/late.html: site/late.html \\\n  site/data\n", rules)
        for args in (["site/p1.html", "--depfile", "x.d"], ["site/p1.html", "--force"],
                     ["site/p1.html", "-o", "x.html", "--delete"]):
            self.assertUsage(run("expand", *args, cwd=self.dir), "needs")
        # Names that make or ninja cannot read back, however escaped: the run fails, naming
        # the character, and writes no depfile (make and ninja read the others back in
        # test_make_and_ninja_remake_one_page_and_settle).
        refused = [  # the CSV's name, the output's name, what the message says
            ("a=b.csv", "out.html", "character ="), ("a&b.csv", "out.html", "character &"),
            ("a'b.csv", "out.html", "character '"), ("a;b.csv", "out.html", "character ;"),
            ("a|b.csv", "out.html", "character |"), ("a*b.csv", "out.html", "character *"),
            ("a?b.csv", "out.html", "character ?"), ("a[1].csv", "out.html", "character ["),
            ("a<b>.csv", "out.html", "character <"), ("a^b.csv", "out.html", "character ^"),
            ("a`b.csv", "out.html", "character `"), ("a\tb.csv", "out.html", "a tab"),
            ("x(m)", "out.html", "member of an archive"), ("t.csv", "o\\", "backslash"),
            ("t.csv", "o\\#.html", "backslash"), ("t.csv", "50%.html", "% in a target"),
            # A data file is the target of its empty rule; a name that ends in ) closes a list
            # of members after "NAME(MEMBER"; make finds ~ after "./" too, drops a final space
            # and passes over a form feed at a name's start (ninja ends a name at one).
            ("a%b.csv", "out.html", "% in a target"), ("b)", "out.html", "member of an archive"),
            ("t.csv", "./~o.html", "home folder"), ("a.csv ", "out.html", "space at the end"),
            ("\fa.csv", "out.html", "control character"),
        ]
        for csv, output, why in refused:
            with self.subTest(csv=csv, output=output):
                if set(csv + output) & set('*?<>|\t\f"\\') or csv.endswith(" "):
                    self.not_on_windows("names Windows cannot hold")
                self.write(f"odd/{csv}", "a\r\n")
                self.write("odd/p.html", f'&gridloom("{csv}")')
                r = run("expand", "odd/p.html", "-o", output, "--depfile", "odd.d", cwd=self.dir)
                self.assertEqual(r.returncode, 3, r.stderr)
                self.assertIn(f"in a depfile: ", r.stderr.decode())
                self.assertIn(why, r.stderr.decode())
                self.assertFalse((self.dir / "odd.d").exists())
                shutil.rmtree(self.dir / "odd")
                (self.dir / output).unlink(missing_ok=True)

    # Names with every character that make or ninja treat specially and can still read.
    SPECIAL = {"data/stations.csv": "da ta#$1/st:ations~(x)!@{}+,.csv",
               "ini/matrix.ini": "i ni/ma#t$rix:.ini",
               "data/fares-2019.csv": "da ta#$1/fa:res 2019$.csv"}

    def special_examples(self, work):
        """examples/ with its data files renamed to SPECIAL's names, and the pages' calls with
        them; for --out-dir, a Makefile and build.ninja that build the site in one step."""
        shutil.copytree(EXAMPLES, work)
        for old, new in self.SPECIAL.items():
            (work / "site" / new).parent.mkdir(parents=True, exist_ok=True)
            if (work / "site" / old).exists():
                (work / "site" / old).rename(work / "site" / new)
            for page in (work / "site").glob("*.html"):
                page.write_bytes(page.read_bytes().replace(f'"{old}"'.encode(), f'"{new}"'.encode()))
        pages = sorted(p.name for p in (work / "site").glob("*.html"))
        (work / "Makefile.out-dir").write_text(
            "OUTPUTS := " + " ".join(f"public/{p}" for p in pages) + "\n"
            "all: $(OUTPUTS)\n"
            # Not a grouped target (&:): make 4.3 then finds a member out of date forever.
            "$(OUTPUTS): public/%: site/%\n"
            "\t$(GRIDLOOM) expand site --out-dir public --depfile public.d -q\n"
            "-include public.d\n")
        (work / "out-dir.ninja").write_text(
            "rule site\n  command = gridloom expand site --out-dir public-ninja --depfile "
            "public-ninja.d -q\n  depfile = public-ninja.d\n  restat = 1\n"
            "build " + " ".join(f"public-ninja/{p}" for p in pages) + ": site " +
            " ".join(f"site/{p}" for p in pages) + "\n")

    def test_make_and_ninja_remake_one_page_and_settle(self):
        """After each kind of change make and ninja remake the pages it touches, and then find
        everything up to date (make -q, ninja -n), with -o (a rule a page) and with --out-dir
        (one rule for the site): an output whose bytes stay is given a new time."""
        env = dict(os.environ, PATH=f"{Path(GRIDLOOM).parent}:{os.environ['PATH']}")
        tools = [  # tool, its command, its dry run, the output folder, the layout
            ("make", ["make", f"GRIDLOOM={' '.join(COMMAND)}"], ["-q"], "public", "-o"),
            ("ninja", ["ninja"], ["-n"], "public-ninja", "-o"),
            ("make", ["make", "-f", "Makefile.out-dir", f"GRIDLOOM={' '.join(COMMAND)}"],
             ["-q"], "public", "--out-dir"),
            ("ninja", ["ninja", "-f", "out-dir.ninja"], ["-n"], "public-ninja", "--out-dir"),
        ]
        special = self.SPECIAL
        changes = [  # what is changed, how, the page remade
            ("a CSV touched", lambda w: os.utime(w / "site" / special["data/stations.csv"]),
             "index.html"),
            ("a CSV changed", lambda w: open(w / "site" / special["data/stations.csv"], "ab")
             .write(b"x,y\r\n"), "index.html"),
            ("an INI touched", lambda w: os.utime(w / "site" / special["ini/matrix.ini"]),
             "timetable.html"),
            ("a missing CSV made", lambda w: (w / "site" / special["data/fares-2019.csv"])
             .write_bytes(b"a,b\r\n"), "fares.html"),
            ("a page touched", lambda w: os.utime(w / "site/fares.html"), "fares.html"),
        ]
        for tool, command, dry, out, layout in tools:
            if shutil.which(tool) is None:
                self.skipTest(f"{tool} is not installed")
            with self.subTest(tool=tool, layout=layout):
                if tool == "ninja":
                    self.not_on_windows("build.ninja runs gridloom from PATH, not through Wine")
                work = self.dir / f"{tool}{layout}"
                self.special_examples(work)
                tool_run = lambda *args: subprocess.run(
                    [*command, *args], cwd=work, env=env, capture_output=True, text=True)

                def settled():
                    quiet = tool_run(*dry)
                    if tool == "ninja":
                        return quiet.returncode == 0 and "no work to do" in quiet.stdout
                    return quiet.returncode == 0

                r = tool_run()
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                pages = sorted(p.name for p in (work / out).glob("*.html"))
                self.assertEqual(pages, ["fares.html", "index.html", "timetable.html"])
                self.assertTrue(settled(), "after the first build")
                for what, change, made in changes:
                    if layout == "-o":  # outputs a second after their inputs
                        settle(work / out, PAST + 10**9)
                        settle(work / "site")
                    else:
                        time.sleep(0.06)
                    times = {p.name: p.stat().st_mtime_ns for p in (work / out).glob("*.html")}
                    change(work)
                    r = tool_run()
                    self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                    remade = [p.name for p in (work / out).glob("*.html")
                              if p.stat().st_mtime_ns != times[p.name]]
                    self.assertEqual(remade, [made], what)
                    self.assertTrue(settled(), f"after {what}: {tool_run(*dry).stdout}")


SCRIPT = re.compile(rb"<script>/\* gridloom serve: .*?</script>")


class Server:
    """gridloom serve on a free loopback port, stopped (and waited for) by the test."""

    def __init__(self, case, site, *extra):
        self.proc = subprocess.Popen([*COMMAND, "serve", str(site), "--port", "0", *extra],
                                     stderr=subprocess.PIPE)
        case.addCleanup(self.stop)
        ready, _, _ = select.select([self.proc.stderr], [], [], 20)
        line = text(self.proc.stderr.readline()) if ready else ""
        found = re.search(r"at http://127\.0\.0\.1:(\d+)/ \(Ctrl-C stops\)$", line)
        case.assertTrue(found, f"no start line: {line!r}")
        self.port = int(found.group(1))

    def get(self, path, method="GET", headers=None, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.read(), dict(response.getheaders())
        finally:
            connection.close()

    def stop(self, signal_number=signal.SIGTERM):
        if WINDOWS:  # Wine makes SIGINT a Ctrl+C, and ends the process at SIGTERM
            signal_number = signal.SIGINT
        if self.proc.poll() is None:
            self.proc.send_signal(signal_number)
        try:
            _, err = self.proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        return self.proc.returncode, text(err)

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as status:
            return int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1))


def replace(path, data):
    """Writes a file as editors save: a new file renamed over the old one."""
    path.with_name(path.name + ".new").write_bytes(data)
    os.replace(path.with_name(path.name + ".new"), path)


class Serve(Case):
    def setUp(self):
        super().setUp()
        self.write("site/t.csv", "a,b\r\n")
        self.write("site/t.ini", HEADER_INI)
        self.write("site/index.html", '<body>&gridloom("t.csv","t.ini")</body>')
        self.write("site/.well-known/security.txt", "Contact: x\n")
        self.write("site/sub/index.htm", 'sub &gridloom("../t.csv")')
        self.write("site/style.css", "body{}\n")
        self.write("site/.secret", "hidden\n")
        self.write("outside.txt", "outside\n")
        os.symlink("../outside.txt", self.dir / "site/out.txt")
        os.symlink("style.css", self.dir / "site/in.css")
        os.symlink("..", self.dir / "site/up")

    def expanded(self, page):
        r = run("expand", page, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def test_pages_files_and_reloads(self):
        server = Server(self, self.dir / "site")
        status, body, headers = server.get("/")
        self.assertEqual((status, headers["Content-Type"]), (200, "text/html; charset=utf-8"))
        self.assertEqual(SCRIPT.sub(b"", body), self.expanded("site/index.html"))
        self.assertRegex(body, rb"</script></body>$", "the script goes before </body>")
        stamp = server.get("/.gridloom/stamp?page=/")[1]
        self.assertIn(b'var t="' + stamp + b'"', body)
        replace(self.dir / "site/t.csv", b"c,d\r\n")
        self.assertNotEqual(server.get("/.gridloom/stamp?page=/")[1], stamp)
        status, body, _ = server.get("/index.html")
        self.assertIn(table([["c", "d"]], row1=TH).encode(), body)
        self.assertEqual(SCRIPT.sub(b"", server.get("/sub/")[1]), self.expanded("site/sub/index.htm"))
        for path, expected in [("/style.css", (200, b"body{}\n", "text/css")),
                               ("/in.css", (200, b"body{}\n", "text/css")),
                               ("/t.csv", (200, b"c,d\r\n", "text/csv")),
                               ("/.well-known/security.txt", (200, b"Contact: x\n",
                                                              "text/plain"))]:
            status, body, headers = server.get(path)
            self.assertEqual((status, body, headers["Content-Type"]), expected, path)
        self.write("site/a b/index.html", "x")
        for folder, location in [("/sub", "/sub/"), ("/a%20b", "/a%20b/"),
                                 ("/sub?x=1&y", "/sub/?x=1&y"), ("/index.html/", "/index.html"),
                                 ("/style.css/?v=2", "/style.css?v=2")]:
            status, _, headers = server.get(folder)
            self.assertEqual((status, headers["Location"]), (301, location))
        # The script goes before the page's last </body>, not into a comment after it.
        self.write("site/c.html", "<body>x</body>\n<!-- old footer </body> -->\n")
        self.assertRegex(server.get("/c.html")[1], rb"^<body>x<script>.*</script></body>\n<!-- old")
        self.assertEqual(server.get("/", "HEAD")[:2], (200, b""))
        code, err = server.stop(signal.SIGINT)
        self.assertEqual((code, err.splitlines()[-1]), (0, "gridloom: stopped"))
        self.assertFalse(any(b"gridloom serve" in p.read_bytes()
                             for p in (self.dir / "site").rglob("*") if p.is_file()))

    def test_nothing_outside_the_site(self):
        server = Server(self, self.dir / "site")
        cases = [("/../outside.txt", 403), ("/%2e%2e/outside.txt", 403),
                 ("/sub/%2E%2E/%2e%2e/outside.txt", 403), ("/sub/..%2f..%2foutside.txt", 403),
                 ("//etc/passwd", 403), ("/%2Fetc/passwd", 403), ("/out.txt", 403),
                 ("/up/outside.txt", 403), ("/t.csv%00.html", 403), ("/..\\outside.txt", 403),
                 ("/.secret", 403), ("/.gridloom-manifest", 403), ("/nothere.html", 404),
                 ("/sub/nothere/", 404), ("/up/", 403), ("http://example.org/", 421),
                 # An Office lock file; on Windows a page's stream (its source), a device, a
                 # name Windows would open as another's.
                 ("/~$t.csv", 403), ("/index.html::$DATA", 403 if WINDOWS else 404),
                 ("/nul", 404), ("/CON.html", 404), ("/index.html.", 404),
                 ("/index.html%20", 404), ("/sub/..%5c..%5coutside.txt", 403)]
        self.write("site/~$t.csv", "owner")
        listing = self.write("site/empty/x.txt", "x")
        listing.unlink()
        cases.append(("/empty/", 404))
        for path, status in cases:
            with self.subTest(path):
                got, body, _ = server.get(path)
                self.assertEqual(got, status, body)
                self.assertNotIn(b"outside", body)

    def test_its_own_address_and_methods_only(self):
        server = Server(self, self.dir / "site")
        port = server.port
        hosts = [  # Host header, status
            (f"127.0.0.1:{port}", 200), ("127.0.0.1", 200), (f"localhost:{port}", 200),
            (f"LOCALHOST:{port}", 200), (f"[::1]:{port}", 200),
            ("attacker.example", 421), (f"attacker.example:{port}", 421),
            (f"127.0.0.1.attacker.example:{port}", 421), (f"127.0.0.1:{port + 1}", 421),
            (f"10.0.0.1:{port}", 421),
        ]
        for host, status in hosts:
            with self.subTest(host=host):
                got, body, _ = server.get("/", headers={"Host": host})
                self.assertEqual(got, status, body)
        methods = [("POST", None), ("POST", b"x=1"), ("PUT", b"data"), ("DELETE", None),
                   ("PATCH", b"p"), ("OPTIONS", None)]
        for method, body in methods:
            with self.subTest(method=method, body=body):
                start = time.monotonic()
                status, _, headers = server.get("/index.html", method, body=body)
                self.assertEqual((status, headers.get("Allow")), (405, "GET, HEAD"))
                self.assertLess(time.monotonic() - start, 2, "answered at once")
        self.assertEqual(server.get("/")[0], 200)
        self.assertEqual(server.stop()[0], 0)

    def test_under_load_every_page_is_whole(self):
        rows = [[str(r), f"名前{r}", "x" * (r % 40)] for r in range(300)]
        versions = []
        for mark in ("old", "new"):
            data = "".join(",".join([mark, *row]) + "\r\n" for row in rows).encode("cp932")
            replace(self.dir / "site/t.csv", data)
            versions.append((data, self.expanded("site/index.html")))
        server = Server(self, self.dir / "site")
        done = threading.Event()

        def churn():
            for i in itertools.count():
                if done.wait(0.003) or i > 100000:
                    return
                replace(self.dir / "site/t.csv", versions[i % 2][0])

        def fetch(i):
            status, body, _ = server.get("/" if i % 2 else "/index.html")
            return status == 200 and SCRIPT.sub(b"", body) in (versions[0][1], versions[1][1])

        writer = threading.Thread(target=churn)
        writer.start()
        try:
            with concurrent.futures.ThreadPoolExecutor(50) as pool:
                warm = list(pool.map(fetch, range(500)))
                rss_warm = server.rss_kib()
                rest = list(pool.map(fetch, range(500, 2000)))
                rss_end = server.rss_kib()
        finally:
            done.set()
            writer.join(timeout=20)
        self.assertEqual((warm + rest).count(False), 0, "a page that is neither version")
        # AddressSanitizer keeps freed memory aside to catch its use (and its leak check fails
        # the exit status below instead); ThreadSanitizer keeps a history of every access.
        binary = Path(GRIDLOOM).read_bytes()
        if b"__asan_init" not in binary and b"__tsan_init" not in binary:
            self.assertLess(rss_end - rss_warm, 8 * 1024, (rss_warm, rss_end))
        self.assertEqual(server.stop()[0], 0)

    def test_requests_during_a_build_wait_for_it(self):
        # A page whose INI file is missing says so each time it is made.
        self.write("site/big.html", '<body>&gridloom("big.csv","none.ini")</body>')
        rows = "".join(f"{r},name{r},{'x' * (r % 50)}\r\n" for r in range(100000))
        replace(self.dir / "site/big.csv", rows.encode())
        server = Server(self, self.dir / "site")
        self.assertEqual(server.get("/big.html")[0], 200)
        replace(self.dir / "site/big.csv", ("new," + rows).encode())
        time.sleep(0.3)  # the change is older than the file system's clock can blur
        with concurrent.futures.ThreadPoolExecutor(20) as pool:
            answers = list(pool.map(lambda _: server.get("/big.html"), range(20)))
        self.assertEqual({(status, len(body)) for status, body, _ in answers},
                         {(200, len(answers[0][1]))}, "every answer the whole page")
        self.assertIn(b"<td>new</td>", answers[0][1])
        code, err = server.stop()
        self.assertEqual(code, 0)
        self.assertEqual(err.count("none.ini: No such file or directory"), 2,
                         "made once at first and once after the change")

    def test_names_in_the_code_page(self):
        # A site under a folder with a Japanese name, asked for as browsers ask: the names
        # percent-encoded in UTF-8. On Windows the names are those of code page 932, and one
        # it lacks cannot be a page of the plug-in.
        self.write("サイト/表.csv", "列,値\r\n".encode("cp932"))
        page = '<body>&gridloom("表.csv")</body>'.encode()
        for name in ("表.html", "データ/索引.html", "café.html"):
            self.write(f"サイト/{name}", page.replace(b"\xe8\xa1\xa8", b"../\xe8\xa1\xa8")
                       if "/" in name else page)
        server = Server(self, self.dir / "サイト")
        for name, status in [("表.html", 200), ("データ/索引.html", 200),
                             ("café.html", 404 if WINDOWS else 200), ("表.csv", 200)]:
            with self.subTest(name):
                got, body, _ = server.get("/" + urllib.parse.quote(name))
                self.assertEqual(got, status, body)
                if status == 200 and name.endswith(".html"):
                    self.assertIn(table([["列", "値"]]).encode(), body)
        self.assertEqual(server.stop()[0], 0)

    def test_a_spreadsheet_save_gives_the_old_or_the_new_table(self):
        # As spreadsheet programs save: a lock file beside the table while it is open, the new
        # table written under a temporary name, the old one moved aside (a moment with no
        # table), the new one renamed into its place and, for a moment, not readable.
        csv, lock = self.dir / "site/t.csv", self.dir / "site/~$t.csv"
        versions = []
        for mark in ("old", "new"):
            replace(csv, f"{mark},x\r\n".encode())
            versions.append(self.expanded("site/index.html"))
        server = Server(self, self.dir / "site")
        self.assertEqual(server.get("/")[0], 200)
        done = threading.Event()

        def save():
            for i in range(400):
                if done.is_set():
                    return
                lock.write_bytes(b"owner")
                temporary = self.dir / f"site/t{i}.tmp"
                temporary.write_bytes(f"{('old', 'new')[i % 2]},x\r\n".encode())
                csv.rename(self.dir / "site/t.bak")
                time.sleep(0.01)
                os.rename(temporary, csv)
                csv.chmod(0)
                time.sleep(0.01)
                csv.chmod(0o644)
                (self.dir / "site/t.bak").unlink()
                lock.unlink()
                time.sleep(0.01)

        saver = threading.Thread(target=save)
        saver.start()
        try:
            with concurrent.futures.ThreadPoolExecutor(8) as pool:
                answers = list(pool.map(lambda _: server.get("/"), range(400)))
        finally:
            done.set()
            saver.join(timeout=60)
        wrong = [(status, body[:200]) for status, body, _ in answers
                 if status != 200 or SCRIPT.sub(b"", body) not in versions]
        self.assertEqual(wrong, [], "every answer the old or the new table")
        self.assertEqual(server.stop()[0], 0)

    def test_usage(self):
        first = Server(self, self.dir / "site")
        taken = run("serve", "site", "--port", str(first.port), cwd=self.dir, timeout=20)
        self.assertEqual((taken.returncode, taken.stderr.decode()),
                         (3, f"gridloom: serve: cannot listen on 127.0.0.1 port {first.port}: "
                             "Address already in use\n"))
        self.assertEqual(run("serve", "site/index.html", cwd=self.dir).returncode, 2)
        self.assertEqual(run("serve", "nothere", cwd=self.dir).returncode, 3)
        self.assertUsage(run("serve", "site", "--port", "70000", cwd=self.dir), "--port")
        self.assertUsage(run("serve", "site", "--bind", "", cwd=self.dir, timeout=20), "--bind")


class Errors(Case):
    def test_usage(self):
        self.write("a.html", b"a")
        self.write("b.html", b"b")
        cases = [
            ([], "subcommand"),
            (["render"], "CSV"),
            (["expand", "a.html", "-o", "x", "--out-dir", "y"], "excludes"),
            (["expand", "a.html", "-j", "0"], "-j"),
            (["expand", "a.html", "b.html"], "--out-dir"),
            (["expand", "a.html", "b.html", "-o", "x.html"], "--out-dir"),
            (["--codepage", "4242", "info"],
             "--codepage 4242 cannot be used" if WINDOWS else "unsupported code page 4242"),
            (["--page-encoding", "NO-SUCH", "info"], "NO-SUCH"),
            (["frobnicate"], "frobnicate"),
            (["expand", "a.html", "-o", "x.html", "--depfile", "x.html"],
             "the depfile and a.html would both be written to x.html"),
            (["expand", ".", "--out-dir", "o", "--depfile", "o/a.html"],
             "the depfile and ./a.html would both be written to o/a.html"),
            (["expand", ".", "--out-dir", "o", "--depfile", "./o.gridloom-state"],
             "the depfile and the build's record would both be written to"),
        ]
        for args, fragment in cases:
            with self.subTest(args=args):
                self.assertUsage(run(*args, cwd=self.dir), fragment)

    def test_unreadable_page(self):
        self.write("a.html", b"a")
        r = run("expand", "a.html", "nothere.html", "--out-dir", "out", cwd=self.dir)
        self.assertEqual(r.returncode, 3)
        self.assertEqual(r.stderr.decode(),
                         "gridloom: cannot read nothere.html: No such file or directory\n")
        self.assertEqual((self.dir / "out/a.html").read_bytes(), b"a")

    def test_unwritable_outputs(self):
        self.write("a.html", b"a")
        self.write("blocker", b"a file where a folder should be")
        self.write("site/sub/p.html", b"p")
        cases = [
            ("folder missing", ["expand", "a.html", "-o", "missing/x.html"], "missing/x.html"),
            ("folder is a file", ["expand", "a.html", "-o", "blocker/x.html"], "blocker/x.html"),
            ("out-dir below a file", ["expand", "a.html", "--out-dir", "blocker/o"], "blocker"),
            ("target is a folder", ["expand", "a.html", "-o", "site"], "site"),
            ("out-dir is a file", ["expand", "site", "--out-dir", "blocker"], "blocker"),
            ("render", ["render", "a.html", "-o", "missing/x.html"], "missing/x.html"),
        ]
        for name, args, fragment in cases:
            with self.subTest(name):
                before = sorted(p.name for p in self.dir.rglob("*"))
                r = run(*args, cwd=self.dir)
                self.assertEqual(r.returncode, 3, r.stderr)
                err = r.stderr.decode()
                self.assertTrue(err.startswith("gridloom: cannot "), err)
                self.assertIn(fragment, err)
                self.assertEqual(sorted(p.name for p in self.dir.rglob("*")), before)

    def test_failed_write_keeps_the_old_file(self):
        self.not_on_windows("file size limits (RLIMIT_FSIZE)")
        # A file size limit makes the write fail part way; the old output must survive whole.
        self.write("data/t.csv", b"".join(b"%d,xxxxxxxxxxxxxxxxxxxx\r\n" % i for i in range(2000)))
        self.write("big.html", b'&gridloom("data/t.csv")')
        self.write("out.html", b"old output")

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        r = run("expand", "big.html", "-o", "out.html", cwd=self.dir, preexec_fn=limit)
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn(b"gridloom: cannot write out.html: File too large", r.stderr)
        self.assertEqual((self.dir / "out.html").read_bytes(), b"old output")
        self.assertEqual(sorted(p.name for p in self.dir.iterdir()),
                         ["big.html", "data", "out.html"])

    def test_plugin_option(self):
        name = "gridloom.dll" if WINDOWS else "libgridloom.so"
        built = Path(GRIDLOOM).resolve().parent.parent / "plugin" / name
        # A library without the plug-in's exports.
        winapi = (Path(GRIDLOOM) if WINDOWS else
                  Path(GRIDLOOM).resolve().parent.parent / "platform" / "libgridloom-winapi.so")
        copy = self.dir / "copy" / name
        copy.parent.mkdir()
        shutil.copy(built, copy)
        r = run("--plugin", copy, "info")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith(b"type: 1\nname: gridloom\n"))
        r = run("--plugin", f"copy/{name}", "info", cwd=self.dir)  # relative to here
        self.assertEqual(r.returncode, 0, r.stderr)
        for path, fragment in ((self.dir / "none.so", "cannot load plug-in"),
                               (winapi, "lacks the export GetPluginType")):
            r = run("--plugin", path, "info")
            self.assertEqual(r.returncode, 3)
            err = r.stderr.decode()
            self.assertTrue(err.startswith(f"gridloom: "), err)
            self.assertIn(str(path), err)
            self.assertIn(fragment, err)


    def test_installed_under_a_name_outside_the_code_page(self):
        """gridloom.exe unzipped into C:\\Users\\José\\...: its own path is no argument, and
        the plug-in is loaded by its UTF-16 name."""
        if not WINDOWS:
            self.skipTest("Windows: the names of the program and the plug-in")
        home = self.dir / "José" / "gridloom"
        home.mkdir(parents=True)
        shutil.copy(GRIDLOOM, home / "gridloom.exe")
        shutil.copy(Path(GRIDLOOM).resolve().parent.parent / "plugin/gridloom.dll", home)
        self.write("t.csv", "a\r\n")
        for where, program in [(self.dir, str(home / "gridloom.exe")), (home, "gridloom.exe")]:
            with self.subTest(where=str(where)):
                for args in (["--version"], ["info"], ["render", self.dir / "t.csv"]):
                    r = subprocess.run([COMMAND[0], program, *map(str, args)], cwd=where,
                                       capture_output=True, timeout=120)
                    self.assertEqual(r.returncode, 0, text(r.stderr))
        r = subprocess.run([COMMAND[0], str(home / "gridloom.exe"), "--plugin", str(self.dir),
                            "info"], capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 3)
        self.assertIn("it is a folder", text(r.stderr))


class ProgressLine(Case):
    def run_with_terminal(self, *args, status=0, both=False):
        """Runs gridloom with standard error (both: and output) on a pseudo-terminal, which
        Wine makes a console; returns the text it showed, without the terminal's controls."""
        master, slave = pty.openpty()
        proc = subprocess.Popen([*COMMAND, *args], cwd=self.dir, stderr=slave,
                                stdout=slave if both else subprocess.DEVNULL)
        os.close(slave)
        shown = b""
        while True:
            ready, _, _ = select.select([master], [], [], 10)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(proc.wait(), status)
        # Wine's console draws a space as "erase, one column on", and hides the cursor
        # around each character.
        text = shown.decode().replace("\x1b[K\x1b[1C", " ")
        while (plain := re.sub(r"\x1b\[[?0-9;]*[A-Za-z]", "", text)) != text:
            text = plain
        return text.replace("\r\r\n", "\n").replace("\r\n", "\n")  # the line discipline's

    def test_only_on_a_terminal_and_not_quiet(self):
        self.write("site/data/t.csv", b"a,b\r\n")
        for i in range(12):
            self.write(f"site/p{i}.html", '&gridloom("data/t.csv")')
        shown = self.run_with_terminal("expand", "site", "--out-dir", "out1", "-j", "2")
        self.assertIn("12/12 pages, 12 tables", shown)
        self.assertIn("pages/s", shown)
        self.assertEqual(self.run_with_terminal("expand", "site", "--out-dir", "out2", "-q"), "")
        r = run("expand", "site", "--out-dir", "out3", cwd=self.dir)  # a pipe
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.write("few/p.html", "x")
        self.assertEqual(self.run_with_terminal("expand", "few", "--out-dir", "out4"), "")

    def test_japanese_on_a_terminal(self):
        # A terminal shows what the command writes as characters: UTF-8 output, and messages
        # naming files in the code page (on Windows through the console's own calls).
        shown = self.run_with_terminal("info", both=True)
        self.assertIn("syntax: &gridloom(ファイル名)\n", shown)
        self.assertIn("description: CSV形式のファイルから表を作成します.\n", shown)
        shown = self.run_with_terminal("render", "表.csv", status=1, both=True)
        self.assertIn("gridloom: cannot open CSV file 表.csv: No such file or directory\n", shown)
        self.assertIn(COMMENT, shown)

def as_other_user():
    """A preexec function under which permissions hold: root reads every folder, so a test
    run as root runs gridloom as nobody."""
    if os.geteuid() != 0:
        return None

    def drop():
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    return drop


def skip_unless_permissions_hold(case):
    """As root the command runs as nobody, which needs a checkout open to other users."""
    if os.geteuid() != 0:
        return
    try:
        r = subprocess.run([*COMMAND, "info"], capture_output=True, preexec_fn=as_other_user())
        if r.returncode == 0:
            return
    except OSError:
        pass
    case.skipTest("root, and nobody cannot run gridloom from this checkout")


def open_to_all(path):
    """Lets another user (see as_other_user) into a test's folder."""
    path.chmod(0o777)
    for p in path.rglob("*"):
        if not p.is_symlink():
            p.chmod(0o777 if p.is_dir() else 0o666)


def temporary_files(folder):
    """Hidden files below folder but manifests: the temporary files of writes (no test makes
    others)."""
    return sorted(str(p) for p in Path(folder).rglob(".*") if p.is_file())


class NoInputEndsInAnAbort(Case):
    """Every error is a message and an exit status, never an uncaught exception."""

    def test_empty_names_and_a_lost_working_folder(self):
        self.write("t.csv", b"a\r\n")
        self.write("p.html", b"x")
        gone = self.dir / "gone"
        gone.mkdir()
        cases = [
            # name, arguments, working folder made to vanish, exit status, message fragment
            ("empty CSV name", ["render", ""], False, 2, "is empty"),
            ("empty INI name", ["render", "t.csv", ""], False, 2, "is empty"),
            ("empty -o of render", ["render", "t.csv", "-o", ""], False, 2, "is empty"),
            ("empty -o of expand", ["expand", "p.html", "-o", ""], False, 2, "is empty"),
            ("empty --out-dir", ["expand", "p.html", "--out-dir", ""], False, 2, "is empty"),
            ("empty page name", ["expand", ""], False, 2, "is empty"),
            ("empty check path", ["check", ""], False, 2, "is empty"),
            ("render, folder deleted", ["render", "t.csv"], True, 1, "cannot open CSV file"),
            ("render, absolute INI, folder deleted", ["render", "t.csv", self.dir / "t.csv"],
             True, 3, "gridloom: "),
            ("expand, folder deleted", ["expand", "p.html"], True, 3, "cannot read p.html"),
            ("check, folder deleted", ["check", "."], True, 2, "no pages"),
        ]
        for name, args, vanish, status, fragment in cases:
            with self.subTest(name):
                def leave(): os.chdir(gone); os.rmdir(gone)
                if vanish:
                    self.not_on_windows("a working folder that is gone (Windows keeps it)")
                    gone.mkdir(exist_ok=True)
                r = run(*args, cwd=self.dir, preexec_fn=leave if vanish else None)
                self.assertEqual(r.returncode, status, r.stderr)
                err = r.stderr.decode()
                self.assertTrue(err.startswith("gridloom: ") or ":" in err, err)
                self.assertIn(fragment, err)
                self.assertNotIn("terminate called", err)


class OutputsKeepData(Case):
    def setUp(self):
        super().setUp()
        self.write("site/data/t.csv", b"a,b\r\n")
        self.write("site/t.ini", HEADER_INI)
        self.write("site/p.html", b'<p>&gridloom("data/t.csv","t.ini")</p>')
        self.page = "<p>" + table([["a", "b"]], row1=TH) + "</p>"

    def test_links_fifos_and_devices_are_written_through(self):
        (self.dir / "real").mkdir()
        self.write("real/old.html", b"old")
        os.symlink("real/old.html", self.dir / "link.html")
        os.mkfifo(self.dir / "fifo")
        # A twin of /dev/null where the test may make one: a binary that replaced the device
        # it was given would then replace only the twin.
        device = "/dev/null"
        try:
            os.mknod(self.dir / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            device = "null"
        except PermissionError:
            pass
        got = []
        reader = threading.Thread(target=lambda: got.append((self.dir / "fifo").read_text()),
                                  daemon=True)
        if not WINDOWS:  # its subtest is skipped there
            reader.start()
        cases = [
            # output named, the file that must hold the page, its kind before and after
            ("link.html", self.dir / "real/old.html", stat.S_ISLNK),
            ("fifo", None, stat.S_ISFIFO),
            (device, None, stat.S_ISCHR),
            ("n" * 255, self.dir / ("n" * 255), None),
            ("m" * 248, self.dir / ("m" * 248), None),
        ] + ([("NUL", None, None)] if WINDOWS else [])  # Windows' device: no file is made
        for output, holder, kind in cases:
            with self.subTest(output[:20]):
                if kind:
                    self.not_on_windows("Unix symlinks, FIFOs and devices")
                r = run("expand", "site/p.html", "-o", output, cwd=self.dir)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                if holder:
                    self.assertEqual(holder.read_text(), self.page)
                if kind:
                    self.assertTrue(kind(os.lstat(os.path.join(self.dir, output)).st_mode))
                if output == "NUL":
                    self.assertFalse((self.dir / output).exists())
        if not WINDOWS:
            reader.join(timeout=10)
            self.assertEqual(got, [self.page])
        self.assertEqual(temporary_files(self.dir), [])

    def test_an_output_that_is_an_input_is_refused(self):
        os.symlink("site", self.dir / "site-link")
        os.link(self.dir / "site/data/t.csv", self.dir / "hard.csv")
        self.write("pub.html", b"made before")
        os.link(self.dir / "pub.html", self.dir / "pub.d")
        self.write("site/blog/index.html", b"written by hand")
        cases = [
            # arguments, the input that would be lost
            (["render", "site/data/t.csv", "-o", "site/data/t.csv"], "site/data/t.csv"),
            (["render", "site/data/t.csv", "-o", "./site/../hard.csv"], "site/data/t.csv"),
            (["render", "site/data/t.csv", "site/t.ini", "-o", "site-link/t.ini"], "site/t.ini"),
            (["expand", "site/p.html", "-o", "site/p.html"], "site/p.html"),
            (["expand", "site/p.html", "-o", "hard.csv"], "site/data/t.csv"),
            (["expand", "site/p.html", "-o", "site/t.ini"], "site/t.ini"),
            (["expand", "site", "--out-dir", "site"], "site/"),
            (["expand", "site", "--out-dir", "site-link"], "site/"),
            # An output folder inside the site, holding a page that is not an output.
            (["expand", "site", "--out-dir", "site/blog"], "site/blog/index.html"),
            (["expand", "site", "--out-dir", "site-link/blog"], "site-link/blog/index.html"),
            # A depfile is an output like any other.
            (["expand", "site/p.html", "-o", "pub.html", "--depfile", "site/data/t.csv"],
             "site/data/t.csv"),
            (["expand", "site", "--out-dir", "out", "--depfile", "site/p.html"], "site/p.html"),
            (["expand", "site/p.html", "-o", "pub.html", "--depfile", "pub.d"], "pub.html"),
        ]
        before = {p: p.read_bytes() for p in self.dir.rglob("*") if p.is_file()}
        for args, lost in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir)
                self.assertEqual(r.returncode, 2, r.stderr)
                err = r.stderr.decode()
                self.assertTrue(err.startswith("gridloom: refusing to write "), err)
                self.assertIn(lost, err)
                self.assertEqual({p: p.read_bytes() for p in self.dir.rglob("*") if p.is_file()},
                                 before)

    def test_copies_keep_mode_and_time(self):
        self.write("site/run.cgi", b"#!/bin/sh\n")
        self.write("site/.htpasswd", b"user:x\n")
        cases = [("run.cgi", 0o755), (".htpasswd", 0o600), ("data/t.csv", 0o640)]
        for name, mode in cases:
            os.chmod(self.dir / "site" / name, mode)
            os.utime(self.dir / "site" / name, ns=(1_600_000_000_123_456_789,) * 2)
        r = run("expand", "site", "--out-dir", "out", "--include-hidden", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        for name, mode in cases:
            with self.subTest(name):
                copy = os.stat(self.dir / "out" / name)
                # Windows keeps times to 100 ns.
                self.assertEqual(copy.st_mtime_ns // 100 if WINDOWS else copy.st_mtime_ns,
                                 1_600_000_000_123_456_789 // 100 if WINDOWS else
                                 1_600_000_000_123_456_789)
                self.not_on_windows("file modes")
                self.assertEqual(stat.S_IMODE(copy.st_mode), mode)

    def test_the_walk_goes_past_unreadable_folders(self):
        skip_unless_permissions_hold(self)
        for name in ("a", "b", "c"):
            self.write(f"site/{name}/p.html", b'&gridloom("../data/t.csv")')
        self.write("site/z.html", b"z")
        open_to_all(self.dir)
        os.chmod(self.dir / "site/b", 0)
        self.addCleanup(os.chmod, self.dir / "site/b", 0o777)
        r = run("expand", "site", "--out-dir", "out", cwd=self.dir, preexec_fn=as_other_user())
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("gridloom: cannot read folder site/b: Permission denied", r.stderr.decode())
        for page in ("a/p.html", "c/p.html", "p.html", "z.html"):
            self.assertTrue((self.dir / "out" / page).exists(), page)

    def test_interrupted_runs_leave_no_temporary_file_and_no_half_output(self):
        self.not_on_windows("POSIX signals (Wine does not turn them into Ctrl+C)")
        rows = b"".join(b"%d,%s\r\n" % (i, b"x" * 60) for i in range(20000))
        for i in range(8):
            self.write(f"tree/data/{i}.csv", rows)
            self.write(f"tree/p{i}.html", f'&gridloom("data/{i}.csv")'.encode())
        r = run("expand", "tree", "--out-dir", "new", "-j", "2", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        new = {p.relative_to(self.dir / "new"): p.read_bytes()
               for p in (self.dir / "new").rglob("*")
               if p.is_file()}
        rng = random.Random(20)
        out = self.dir / "out"
        interrupted = 0
        for attempt in range(50):
            shutil.rmtree(out, ignore_errors=True)
            for name in new:
                (out / name).parent.mkdir(parents=True, exist_ok=True)
                (out / name).write_bytes(b"old")
            proc = subprocess.Popen([*COMMAND, "expand", "tree", "--out-dir", "out", "-j", "2"],
                                    cwd=self.dir, stderr=subprocess.PIPE)
            time.sleep(rng.uniform(0, 0.4))
            proc.send_signal(signal.SIGINT if attempt % 2 == 0 else signal.SIGTERM)
            proc.communicate(timeout=60)
            interrupted += proc.returncode < 0
            self.assertEqual(temporary_files(self.dir), [], f"attempt {attempt}")
            for name, data in new.items():
                self.assertIn((out / name).read_bytes(), (b"old", data), f"{attempt}: {name}")
        self.assertGreater(interrupted, 10)  # most runs were cut short, not finished


class PageScanning(Case):
    def setUp(self):
        super().setUp()
        self.write("t.csv", b"a\r\n")

    def test_calls_as_written(self):
        t = table([["a"]])
        cases = [
            # name, page, page encoding, expanded page, warnings (":LINE: text")
            ("no ) on its line: the page's own ( ) stay",
             '<p>&gridloom("t.csv"</p>\nPrices (tax included)\n&gridloom("t.csv")',
             "UTF-8",
             '<p>&gridloom("t.csv"</p>\nPrices (tax included)\n' + t,
             [':1: malformed call: a "<" comes before its ")"; left as written']),
            ("another call before the )",
             '&gridloom("t.csv" &gridloom(t.csv)',
             "UTF-8",
             '&gridloom("t.csv" ' + t,
             [':1: malformed call: another &gridloom( comes before its ")"; left as written']),
            ("a call inside a comment is left alone",
             '<!-- old: &gridloom("gone.csv") -->\n&gridloom(t.csv)',
             "UTF-8",
             '<!-- old: &gridloom("gone.csv") -->\n' + t,
             []),
            ("line numbers with CR line ends",
             'a\rb\r\r&gridloom("x.csv")',
             "UTF-8",
             'a\rb\r\r' + COMMENT,
             [":4: cannot open CSV file x.csv: No such file or directory"]),
            ("a UTF-16 page is read and written back as UTF-16",
             '<p>表 &gridloom("t.csv")</p>\n<!-- &gridloom("x") -->',
             "UTF-16LE",
             '<p>表 ' + t + '</p>\n<!-- &gridloom("x") -->',
             []),
            ("a Shift_JIS page read as UTF-8",
             '<p>表 &gridloom("表.csv")</p>'.encode("cp932"),
             "UTF-8",
             '<p>表 &gridloom("表.csv")</p>'.encode("cp932"),
             [':1: the call is not valid UTF-8 (a Shift_JIS page needs --page-encoding '
              'Shift_JIS); left as written']),
        ]
        for name, page, encoding, expanded, warnings in cases:
            with self.subTest(name):
                codec = encoding.replace("UTF-16LE", "utf-16-le")
                data = page if isinstance(page, bytes) else page.encode(codec)
                self.write("p.html", data)
                for strict in (False, True):
                    r = run("--page-encoding", encoding, "expand", "p.html",
                            *(["--strict"] if strict else []), cwd=self.dir)
                    self.assertEqual(r.returncode, 1 if strict and warnings else 0, r.stderr)
                    want = expanded if isinstance(expanded, bytes) else expanded.encode(codec)
                    self.assertEqual(r.stdout, want)
                    self.assertEqual(r.stderr.decode().splitlines(),
                                     ["p.html" + w for w in warnings])


class Inputs(Case):
    def setUp(self):
        super().setUp()
        self.write("t.csv", b"a,b\r\n")
        self.ini = b"[table]\r\nopen=<table class=x>\r\n[tdEtc]\r\nopen=<td class=e>\r\n"
        self.write("t.ini", self.ini)
        self.expected = '<table class=x><tr><td class=e>a</td><td class=e>b</td></tr></table>'

    def test_inputs_that_are_not_files(self):
        with self.subTest("a pipe by its /dev/fd name"):
            self.not_on_windows("/dev/fd")
            r_fd, w_fd = os.pipe()
            threading.Thread(target=lambda: (os.write(w_fd, self.ini), os.close(w_fd))).start()
            r = run("render", "t.csv", f"/dev/fd/{r_fd}", cwd=self.dir, pass_fds=(r_fd,))
            os.close(r_fd)
            self.assertEqual((r.returncode, r.stdout.decode()), (0, self.expected), r.stderr)
        cases = [
            ("render - reads standard input", ["render", "-", "t.ini"]),
            ("render - with an absolute INI name", ["render", "-", self.dir / "t.ini"]),
            ("inline - reads standard input", ["inline", '"-","t.ini"']),
            ("inline - with a base", ["inline", '"-","../t.ini"', "--base", "sub"]),
        ]
        (self.dir / "sub").mkdir()
        for name, args in cases:
            with self.subTest(name):
                r = run(*args, cwd=self.dir, input=b"a,b\r\n")
                self.assertEqual((r.returncode, r.stdout.decode()), (0, self.expected), r.stderr)
        self.assertEqual([p for p in temp_folder().glob("gridloom-*")
                          if re.fullmatch(r"gridloom-(\w{6}|[0-9a-f]{12})", p.name)
                          and p.stat().st_uid == os.getuid() and p.stat().st_mtime > START], [])

    def test_names_as_typed(self):
        # The folder's absolute name has a character that code page 932 lacks; the names the
        # user typed have none.
        folder = self.dir / "café"
        folder.mkdir()
        shutil.copy(self.dir / "t.csv", folder)
        r = run("render", "t.csv", "../t.ini", cwd=folder)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, self.expected), r.stderr)
        r = run("render", folder / "t.csv")
        self.assertUsage(r, "cannot be written in code page 932" +
                         ("" if WINDOWS else " (--codepage 65001"))
        with self.subTest("--codepage 65001"):
            self.not_on_windows("--codepage other than the system's ANSI code page")
            r = run("--codepage", "65001", "render", folder / "t.csv")
            self.assertEqual(r.returncode, 0, r.stderr)


class Messages(Case):
    def test_each_error_says_why(self):
        self.write("t.csv", b"a\r\n")
        self.write("p.html", b'&gridloom("t.csv")')
        (self.dir / "folder").mkdir()
        long = "x" * 300
        cases = [
            # arguments, exit status, what the message must hold
            (["--codepage", "1361", "info"], 2,
             "932; --codepage 1361 cannot be used" if WINDOWS else
             "the code pages are 874, 932, 936"),
            (["expand", "p.html", "-j", "0"], 2, "a whole number from 1 to 1024, not 0"),
            (["expand", "p.html", "-j", "x"], 2, "a whole number from 1 to 1024, not x"),
            (["check", "p.html", "-j", "1025"], 2, "a whole number from 1 to 1024, not 1025"),
            (["expand", "p.html", "-o", "folder/"], 3, "cannot write folder/: Is a directory"),
            (["expand", "p.html", "-o", "folder"], 3, "cannot write folder: Is a directory"),
            (["render", "t.csv", "-o", "new/"], 3, "names a folder"),
            (["render", "folder"], 1, "cannot open CSV file folder: Is a directory"),
            (["render", long + ".csv"], 1, "File name too long" if not WINDOWS else
             "No such file or directory"),
            (["render", "t.csv", "none.ini", "--strict"], 1,
             "cannot read INI file none.ini: No such file or directory; the default tags"),
            (["inline", '"t.csv","none.ini"', "--strict"], 1, "cannot read INI file none.ini"),
            (["expand", "p.html", "-o", long + ".html"], 3, "File name too long" if not WINDOWS
             else "No such file or directory"),
            (["render", "COM1"], 1, "cannot open CSV file COM1: a device name of Windows"),
        ]
        for args, status, fragment in cases:
            with self.subTest(args=[a[:20] for a in args]):
                r = run(*args, cwd=self.dir)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(fragment, r.stderr.decode())

    def test_write_errors_of_standard_output(self):
        with open("/dev/full", "wb") as full:
            for args in (["--help"], ["render", "--help"], ["--version"], ["info"]):
                with self.subTest(args=args):
                    r = subprocess.run([*COMMAND, *args], stdout=full, stderr=subprocess.PIPE)
                    self.assertEqual(r.returncode, 3)
                    self.assertIn(b"No space left on device", r.stderr)

    def test_permissions(self):
        skip_unless_permissions_hold(self)
        self.write("t.csv", b"a\r\n")
        self.write("secret.csv", b"a\r\n")
        (self.dir / "locked").mkdir()
        open_to_all(self.dir)
        os.chmod(self.dir / "secret.csv", 0)
        os.chmod(self.dir / "locked", 0o555)
        cases = [
            (["render", "secret.csv"], 1, "cannot open CSV file secret.csv: Permission denied"),
            (["render", "t.csv", "-o", "locked/t.html"], 3,
             "cannot write locked/t.html: the folder locked is not writable (Permission denied)"),
        ]
        for args, status, fragment in cases:
            with self.subTest(args=args):
                r = run(*args, cwd=self.dir, preexec_fn=as_other_user())
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(fragment, r.stderr.decode())


class Check(Case):
    def test_reports_every_call_and_writes_nothing(self):
        self.write("site/data/t.csv", b"a\r\n")
        self.write("site/t.ini", HEADER_INI)
        self.write("site/a.html", '&gridloom("data/t.csv","t.ini")\n&gridloom("data/x.csv")')
        self.write("site/sub/b.html", '\n&gridloom("../data/t.csv","no.ini")\n'
                                      '&gridloom("../data/t.csv"\n&gridloom("café.csv")\n'
                                      '&gridloom("能.csv")')
        self.write("site/c.html", "no calls")
        before = sorted(self.dir.rglob("*"))
        r = run("check", "site", "-j", "2", cwd=self.dir)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEqual(text(r.stdout).splitlines(), [
            "site/a.html:1: CSV site/data/t.csv, INI site/t.ini: ok",
            "site/a.html:2: CSV site/data/x.csv, INI (none): cannot open CSV file "
            "site/data/x.csv: No such file or directory",
            "site/sub/b.html:2: CSV site/sub/../data/t.csv, INI site/sub/no.ini: cannot read INI "
            "file site/sub/no.ini: No such file or directory; the default tags are used",
            'site/sub/b.html:3: malformed call: the line ends before its ")"; left as written',
            "site/sub/b.html:4: the argument text cannot be written in code page 932" +
            ("" if WINDOWS else " (--codepage 65001 takes every name)") + "; left as written",
            # 能 is 94 5C in code page 932: its second byte is not a separator.
            "site/sub/b.html:5: CSV site/sub/能.csv, INI (none): cannot open CSV file "
            "site/sub/能.csv: No such file or directory",
            "6 calls in 3 pages: 1 ok, 5 with problems"])
        self.assertEqual(r.stderr, b"")
        self.assertEqual(sorted(self.dir.rglob("*")), before)
        r = run("check", "site/a.html", "site/c.html", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.write("site/data/x.csv", b"b\r\n")
        r = run("check", "site/a.html", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout.decode().splitlines()[-1]),
                         (0, "2 calls in 1 page: 2 ok, 0 with problems"))


def main():
    global GRIDLOOM, EXAMPLES, COMMAND, WINDOWS
    parser = argparse.ArgumentParser()
    parser.add_argument("--gridloom", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--wine", help="run GRIDLOOM (gridloom.exe) with this Wine")
    args, rest = parser.parse_known_args()
    GRIDLOOM = os.path.abspath(args.gridloom)
    COMMAND = [args.wine, GRIDLOOM] if args.wine else [GRIDLOOM]
    WINDOWS = bool(args.wine)
    if WINDOWS:
        # Quiet, and without the Mono and Gecko installers, which would wait.
        os.environ.setdefault("WINEDEBUG", "-all")
        os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        # Wine starts its services with the first program a server runs, and they keep that
        # program's standard streams: a run of the command whose output is read would wait
        # for them to end (seconds each). A keeper without streams, alive for the whole run,
        # starts them, and one server serves every run.
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        keeper = subprocess.Popen([args.wine, "cmd"], stdin=subprocess.PIPE, **quiet)
        subprocess.run([args.wine, "cmd", "/c", "exit"], timeout=300, **quiet)
        atexit.register(lambda: (keeper.stdin.close(), keeper.wait(timeout=60)))
    EXAMPLES = Path(args.examples)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
