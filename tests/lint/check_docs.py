#!/usr/bin/python3
"""check_docs.py SOURCE_DIR HOST_BUILD_DIR

The developer docs send readers to files and tests by name; a rename leaves
them pointing at nothing. Every name that DOCS write in backticks (a code span
or a fenced block, word by word) or link to must exist:

  a path    a word with a "/", or a bare file name with a source suffix
            (guest.py): a file or folder of the repository; a "*" must match
            one. Outputs (build/, dist/), ~ and absolute paths, URLs and words
            with a placeholder (<arch>, ..., $VAR) are passed over.
  a test    a bare snake_case word (e2e_win32_prefix, e2e_win32_*): a CTest
            test or fixture. Functions are written with their parentheses.
  -R RE     must match a test; -L or -LE LABEL, and "label `x`", a label.

The names are CTest's own (--show-only=json-v1): those of HOST_BUILD_DIR,
built, so that the unit tests are listed, and those of the other presets,
configured here under HOST_BUILD_DIR/docs-check, the windows preset on both
routes. Before the docs, the rules run on ROWS: a rule that misses a broken
row fails the check.
"""
import fnmatch
import json
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

DOCS = ["README.md", "HACKING.md", "RELEASING.md", "scripts/guest/README.md", "docs/manual.en.md"]
SOURCE_SUFFIXES = (".md", ".py", ".sh", ".cpp", ".h", ".json", ".cmake", ".rc")
NOT_IN_REPO = ("build/", "dist/", "~", "/", "http://", "https://")
PLACEHOLDERS = ("<", "…", "...", "$", "{")
SNAKE = re.compile(r"[a-z0-9]+(_[a-z0-9*]+)+")
# The other presets as the check configures them: preset, the route whose tests it lists.
OTHER_PRESETS = [("windows", "native"), ("windows", "guest"), ("asan", None)]


def spans(text):
    """(line number, code, is a link) for each code span, fenced line and
    link target."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif fenced:
            yield number, line.split("#", 1)[0], False  # a shell comment is prose
        else:
            for code in re.findall(r"`([^`]+)`", line):
                yield number, code, False
            for target in re.findall(r"\]\(([^)#\s]+)", line):
                if "://" not in target:
                    yield number, target, True


def words(code):
    try:
        return shlex.split(code)
    except ValueError:  # an apostrophe in prose
        return code.split()


def findings(text, files, known, base="."):
    """What `text` names that is not there; `files` are the repository's
    files and folders, `known` the CTest names, fixtures and labels, `base`
    the folder that the text's links start from."""
    found = []

    def matches(pattern, names):
        try:
            return any(re.search(pattern, name) for name in names)
        except re.error:
            return False
    for number, code, link in spans(text):
        if link:
            if os.path.normpath(os.path.join(base, code)) not in files:
                found.append((number, f"no such file or folder: {code}"))
            continue
        tokens = words(code)
        for before, raw in zip([""] + tokens, tokens):
            word = raw.strip("()[]\"',;:").rstrip(".")
            if before in ("-L", "-LE"):
                if not matches(raw, known["labels"]):
                    found.append((number, f"no such CTest label: {raw}"))
            elif before == "-R":
                if not matches(raw, known["tests"]):
                    found.append((number, f"no CTest test matches -R {raw}"))
            elif not word or any(mark in word for mark in PLACEHOLDERS):
                continue
            elif "/" in word or word.endswith(SOURCE_SUFFIXES):
                path = word.rstrip("/")
                if word.startswith(NOT_IN_REPO) or "=" in word:
                    continue
                names = files if "/" in path else {Path(f).name for f in files}
                if not fnmatch.filter(names, path):
                    found.append((number, f"no such file or folder: {word}"))
            elif SNAKE.fullmatch(word) and not re.search(r"\w\(", raw):  # run_tool() is a function
                if not fnmatch.filter(known["tests"] | known["fixtures"], word):
                    found.append((number, f"no such CTest test or fixture: {word}"))
    for number, line in enumerate(text.splitlines(), 1):
        for label in re.findall(r"\blabel `([^`]+)`", line):
            if label not in known["labels"]:
                found.append((number, f"no such CTest label: {label}"))
    return found


