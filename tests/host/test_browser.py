#!/usr/bin/env python3
"""Expands the example sites and opens every page in headless Chromium: each table in the
page the browser built must hold exactly the fields of its CSV file, and a call whose CSV
file is missing must leave the plug-in's comment. Then a page whose CSV files are damaged (NUL
bytes, lead bytes without a trail byte, a UTF-8 file with a byte order mark): every cell must
be where it belongs, with U+FFFD for the broken bytes, and the text after the calls outside
the tables. Last, a page served by gridloom serve, open in Chromium (driven through
chromedriver), must reload itself with the new cell when its CSV file changes. Exit status 77
(skipped) when chromium is not installed."""
import argparse
import csv
import html.parser
import io
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

COMMENT = "<!-- 作成できませんでした -->"
SITES = [("site", "cp932", []), ("site-utf8", "utf-8", ["--codepage", "65001"])]


class Tables(html.parser.HTMLParser):
    """The tables of a DOM as rows of cell texts (a <br> is a line break), and its comments."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tables, self.comments, self.cell = [], [], None
        self.depth, self.outside = 0, []  # text outside every table

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.depth += 1
            self.tables.append([])
        elif tag == "tr" and self.tables:
            self.tables[-1].append([])
        elif tag in ("td", "th") and self.tables:
            self.cell = []
        elif tag == "br" and self.cell is not None:
            self.cell.append("\n")

    def handle_endtag(self, tag):
        if tag == "table":
            self.depth -= 1
        if tag in ("td", "th") and self.cell is not None:
            self.tables[-1][-1].append("".join(self.cell))
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)
        elif self.depth == 0 and data.strip():
            self.outside.append(data.strip())

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


def dump_dom(chromium, profile, url):
    shutil.rmtree(profile, ignore_errors=True)
    return subprocess.run(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", f"--user-data-dir={profile}", "--dump-dom", url],
        capture_output=True, text=True, timeout=90)


def check_damaged(gridloom, chromium, temp):
    """The damaged page: answers the number of failures."""
    site = temp / "damaged"
    site.mkdir()
    (site / "broken.csv").write_bytes(b"a\x00b,c\x81\r\n\x81<d,\x95\x5c\r\n\"x\x00\r\ny\",\x81\r\n")
    (site / "utf8.csv").write_bytes("\ufeff表,\"あ\r\nい\"\r\n".encode("utf-8"))
    (site / "page.html").write_text(
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body>\n<p>before</p>\n"
        "&gridloom(\"broken.csv\")\n<p>after the table</p>\n&gridloom(\"utf8.csv\")\n"
        "<p>the end</p>\n</body></html>\n", encoding="utf-8")
    out = temp / "damaged-out.html"
    r = subprocess.run([gridloom, "expand", str(site / "page.html"), "-o", str(out)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        print(f"FAIL: expand the damaged page: status {r.returncode}\n{r.stderr}")
        return 1
    dom = dump_dom(chromium, temp / "profile", out.as_uri())
    found = Tables()
    found.feed(dom.stdout)
    want = [[["a\ufffdb", "c\ufffd"], ["\ufffd<d", "表"], ["x\ufffd\ny", "\ufffd"]],
            [["表", "あ\nい"]]]
    failures = 0
    if found.tables != want:
        failures += 1
        print(f"FAIL: the damaged page's tables in the browser\n  {found.tables}\n"
              f"  expected\n  {want}")
    if found.outside != ["before", "after the table", "the end"]:
        failures += 1
        print(f"FAIL: the damaged page's text outside the tables: {found.outside}")
    print(f"damaged page: {len(found.tables)} tables, text outside them: {found.outside}")
    return failures


class WebDriver:
    """Just enough of the WebDriver protocol to open a page and run script in it."""

    def __init__(self, chromedriver, chromium, profile):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.proc = subprocess.Popen([chromedriver, f"--port={self.port}"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        deadline = time.monotonic() + 30
        while True:
            try:
                if self.call("GET", "/status")["ready"]:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("chromedriver did not start")
            time.sleep(0.1)
        options = {"binary": chromium, "args": [
            "--headless=new", "--no-sandbox", "--disable-gpu", "--no-proxy-server",
            "--no-first-run", "--disable-background-networking", f"--user-data-dir={profile}"]}
        self.session = self.call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": options}}})["sessionId"]

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}{path}", data=data,
                                         method=method,
                                         headers={"Content-Type": "application/json"})
        with self.opener.open(request, timeout=60) as response:
            return json.load(response)["value"]

    def open(self, url):
        self.call("POST", f"/session/{self.session}/url", {"url": url})

    def run(self, script):
        return self.call("POST", f"/session/{self.session}/execute/sync",
                         {"script": script, "args": []})

    def quit(self):
        try:
            self.call("DELETE", f"/session/{self.session}")
        finally:
            self.proc.terminate()
            self.proc.wait(timeout=30)


def check_live_reload(gridloom, chromium, examples, temp):
    """A served page reloads itself when its CSV file changes: answers the number of failures."""
    chromedriver = shutil.which("chromedriver")
    if chromedriver is None:
        print("SKIPPED: live reload: chromedriver is not installed (apt-get install "
              "chromium-driver)")
        return 1 if os.environ.get("CI") == "true" else 0  # CI must run it
    site = temp / "served"
    shutil.copytree(Path(examples) / "site", site)
    server = subprocess.Popen([gridloom, "serve", str(site), "--port", "0"],
                              stderr=subprocess.PIPE, text=True)
    driver = None
    try:
        ready, _, _ = select.select([server.stderr], [], [], 20)
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", server.stderr.readline() if ready else "")
        if not found:
            print("FAIL: live reload: gridloom serve did not start")
            return 1
        driver = WebDriver(chromedriver, chromium, temp / "driver-profile")
        driver.open(f"http://127.0.0.1:{found.group(1)}/index.html")
        first_cell = "var c = document.querySelector('td'); return c ? c.textContent : null;"
        before = driver.run(first_cell)
        driver.run("window.gridloomMarker = 1;")
        stations = site / "data" / "stations.csv"
        data = stations.read_bytes()
        if before != "東京" or "東京".encode("cp932") not in data:
            print(f"FAIL: live reload: the served page's first cell is {before!r}, not 東京")
            return 1
        (site / "stations.new").write_bytes(data.replace("東京".encode("cp932"),
                                                          "品川".encode("cp932"), 1))
        start = time.monotonic()
        os.replace(site / "stations.new", stations)
        while time.monotonic() - start < 20:
            state = driver.run("return [window.gridloomMarker === undefined, "
                               "(document.querySelector('td') || {}).textContent];")
            if state == [True, "品川"]:
                print(f"live reload: the new cell showed {1000 * (time.monotonic() - start):.0f} "
                      "ms after the CSV file changed")
                return 0
            time.sleep(0.02)
        print(f"FAIL: live reload: 20 s after the CSV file changed the page shows {state}")
        return 1
    finally:
        if driver is not None:
            driver.quit()
        server.terminate()
        server.communicate(timeout=30)


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
                dom = dump_dom(chromium, temp / "profile",
                               (out / page.relative_to(source)).as_uri())
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
        failures += check_damaged(args.gridloom, chromium, temp)
        failures += check_live_reload(args.gridloom, chromium, args.examples, temp)
    print(f"{checked} tables checked, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
