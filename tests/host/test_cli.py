#!/usr/bin/env python3
"""Drives the built gridloom binary as a user would: render, inline, expand, info, the
warnings and the exit statuses."""
import argparse
import os
import pty
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

GRIDLOOM = ""
EXAMPLES = Path()
COMMENT = "<!-- 作成できませんでした -->"
CRLF = b"\r\n"


def run(*args, cwd=None, **kwargs):
    return subprocess.run([GRIDLOOM, *map(str, args)], cwd=cwd, capture_output=True, **kwargs)


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
        for word in (b"render", b"inline", b"expand", b"info", b"--codepage", b"--plugin"):
            self.assertIn(word, r.stdout)


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
        self.assertEqual(r.stderr, b"gridloom: cannot open CSV file nope.csv\n")

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
            "site/index.html:2: cannot open CSV file site/data/missing.csv",
            "site/index.html:3: unbalanced parentheses or quotes in &gridloom(; left as written",
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
        # UTF-8 data into a Shift_JIS page: é has no Shift_JIS code.
        self.write("site/u.html", b'&gridloom("data/u.csv","x.ini")')
        r = run("--codepage", "65001", "--page-encoding", "Shift_JIS", "expand", "site/u.html",
                cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("<td>&#233;</td><td>表</td>".encode("cp932"), r.stdout)

    def test_argument_text_outside_the_code_page(self):
        self.write("site/e.html", '&gridloom("café.csv")')
        r = run("expand", "site/e.html", "--strict", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode(), '&gridloom("café.csv")')
        self.assertIn("site/e.html:1: argument text cannot be written in code page 932",
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
        self.write("site/sub/deep/page.htm", '&gridloom("../../data/t.csv","../../t.ini")')

    def test_out_dir_mirrors_the_tree(self):
        self.make_site()
        r = run("expand", "site", "--out-dir", "out", "-j", "2", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        out = self.dir / "out"
        files = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
        self.assertEqual(files, sorted([
            "data/0.csv", "data/1.csv", "data/2.csv", "data/t.csv", "img/logo.png",
            "p0.html", "p1.html", "p2.html", "style.css", "sub/deep/page.htm", "t.ini"]))
        for i in range(3):
            self.assertEqual((out / f"p{i}.html").read_text(),
                             f"<h1>{i}</h1>" + table([["n", str(i)]], row1=TH))
        self.assertEqual((out / "sub/deep/page.htm").read_text(), table([["a", "b"]], row1=TH))
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

    def test_warnings_name_each_page(self):
        self.make_site(pages=1)
        self.write("site/sub/bad.html", 'x\n\n&gridloom("nothere.csv")')
        r = run("expand", "site", "--out-dir", "out", "-j", "2", cwd=self.dir)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode(),
                         "site/sub/bad.html:3: cannot open CSV file site/sub/nothere.csv\n")
        self.assertEqual((self.dir / "out/sub/bad.html").read_text(), "x\n\n" + COMMENT)
        r = run("expand", "site", "--out-dir", "out", "--strict", cwd=self.dir)
        self.assertEqual(r.returncode, 1)


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
            (["--codepage", "4242", "info"], "unsupported code page 4242"),
            (["--page-encoding", "NO-SUCH", "info"], "NO-SUCH"),
            (["frobnicate"], "frobnicate"),
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
        built = Path(GRIDLOOM).resolve().parent.parent / "plugin" / "libgridloom.so"
        winapi = Path(GRIDLOOM).resolve().parent.parent / "platform" / "libgridloom-winapi.so"
        copy = self.dir / "copy" / "libgridloom.so"
        copy.parent.mkdir()
        shutil.copy(built, copy)
        r = run("--plugin", copy, "info")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith(b"type: 1\nname: gridloom\n"))
        r = run("--plugin", "copy/libgridloom.so", "info", cwd=self.dir)  # relative to here
        self.assertEqual(r.returncode, 0, r.stderr)
        for path, fragment in ((self.dir / "none.so", "cannot load plug-in"),
                               (winapi, "lacks the export GetPluginType")):
            r = run("--plugin", path, "info")
            self.assertEqual(r.returncode, 3)
            err = r.stderr.decode()
            self.assertTrue(err.startswith(f"gridloom: "), err)
            self.assertIn(str(path), err)
            self.assertIn(fragment, err)


class ProgressLine(Case):
    def run_with_terminal(self, *args):
        """Runs gridloom with standard error on a pseudo-terminal; returns what it showed."""
        master, slave = pty.openpty()
        proc = subprocess.Popen([GRIDLOOM, *args], cwd=self.dir, stdout=subprocess.DEVNULL,
                                stderr=slave)
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
        self.assertEqual(proc.wait(), 0)
        return shown.decode()

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


def main():
    global GRIDLOOM, EXAMPLES
    parser = argparse.ArgumentParser()
    parser.add_argument("--gridloom", required=True)
    parser.add_argument("--examples", required=True)
    args, rest = parser.parse_known_args()
    GRIDLOOM = os.path.abspath(args.gridloom)
    EXAMPLES = Path(args.examples)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
