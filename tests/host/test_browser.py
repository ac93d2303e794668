#!/usr/bin/env python3
"""Expands the example sites and opens every page in headless Chromium: each table in the
page the browser built must hold exactly the fields of its CSV file, and a call whose CSV
file is missing must leave the plug-in's comment. Exit status 77 (skipped) when chromium is
not installed."""
import argparse
import csv
import html.parser
import io
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

COMMENT = "<!-- 作成できませんでした -->"
SITES = [("site", "cp932", []), ("site-utf8", "utf-8", ["--codepage", "65001"])]


class Tables(html.parser.HTMLParser):
    """The tables of a DOM as rows of cell texts (a <br> is a line break), and its comments."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tables, self.comments, self.cell = [], [], None

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.tables.append([])
        elif tag == "tr" and self.tables:
            self.tables[-1].append([])
        elif tag in ("td", "th") and self.tables:
            self.cell = []
        elif tag == "br" and self.cell is not None:
            self.cell.append("\n")

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.tables[-1][-1].append("".join(self.cell))
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)

    def handle_comment(self, data):
        self.comments.append(f"<!--{data}-->")


def expected_tables(page, encoding):
    """For each inline call of the source page: the CSV fields, or None for a missing file."""
    result = []
    for args in re.findall(r'&gridloom\(([^)]*)\)', page.read_text(encoding="utf-8")):
        csv_name = next(csv.reader([args]))[0]
        path = page.parent / csv_name
        if not path.exists():
            result.append(None)
            continue
        text = path.read_bytes().decode(encoding)
        rows = list(csv.reader(io.StringIO(text, newline="")))
        result.append([[field.replace("\r\n", "\n") for field in row] for row in rows])
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gridloom", required=True)
    parser.add_argument("--examples", required=True)
    args = parser.parse_args()
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        print("SKIPPED: chromium is not installed (apt-get install chromium); "
              "the browser test did not run")
        return 77

    failures = 0
    checked = 0
    with tempfile.TemporaryDirectory(prefix="gridloom-browser-") as temp:
        temp = Path(temp)
        for site, encoding, options in SITES:
            source = Path(args.examples) / site
            out = temp / site
            r = subprocess.run([args.gridloom, *options, "expand", str(source), "--out-dir",
                                str(out), "-q"], capture_output=True, text=True)
            if r.returncode != 0:
                print(f"FAIL: expand {site}: status {r.returncode}\n{r.stderr}")
                return 1
            for page in sorted(source.rglob("*.html")):
                profile = temp / "profile"
                shutil.rmtree(profile, ignore_errors=True)
                dom = subprocess.run(
                    [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     f"--user-data-dir={profile}", "--dump-dom",
                     (out / page.relative_to(source)).as_uri()],
                    capture_output=True, text=True, timeout=90)
                if dom.returncode != 0 or "<body" not in dom.stdout:
                    print(f"FAIL: chromium on {page}: status {dom.returncode}\n{dom.stderr}")
                    return 1
                found = Tables()
                found.feed(dom.stdout)
                expected = expected_tables(page, encoding)
                want_tables = [t for t in expected if t is not None]
                want_comments = sum(t is None for t in expected)
                name = page.relative_to(Path(args.examples))
                if found.tables != want_tables:
                    failures += 1
                    print(f"FAIL: {name}: tables in the browser\n  {found.tables}\n"
                          f"  expected\n  {want_tables}")
                if found.comments.count(COMMENT) != want_comments:
                    failures += 1
                    print(f"FAIL: {name}: {found.comments.count(COMMENT)} failure comments, "
                          f"expected {want_comments}")
                if not want_tables:
                    failures += 1
                    print(f"FAIL: {name}: the page has no table to check")
                checked += len(want_tables)
                print(f"{name}: {len(found.tables)} tables, "
                      f"{sum(len(r) for t in found.tables for r in t)} cells checked")
    print(f"{checked} tables checked, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