ROWS = [  # (text, how many findings[, the folder its links start from])
    ("`scripts/demo.sh` `scripts/guest/` `scripts/*.sh` `guest.py`", 0),
    ("`scripts/demo.sh.orig`", 1),
    ("`scripts/*.pl` `gust.py`", 2),
    ("`build/windows/e2e` `~/.cache/x` `/etc/hosts` `tests/<arch>/x` `https://x/y`", 0),
    ("`e2e_win32_prefix` `e2e_win32_*` `e2e_guest` `run_tool()`", 0),
    ("`e2e_win32_prefx` `e2e_win99_*`", 2),
    ("`ctest --preset host -R 'Stabilizer\\.' -L unit -LE lint`", 0),
    ("`ctest -R Nothing` `ctest -L units`", 2),
    ("label `lint`; label `lints`", 1),
    ("```sh\nscripts/tset.sh  # scripts/missing.sh in a comment\n```\n`scripts/demo.sh`", 1),
    ("[the manual](docs/manual.en.md), [gone](docs/manual.md), [web](https://example.org/a/b)", 1),
    ("[up](../demo.sh), [here](guest.py), [wrong](../guest.py)", 1, "scripts/guest"),
]
ROW_FILES = {"scripts", "scripts/demo.sh", "scripts/guest", "scripts/guest/guest.py", "docs", "docs/manual.en.md"}
ROW_NAMES = {"tests": {"e2e_win32_prefix", "Stabilizer.PinsEachOne"}, "fixtures": {"e2e_guest"},
             "labels": {"unit", "lint"}}


def ctest_names(build, names):
    listing = subprocess.run(["ctest", "--test-dir", str(build), "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    for test in json.loads(listing)["tests"]:
        names["tests"].add(test["name"])
        for prop in test.get("properties", []):
            if prop["name"] == "LABELS":
                names["labels"].update(prop["value"])
            elif prop["name"].startswith("FIXTURES_"):
                names["fixtures"].update(prop["value"])


def main():
    failures = [f"self-test: {text!r} gave {len(got)} findings, not {want}: {got}"
                for text, want, *base in ROWS if len(got := findings(text, ROW_FILES, ROW_NAMES, *base)) != want]
    source, host = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=source,
                            check=True, capture_output=True, text=True).stdout.split("\n")
    files = {f for f in listed if f} | {str(p) for f in listed if f for p in Path(f).parents if str(p) != "."}
    names = {"tests": set(), "fixtures": set(), "labels": set()}
    ctest_names(host, names)
    if any(name.endswith("_NOT_BUILT") for name in names["tests"]):
        sys.exit(f"check_docs.py: {host} lists no unit tests yet; build it first (cmake --build --preset host)")
    for preset, route in OTHER_PRESETS:
        build = host / "docs-check" / (f"{preset}-{route}" if route else preset)
        listed = [f"-DTOVU_LIST_ROUTE={route}"] if route else []
        configured = subprocess.run(["cmake", "--preset", preset, "-B", str(build), *listed], cwd=source,
                                    capture_output=True, text=True)
        if configured.returncode != 0:
            said = (configured.stderr.strip() or configured.stdout.strip()).splitlines()[-1:]
            sys.exit(f"check_docs.py: cannot configure the {preset} preset to learn its tests: {said}")
        ctest_names(build, names)
    for doc in DOCS:
        text = (source / doc).read_text(encoding="utf-8")
        for number, what in findings(text, files, names, base=os.path.dirname(doc) or "."):
            failures.append(f"{doc}:{number}: {what}")
    for failure in failures:
        print(failure)
    if failures:
        sys.exit(1)
    print(f"{', '.join(DOCS)}: every path and CTest name exists "
          f"({len(names['tests'])} tests, {len(names['labels'])} labels known)")


if __name__ == "__main__":
    main()
