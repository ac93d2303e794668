#!/usr/bin/env python3
"""Checks the built gridloom.dll and gridloom.exe without running them, from what objdump
reads of their images: the machine, the DLL's eight exports by their undecorated names,
PluginInline removing its seven arguments as __stdcall does on i386, imports from system DLLs
only, and the instructions of the baseline (SSE2) and of the paths chosen at run time
(SSSE3 with POPCNT, found with CPUID). Where no 32-bit program runs, this is what is checked
of the 32-bit DLL; elsewhere it runs beside the tests under Wine."""
import argparse
import os
import re
import subprocess
import sys
import unittest

ARGS = None
EXPORTS = ["GetAuthor", "GetDescription", "GetExample", "GetName", "GetPluginType", "GetSyntax",
           "GetVersion", "PluginInline"]
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "oleaut32.dll", "user32.dll", "advapi32.dll",
               "ntdll.dll", "shell32.dll"}
# The server of gridloom.exe serve, a DLL of its own: the sockets stay out of the command.
SOCKET_DLLS = {"ws2_32.dll", "mswsock.dll"}
# What each export removes from the stack when it returns, in bytes: __stdcall on i386
# (seven 4-byte arguments for PluginInline), nothing on x64, whose one convention leaves the
# stack to the caller.
POPPED = {"i386": {"PluginInline": 0x1C}, "x86-64": {}}


def objdump(*args):
    # In English whatever the locale (the Windows tests run under ja_JP.UTF-8).
    env = dict(os.environ, LC_ALL="C")
    return subprocess.run([ARGS.objdump, *args], capture_output=True, text=True, env=env,
                          check=True).stdout


class Image:
    def __init__(self, path):
        self.path = path
        header = objdump("-f", path)
        self.machine = re.search(r"architecture: ([\w:-]+),", header).group(1).split(":")[-1]
        self.private = objdump("-p", path)
        self.base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", self.private, re.M).group(1), 16)

    def imports(self):
        return [name.lower() for name in re.findall(r"DLL Name: (\S+)", self.private)]

    def exports(self):
        """{name: address}, from the export address and name pointer tables."""
        rvas = re.findall(r"\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA", self.private)
        table = self.private.split("[Ordinal/Name Pointer] Table", 1)
        names = re.findall(r"\[\s*(\d+)\] (\S+)", table[1].split("\n\n", 1)[0]) if len(
            table) == 2 else []
        by_index = {int(i): int(rva, 16) for i, rva in rvas}
        return {name: self.base + by_index[int(i)] for i, name in names}

    def first_return(self, address):
        """The first return instruction at or after address (the function's own, in code
        that is not split)."""
        listing = objdump("-d", f"--start-address={address:#x}",
                          f"--stop-address={address + 4096:#x}", self.path)
        for line in listing.splitlines():
            match = re.match(r"\s*[0-9a-f]+:\s+(?:[0-9a-f]{2} )+\s*(ret[lq]?)\b\s*(\S*)", line)
            if match:
                operand = match.group(2)
                return int(operand[1:], 16) if operand.startswith("$") else 0
        return None

    def mnemonics(self):
        listing = objdump("-d", self.path)
        return set(re.findall(r"^\s*[0-9a-f]+:\s+(?:[0-9a-f]{2} )+\s*([a-z][a-z0-9]*)", listing,
                              re.M))


class Images(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dll = Image(ARGS.dll)
        cls.exe = Image(ARGS.exe) if ARGS.exe else None
        cls.serve = Image(ARGS.serve) if ARGS.serve else None

    def test_machine(self):
        for image in filter(None, [self.dll, self.exe, self.serve]):
            self.assertEqual(image.machine, ARGS.machine, image.path)

    def test_exports_by_undecorated_name(self):
        self.assertEqual(sorted(self.dll.exports()), EXPORTS)
        name = re.search(r"^Name\s+[0-9a-f]+ (\S+)", self.dll.private, re.M)
        self.assertEqual(name and name.group(1), "gridloom.dll")

    def test_each_export_returns_as_the_header_declares(self):
        popped = POPPED[ARGS.machine]
        for name, address in sorted(self.dll.exports().items()):
            with self.subTest(name):
                self.assertEqual(self.dll.first_return(address), popped.get(name, 0))

    def test_imports_only_system_dlls(self):
        for image, allowed in [(self.dll, SYSTEM_DLLS), (self.exe, SYSTEM_DLLS),
                               (self.serve, SYSTEM_DLLS | SOCKET_DLLS)]:
            if image is None:
                continue
            with self.subTest(image.path):
                imports = image.imports()
                self.assertTrue(imports)
                self.assertEqual([dll for dll in imports if dll not in allowed], [])
        if self.serve:
            self.assertEqual(sorted(self.serve.exports()), ["GridloomServe"])
            self.assertTrue(SOCKET_DLLS & set(self.serve.imports()))

    def test_baseline_and_paths_chosen_at_run_time(self):
        found = self.dll.mnemonics()
        for mnemonic, why in [("cpuid", "the processor's sets are asked at run time"),
                              ("pcmpeqb", "SSE2, the baseline"),
                              ("pmovmskb", "SSE2, the baseline"),
                              ("pshufb", "SSSE3, chosen at run time"),
                              ("popcnt", "POPCNT, chosen at run time with SSSE3")]:
            with self.subTest(mnemonic):
                self.assertIn(mnemonic, found, why)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--machine", required=True, choices=sorted(POPPED))
    parser.add_argument("--dll", required=True)
    parser.add_argument("--exe")
    parser.add_argument("--serve")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
