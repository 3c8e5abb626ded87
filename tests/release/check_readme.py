#!/usr/bin/python3
"""check_readme.py ZIP TOOL_TEXTS

The readme.txt in the zip is what a Japanese user opens in Notepad: it must
begin with a UTF-8 BOM and decode as UTF-8, hold only characters that code
page 932 also has, end every line in CRLF, and name every text the tool can
show. TOOL_TEXTS prints those texts (the unit tests' own table), one a
line in hex; each line of a text must begin a line of the readme, with any
words standing for its arguments (番号, パス), so that "失敗しました。" is not
found inside "実行に失敗しました。". The English manual (docs/manual.en.md)
must quote every text too, on one line, after a blank, a quotation mark or
a table's bar. Lines break only where Japanese allows
(see breaks()), fit Notepad's window (package.WIDTH columns), and leave the
reader no referent to guess (see referents()).
"""
import re
import subprocess
import sys
import zipfile
from pathlib import Path

# The packaging's own measure of a line, as Notepad shows it.
sys.dont_write_bytecode = True  # nothing written into the sources
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from package import WIDTH, columns  # noqa: E402

CODE = b"2147483647"  # the error code TOOL_TEXTS formats into each text
PATH = b"\x01"  # the path it formats in
# What never begins a line that goes on from the one before.
SMALL_KANA = "ぁぃぅぇぉっゃゅょゎァィゥェォッャュョヮヵヶ"
CLOSING = "、。，．）」』】〕！？：ー"
PARTICLES = ("は", "が", "を", "に", "で", "と", "の", "へ", "や", "も", "から", "まで", "より", "ので")
# The tails of について and of a request, never apart from the word before.
BOUND = ("ついて", "ください")
KATAKANA = re.compile("[ァ-ヺー]")
BOM = b"\xef\xbb\xbf"
# Wordings that say something other than what is meant: the page a file was
# downloaded from is not a downloaded page, a program has no files of its
# own, pinning is undone (解除), and a path is found out, not made.
MISREAD = ("ダウンロードしたページ", "自分のファイル", "固定を戻す", "を作れませんでした")
ROOT = Path(__file__).resolve().parents[2]
# How a manual quotes a text: the readme each of its lines at the start of a
# line; the English manual the whole text in a line (its lines joined, with or
# without a blank), after a blank, a quotation mark or a table's bar.
MANUALS = [("readme.txt", "^", None), ("docs/manual.en.md", r'(?:^|(?<=[\s|"(]))', r"\s*")]


def breaks(lines):
    """Line breaks a careful Japanese author would not make: a line that goes
    on from the one before and starts with a particle, について's or a
    request's tail, a small kana, ー or a closing mark; a katakana word split
    in two; a quotation left open."""
    faults = []
    for before, line in zip([""] + lines, lines):
        start = line.lstrip(" \u3000")
        if line.count("「") != line.count("」"):
            faults.append(f"a quotation spans lines: {line!r}")
        if not start or not before.strip():
            continue
        if start[0] in SMALL_KANA + CLOSING or start.startswith(PARTICLES + BOUND):
            faults.append(f"a line starts with {start[0]!r}: {line!r}")
        elif KATAKANA.match(before[-1]) and KATAKANA.match(start[0]):
            faults.append(f"a katakana word is split: {before!r} / {line!r}")
    return faults + numbering(lines)


def numbering(lines):
    """In Notepad only the indent ties a line to a numbered item: a line at
    column 0 right under an item, or a number that does not go up within a
    section, reads as an item of its own."""
    faults = []
    last, in_item = 0, False
    for line in lines:
        item = re.match(r"(\d+)\. ", line)
        if line.startswith("■"):
            last = 0
        if item:
            if int(item.group(1)) <= last:
                faults.append(f"a line reads as item {item.group(1)} again: {line!r}")
            last = int(item.group(1))
        elif in_item and line[:1] not in ("", " "):
            faults.append(f"a line under a numbered item is not indented: {line!r}")
        in_item = bool(item) or (in_item and line[:1] == " ")
    return faults


def referents(lines):
    """「その」 right after 「次の」 points at the next thing, not the one meant;
    so no 「その」 on the rest of a line with 「次の」 or in the two lines of
    its paragraph that follow. Then the misread wordings, also across a line
    break."""
    faults = []
    for i, line in enumerate(lines):
        at = line.find("次の")
        if at < 0:
            continue
        after = [line[at:]]
        for following in lines[i + 1:i + 3]:
            if not following.strip():
                break
            after.append(following)
        if "その" in "".join(after):
            faults.append(f"「その」 follows 「次の」: {' / '.join(after)!r}")
    joined = "".join(line.strip(" \u3000") for line in lines)
    return faults + [f"a misread wording: {phrase!r}" for phrase in MISREAD if phrase in joined]


def cp932(character):
    try:
        character.encode("cp932")
        return True
    except UnicodeEncodeError:
        return False


def main():
    zip_path, tool_texts = sys.argv[1:]
    data = zipfile.ZipFile(zip_path).read("readme.txt")
    failures = []
    if not data.startswith(BOM):
        failures.append("readme.txt does not begin with a UTF-8 BOM")
    try:
        text = data.removeprefix(BOM).decode("utf-8")
    except UnicodeDecodeError as error:
        sys.exit(f"readme.txt is not UTF-8 at byte {error.start}")
    failures += [f"code page 932 lacks {c!r} (U+{ord(c):04X})" for c in sorted(set(text)) if not cp932(c)]
    if data.replace(b"\r\n", b"").count(b"\n") or data.replace(b"\r\n", b"").count(b"\r"):
        failures.append("readme.txt has line ends other than CRLF")
    if not data.endswith(b"\r\n"):
        failures.append("readme.txt does not end with a line end")
    lines = text.split("\r\n")
    failures += breaks(lines) + referents(lines)
    failures += [f"wider than {WIDTH} columns: {line!r}" for line in lines if columns(line) > WIDTH]
    hex_lines = subprocess.run([tool_texts], check=True, capture_output=True, text=True).stdout.split()
    if len(hex_lines) < 10:
        failures.append(f"{tool_texts} printed {len(hex_lines)} texts")
    english = (ROOT / "docs" / "manual.en.md").read_text(encoding="utf-8").splitlines()
    for (name, before, joined), manual in zip(MANUALS, ([line.lstrip(" \u3000") for line in lines], english)):
        for shown in map(bytes.fromhex, hex_lines):
            quoted = []
            for box_line in shown.split(b"\n"):
                pieces = re.split(re.escape(CODE) + b"|" + re.escape(PATH), box_line)
                if any(pieces):  # not an argument alone, such as the path
                    quoted.append(".+".join(re.escape(p.decode("cp932")) for p in pieces))
            for pattern in [joined.join(quoted)] if joined else quoted:
                if not any(re.search(before + pattern, line) for line in manual):
                    failures.append(f"{name} does not name {pattern!r} (from {shown.decode('cp932')!r})")
    for failure in failures:
        print(failure)
    if failures:
        sys.exit(1)
    print(f"readme.txt: UTF-8 with a BOM, all in code page 932, {text.count(chr(13) + chr(10))} lines "
          f"in CRLF; it and {MANUALS[1][0]} name all {len(hex_lines)} texts")


if __name__ == "__main__":
    main()
