#!/usr/bin/env python3
"""The Python `csv` peer of bench/compare: the same job as `gridloom render`, done with the
standard library. Reads a UTF-8 CSV file with csv.reader and writes one HTML table
(<table><tr><td>...</td></tr></table>), cell text escaped with html.escape and line breaks
inside fields written as <br>.
usage: peer_csv.py IN.csv OUT.html"""
import csv
import html
import sys


def cell(text):
    text = html.escape(text)
    if "\n" in text or "\r" in text:
        text = text.replace("\r\n", "<br>").replace("\r", "<br>").replace("\n", "<br>")
    return text


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8", newline="") as src, \
            open(sys.argv[2], "w", encoding="utf-8", newline="") as out:
        out.write("<table>")
        for record in csv.reader(src):
            out.write("<tr>" + "".join("<td>" + cell(c) + "</td>" for c in record) + "</tr>")
        out.write("</table>")


if __name__ == "__main__":
    main()
