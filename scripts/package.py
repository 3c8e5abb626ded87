#!/usr/bin/python3
"""Writes the zip a user downloads: TovuStabilizer.exe, readme.txt, LICENSE.txt
and BUILDINFO, in that order.

  package.py --version V --exe EXE --buildinfo FILE --out ZIP [--epoch SECONDS]

readme.txt is release/readme.txt with the version and the history from
CHANGELOG.md filled in, turned into what Windows users open in Notepad: UTF-8
with a BOM and CRLF line ends. The BOM makes every Notepad since Windows 2000
read it as UTF-8, whatever the system locale and the UTF-8 option, and every
character must also exist in code page 932, so that an older editor which
converts it to Shift-JIS loses nothing. The zip is the same bytes for the same
inputs: fixed timestamps (the commit's time, given as --epoch), no extra
fields, no compression (so no zlib version can change the bytes).
"""
import argparse
import re
import sys
import time
import unicodedata
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Keep a Changelog headings, as a Japanese reader names them.
KINDS = {"Added": "追加", "Changed": "変更", "Deprecated": "非推奨", "Removed": "削除",
         "Fixed": "修正", "Security": "セキュリティ"}
# The timestamps users see on the extracted files: Japan Standard Time, which
# has no daylight saving time.
JST = 9 * 3600
# Without a commit to date the files, the first time a zip can hold.
NO_DATE = (1980, 1, 1, 0, 0, 0)
# A narrow Notepad window that still shows a whole line, and where a
# Japanese line may break.
WIDTH = 70
BREAK_AFTER = re.compile("[^、。]*[、。]?")


def fail(message):
    sys.exit(f"package.py: {message}")


def history(changelog, version):
    """The released entries of CHANGELOG.md as plain text, newest first."""
    lines = []
    found = False
    for line in changelog.splitlines():
        heading = re.match(r"## \[([^\]]+)\](?: - (\S+))?", line)
        if heading:
            name, date = heading.groups()
            if name == "Unreleased":
                continue
            found = found or name == version
            if lines:
                lines.append("")
            lines.append(f"{name}（{date}）" if date else name)
        elif not lines:
            continue  # the preamble and the unreleased changes
        elif line.startswith("### "):
            lines.append(f"  【{KINDS.get(line[4:].strip(), line[4:].strip())}】")
        elif line.startswith("- "):
            lines += wrap(line[2:].replace("`", ""), "  ・", "    ")
    if not found:
        fail(f"CHANGELOG.md has no entry for version {version}")
    return "\n".join(lines)


def wrap(text, first, rest):
    """text in lines of at most WIDTH columns, broken after 、 and 。 only."""
    lines, line = [], first
    for piece in filter(None, BREAK_AFTER.findall(text)):
        if line not in (first, rest) and columns(line + piece) > WIDTH:
            lines.append(line)
            line = rest
        line += piece
    return lines + [line]


def columns(line):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)


def readme(version):
    text = (ROOT / "release" / "readme.txt").read_text(encoding="utf-8")
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    text = text.replace("@VERSION@", version).replace("@HISTORY@", history(changelog, version))
    try:
        text.encode("cp932")
    except UnicodeEncodeError as error:
        fail(f"release/readme.txt has a character that code page 932 lacks: {error.object[error.start]!r}")
    return crlf(text).encode("utf-8-sig")


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def member(name, date_time):
    info = zipfile.ZipInfo(name, date_time)
    info.compress_type = zipfile.ZIP_STORED
    info.create_system = 0  # MS-DOS: no Unix permissions for Windows to misread
    info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE, as Windows itself writes; 0 would become Unix 0600
    return info


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--buildinfo", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--epoch", type=int)
    args = parser.parse_args()
    date_time = NO_DATE if args.epoch is None else time.gmtime(args.epoch + JST)[:6]
    members = [
        ("TovuStabilizer.exe", Path(args.exe).read_bytes()),
        ("readme.txt", readme(args.version)),
        ("LICENSE.txt", crlf((ROOT / "LICENSE").read_text(encoding="ascii")).encode("ascii")),
        ("BUILDINFO", Path(args.buildinfo).read_bytes()),
    ]
    with zipfile.ZipFile(args.out, "w") as archive:
        for name, data in members:
            archive.writestr(member(name, date_time), data)


if __name__ == "__main__":
    main()
