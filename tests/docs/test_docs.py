#!/usr/bin/env python3
"""The documentation names everything the gridloom command and the INI file offer: each
option and command of every --help in the man page and the user guide, each INI section and
key in the INI reference."""
import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

GRIDLOOM = ""
DOCS = Path()
SECTIONS = ["table", "tableRow", "tdRow1", "tdRowX", "tdCol1", "tdColX", "tdEtc"]


def help_text(*command):
    result = subprocess.run([GRIDLOOM, *command, "--help"], capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(f"gridloom {' '.join(command)} --help: {result.stderr}")
    return result.stdout


def entries(text, heading):
    """The first words of the lines under a heading of CLI11's help, e.g. '-o,--output'."""
    found, inside = [], False
    for line in text.splitlines():
        if not line.startswith(" "):
            inside = line.strip() == heading
        elif inside and line.startswith("  ") and not line.startswith("   "):
            found.append(line.split()[0])
    return found


def options(text):
    return [name for entry in entries(text, "Options:") for name in entry.split(",")]


def mentions(text, word):
    """word as a whole, not inside a longer option or name (-o is not --out-dir)."""
    return re.search(rf"(?<![\w-]){re.escape(word)}(?![\w-])", text) is not None


class Documented(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.main_help = help_text()
        cls.commands = entries(cls.main_help, "Subcommands:")
        # roff writes a hyphen as \- ; options are compared as typed.
        cls.pages = {
            "docs/gridloom.1": (DOCS / "gridloom.1").read_text().replace("\\-", "-"),
            "docs/user-guide.md": (DOCS / "user-guide.md").read_text(),
        }

    def test_help_lists_commands_and_options(self):
        # Guards the parsing below: a changed help layout must not make every check vacuous.
        self.assertGreaterEqual(len(self.commands), 1)
        for command in [[], *([c] for c in self.commands)]:
            with self.subTest(command=command):
                self.assertIn("--help", options(help_text(*command)))

    def test_every_option_is_documented(self):
        for command in [[], *([c] for c in self.commands)]:
            for option in options(help_text(*command)):
                for page, text in self.pages.items():
                    with self.subTest(page=page, command=command, option=option):
                        self.assertTrue(mentions(text, option))

    def test_every_command_is_documented(self):
        for command in self.commands:
            for page, text in self.pages.items():
                with self.subTest(page=page, command=command):
                    self.assertTrue(mentions(text, command))

    def test_every_exit_status_is_documented(self):
        statuses = {"0", "1", "2", "3"}
        man = self.pages["docs/gridloom.1"]
        listed = set(re.findall(r"^\.B ([0-9])$", man.split(".SH EXIT STATUS")[1], re.M))
        self.assertEqual(listed, statuses)
        guide = self.pages["docs/user-guide.md"].split("## Exit status")[1]
        self.assertEqual(set(re.findall(r"^\| `([0-9])` \|", guide, re.M)), statuses)

    def test_ini_reference_names_every_section_and_key(self):
        text = (DOCS / "ini-reference.md").read_text()
        for section in SECTIONS:
            with self.subTest(section=section):
                self.assertTrue(f"## [{section}]" in text, "no heading")
                self.assertTrue(f"[{section}]\nopen=" in text, "no example INI")
        for key in ["open", "close"]:
            with self.subTest(key=key):
                self.assertTrue(mentions(text, f"`{key}`"))


class IniExamples(unittest.TestCase):
    """Each HTML block of the INI reference is what gridloom renders for the CSV block and
    the INI block just before it (no INI file when the block before it is not one)."""

    def test_examples_render_as_shown(self):
        text = (DOCS / "ini-reference.md").read_text()
        blocks = re.findall(r"^```(\w+)\n(.*?)^```$", text, re.M | re.S)
        csv = next(body for lang, body in blocks if lang == "csv")
        work = Path(tempfile.mkdtemp(prefix="gridloom-docs-"))
        self.addCleanup(shutil.rmtree, work)
        (work / "t.csv").write_bytes(csv.replace("\n", "\r\n").encode())
        with_ini = 0
        for i, (lang, body) in enumerate(blocks):
            if lang != "html":
                continue
            command = [GRIDLOOM, "render", work / "t.csv"]
            if i > 0 and blocks[i - 1][0] == "ini":
                (work / "tags.ini").write_bytes(blocks[i - 1][1].replace("\n", "\r\n").encode())
                command.append(work / "tags.ini")
                with_ini += 1
            with self.subTest(block=i):
                result = subprocess.run(command, capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, body.rstrip("\n"))
        self.assertGreaterEqual(with_ini, len(SECTIONS))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--gridloom", required=True)
    parser.add_argument("--docs", required=True)
    args, rest = parser.parse_known_args()
    GRIDLOOM, DOCS = args.gridloom, Path(args.docs)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
