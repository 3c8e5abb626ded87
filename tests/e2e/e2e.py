#!/usr/bin/python3
"""End-to-end tests: the real TovuStabilizer.exe in a throwaway Wine prefix
under Xvfb, with a Japanese locale (code page 932). The prefix is 32-bit
Windows (--arch win32) or 64-bit Windows (--arch win64), where the tool runs
under WoW64 and sees the 32-bit registry view, as on Windows 10 and 11.

Witnesses: a stand-in Tovu.exe that records its own affinity at its first
instruction; a box watcher in the same prefix that records every box and the
affinity of every running Tovu.exe while the box is up, then presses OK; and
`taskset -p` on the Linux processes behind Wine.

  e2e.py --exe EXE --helpers DIR --work DIR [--arch win64] --create-prefix
  e2e.py --exe EXE --helpers DIR --work DIR [--arch win64] [Scenarios.test_name ...]
  e2e.py --exe EXE --helpers DIR --work DIR --demo

The helpers are 32-bit; DIR/x64/Tovu.exe is a 64-bit stand-in target. Logs
and screenshots go to WORK/logs, or to --logs DIR. With --reuse-prefix,
--create-prefix keeps a prefix made by the same recipe (the QEMU guest's image
holds one of each kind, made with it); --prefix-recipe prints the recipe's key.
With --keep-servers, one Xvfb and one wineserver per prefix serve every
scenario (in the QEMU guest, which goes with them): a cold wineserver costs
seconds under emulation. Each scenario still starts clean: the programs an
earlier one left are killed and its registry entries and folders removed.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path

CAPTION = "安定化ツール"
UNINSTALL = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT_CODES = [
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F3D}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F31}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F34}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F3A}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F37}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F36}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F39}",
]
REG_SZ, REG_EXPAND_SZ = 1, 2
# Where scenarios put their programs inside the prefix; wiped before each one.
SCENARIO_DIRS = ["Apps", "Program Files/Fenwolk", "Program Files (x86)/Fenwolk", "Program.exe",
                 "e2e-targets", "アプリ"]

NOT_FOUND = "Fenwolkも\nBrisdaneも見つかりませんでした"
PINNED = "設定しました。\nOKを押すと元に戻します"
RESTORED = "元に戻しました。\nOKを押すと終了します。"
NOT_NEEDED = "このPCにはこのプログラムは必要ありません\n"

ARGS = None
# Seconds any one step may take: a box, a record, a program's end. Under
# emulation on a busy machine, a step of a second can take twenty.
PATIENCE = 90
# Wine's system mask: one bit for each processor Linux has online.
ALL_PROCESSORS = (1 << os.cpu_count()) - 1


def wait_for(what, predicate, timeout=PATIENCE, interval=0.2):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(interval)


class Xvfb:
    """A private X server for one scenario, or (`kept`) for every scenario of
    a prefix: it then outlives this process, and WORK/xvfb names it."""

    def __init__(self, kept=False):
        record = Path(ARGS.work) / "xvfb"
        if kept and record.exists():
            pid, number = record.read_text().split()
            if Path(f"/proc/{pid}/cmdline").exists() and Path(f"/tmp/.X11-unix/X{number}").exists():
                self.proc, self.display = None, ":" + number
                return
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             *(["-noreset"] if kept else [])],  # a reset between scenarios would compile its keymap anew
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=kept)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        if kept:
            record.write_text(f"{self.proc.pid} {number}\n")
            self.proc = None

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(timeout=10)


class Wine:
    """One throwaway prefix of ARGS.arch; nothing touches ~/.wine."""

    def __init__(self, work, display, log_dir=None):
        self.prefix = Path(work) / "prefix"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEARCH=ARGS.arch, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8",
                        DISPLAY=display)
        if log_dir is not None:
            self.env["TOVU_E2E_LOG"] = to_windows(log_dir)

    def unix(self, windows_path):
        assert windows_path[:3].upper() == "C:\\", windows_path
        return self.prefix / "drive_c" / windows_path[3:].replace("\\", "/")

    def run(self, *args, timeout=120):
        subprocess.run(["wine", *args], env=self.env, timeout=timeout, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self, *args, **env):
        return subprocess.Popen(["wine", *args], env=dict(self.env, **env), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def kill(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL, timeout=PATIENCE)

    def keep_server(self):
        """A wineserver that stays when its last program ends, and Wine's own
        services with it; a no-op where one runs already."""
        subprocess.run(["wineserver", "-p"], env=self.env, stderr=subprocess.DEVNULL, timeout=PATIENCE)

    def processes(self):
        """The Linux processes of this prefix, pid and command line (Wine gives a
        Windows program's its path): the other prefix may run the same paths."""
        for proc in Path("/proc").iterdir():
            try:
                env = (proc / "environ").read_bytes().split(b"\0")
                first = (proc / "cmdline").read_bytes().split(b"\0")[0].decode("utf-8", "replace")
            except OSError:
                continue
            if proc.name.isdigit() and f"WINEPREFIX={self.prefix}".encode() in env:
                yield int(proc.name), first.strip('"')

    def unix_pid(self, windows_path):
        """The Linux process behind a running Windows program."""
        return next((pid for pid, path in self.processes() if path.lower() == windows_path.lower()), None)

    def programs(self):
        """What scenarios started: every process of the prefix but the
        wineserver and Wine's own (C:\\windows\\...)."""
        return [pid for pid, path in self.processes()
                if not path.lower().startswith("c:\\windows\\") and "wineserver" not in path]

    def end_programs(self):
        for pid in self.programs():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_for("the programs of the scenario before to end", lambda: not self.programs())


def to_windows(unix_path):
    return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")


def helper(name, bits=32):
    return str(Path(ARGS.helpers) / ("x64" if bits == 64 else "") / name)


def prefix_recipe():
    """What a prefix is made of, as a key: a changed recipe makes it anew."""
    import hashlib  # here, not at the top: every scenario pays for imports under emulation
    import inspect
    return hashlib.sha256((inspect.getsource(make_prefix) + inspect.getsource(Wine.__init__)).encode()
                          ).hexdigest()[:16]


def create_prefix():
    work = Path(ARGS.work)
    marker = work / "prefix" / ".recipe"
    recipe = prefix_recipe()  # now: the source read later may have changed since this process began
    if ARGS.reuse_prefix and marker.exists() and marker.read_text() == recipe:
        print(f"prefix ready: {work / 'prefix'}, made with the guest's image")
    else:
        shutil.rmtree(work / "prefix", ignore_errors=True)
        work.mkdir(parents=True, exist_ok=True)
        make_prefix(work)
        marker.write_text(recipe)
        print(f"prefix ready: {work / 'prefix'}")
    # Which Wine runs the scenarios, for each one's log.
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=PATIENCE).stdout.strip()
    (work / "wine-version").write_text(version + "\n")
    print(f"wine --version: {version}")
    if ARGS.keep_servers:  # started here, not in the first scenario, which has its time limits
        wine = Wine(work, Xvfb(kept=True).display)
        wine.keep_server()
        wine.run(helper("reg_value.exe"), timeout=300)
        print("its X server and wineserver are up for the scenarios")


def make_prefix(work):
    x = Xvfb()
    try:
        wine = Wine(work, x.display)
        # Minutes under emulation on a busy machine, where two prefixes are made
        # at once and wineboot's own waits may run out: once more from scratch.
        for attempt in (1, 2):
            boot = subprocess.run(["wineboot", "--init"], env=wine.env, timeout=600, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, errors="replace")
            if boot.returncode == 0:
                break
            print(f"wineboot failed (exit {boot.returncode}), attempt {attempt}:\n{boot.stdout[-3000:]}")
            wine.kill()
            shutil.rmtree(wine.prefix, ignore_errors=True)
        else:
            raise RuntimeError(f"wineboot could not make {wine.prefix}")
        # No window manager runs under Xvfb: let Wine draw each box's frame and
        # caption itself, so that screenshots show them.
        wine.run("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        subprocess.run(["wineserver", "-w"], env=wine.env, timeout=300)
        # Wine draws the caption's close button with Marlett, which it loads only
        # from the prefix's font folder.
        marlett = Path("/usr/share/wine/fonts/marlett.ttf")
        if marlett.exists():
            shutil.copy(marlett, wine.prefix / "drive_c" / "windows" / "Fonts")
    finally:
        x.stop()


def ok_button_colours(shot, box):
    """The colours in the OK button's part of a box's screenshot."""
    left, top = box["rect"][:2]
    b_left, b_top, b_right, b_bottom = box["ok_rect"]
    histogram = subprocess.run(["convert", str(shot), "-crop", f"{b_right - b_left}x{b_bottom - b_top}+"
                                f"{b_left - left}+{b_top - top}", "-format", "%c", "histogram:info:-"],
                               capture_output=True, text=True, check=True, timeout=PATIENCE).stdout
    return [tuple(int(v) for v in m) for m in re.findall(r"\((\d+),(\d+),(\d+)", histogram)]


def taskset(unix_pid):
    out = subprocess.run(["taskset", "-p", str(unix_pid)], capture_output=True, text=True,
                         check=True).stdout
    return int(re.search(r"mask:\s*([0-9a-f]+)", out).group(1), 16)


class Session:
    """A scenario's world: X server, clean registry and process list, logs."""

    def __init__(self, name, display=None):
        self.log = Path(ARGS.logs) / name
        # What the helpers and this harness look at many times a second, on the
        # prefix's own disk: on a shared folder each look is dear under
        # emulation. Its records join the screenshots in the log at the end.
        self.io = Path(ARGS.work) / "io" / name
        for folder in (self.log, self.io):
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir(parents=True)
        self.xvfb = None if display else Xvfb(kept=ARGS.keep_servers)
        self.display = display or self.xvfb.display
        self.wine = Wine(ARGS.work, self.display, self.io)
        # Each Windows program counts the processors itself, so a kept wineserver
        # serves the single-processor scenario too.
        self.kept = ARGS.keep_servers
        if self.kept:
            self.wine.end_programs()  # whatever an earlier scenario left running
            self.wine.keep_server()
        else:
            self.wine.kill()
        # Written in one program start, before the first program of the scenario.
        self.registry = ["delete", *[f"{UNINSTALL}\\{c}" for c in PRODUCT_CODES]]
        for name in SCENARIO_DIRS:
            path = self.wine.prefix / "drive_c" / name
            if path.is_dir():
                shutil.rmtree(path)
            elif path.exists():
                path.unlink()
        self.procs = []
        self.unix_pids = {}  # by Windows pid, found once while the process runs
        self.queries = 0
        self.acked = 0
        self.screenshots = []
        # The watcher starts while the scenario sets up; await_watcher waits for it.
        self.procs.append(self.wine.start(helper("box_watcher.exe"), TOVU_E2E_ACK="1"))

    def close(self):
        for name in ("stop-all", "watcher-stop"):
            (self.io / name).touch()
        for proc in self.procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        if self.kept:
            self.wine.end_programs()
        else:
            self.wine.kill()
        if self.xvfb:
            self.xvfb.stop()
        for record in [*self.io.glob("target-*.txt"), self.io / "watcher.jsonl"]:
            if record.exists():
                shutil.copy(record, self.log)
        shutil.rmtree(self.io, ignore_errors=True)

    # --- the machine -----------------------------------------------------
    def install(self, index, text, kind=REG_SZ, terminated=True):
        data = text.encode("cp932") + (b"\0" if terminated else b"")
        self.registry += ["set", f"{UNINSTALL}\\{PRODUCT_CODES[index]}", "DisplayIcon", str(kind), data.hex()]

    def write_registry(self):
        """What the scenario has installed so far, written before a program runs."""
        if self.registry:
            self.wine.run(helper("reg_value.exe"), *self.registry)
            self.registry = []

    def install_in_view(self, index, text, view):
        """Writes a REG_SZ through the 32- or 64-bit registry view."""
        data = text.encode("cp932") + b"\0"
        self.registry += ["view", str(view), "set", f"{UNINSTALL}\\{PRODUCT_CODES[index]}", "DisplayIcon",
                          str(REG_SZ), data.hex(), "view", "32"]

    def key_exists(self, key, view):
        self.write_registry()
        return subprocess.run(["wine", "reg", "query", key, f"/reg:{view}"], env=self.wine.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def place(self, windows_path, bits=32):
        """Puts the 32- or 64-bit stand-in target (or a planted program) at windows_path."""
        path = self.wine.unix(windows_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(helper("Tovu.exe", bits), path)

    def records(self):
        found = []
        for path in sorted(self.io.glob("target-*.txt")):
            raw = path.read_bytes().decode("cp932")
            record = dict(line.split("=", 1) for line in raw.splitlines() if "=" in line)
            winpid = int(record["winpid"])
            if self.unix_pids.get(winpid) is None:
                self.unix_pids[winpid] = self.wine.unix_pid(record["path"])
            found.append({"winpid": winpid, "mask": int(record["mask"]),
                          "system": int(record["system"]), "bits": int(record["bits"]),
                          "path": record["path"],
                          "unixpid": self.unix_pids[winpid]})
        return found

    def start_target(self, windows_path):
        self.write_registry()
        known = {r["winpid"] for r in self.records()}
        self.procs.append(self.wine.start(windows_path))
        return wait_for("the target's record",
                        lambda: next((r for r in self.records() if r["winpid"] not in known), None))

    def stop_target(self, record):
        (self.io / f"stop-{record['winpid']}").touch()
        wait_for("the target to exit", lambda: self.wine.unix_pid(record["path"]) is None)

    def await_watcher(self):
        self.write_registry()
        wait_for("the box watcher", lambda: any(l["kind"] == "ready" for l in self.lines()))

    def lines(self):
        path = self.io / "watcher.jsonl"
        if not path.exists():
            return []
        text = path.read_text(encoding="utf-8")
        return [json.loads(line) for line in text.split("\n")[:-1] if line.strip()]

    def boxes(self):
        return [line for line in self.lines() if line["kind"] == "box"]

    def query(self):
        """The affinity of every running Tovu.exe, through Win32, right now."""
        name = f"query-{self.queries}"
        self.queries += 1
        (self.io / name).touch()
        return wait_for("the watcher's answer",
                        lambda: next((l["targets"] for l in self.lines() if l.get("name") == name), None))

    # --- the tool --------------------------------------------------------
    def run_tool(self):
        self.write_registry()
        proc = self.wine.start(ARGS.exe)
        self.procs.append(proc)
        return proc

    def next_box(self, tool, timeout=PATIENCE):
        """Waits for the next box (or the tool's end, then None); takes its screenshot."""
        index = self.acked
        box = wait_for(f"box {index} or the tool's end",
                       lambda: next((b for b in self.boxes() if b["index"] == index), None)
                       or (tool.poll() is not None and "ended"), timeout)
        if box == "ended":
            return None
        shot = self.log / f"box-{index}.png"
        left, top, right, bottom = box["rect"]
        subprocess.run(["import", "-display", self.display, "-window", "root", "-crop",
                        f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(shot)],
                       check=True, timeout=PATIENCE)
        self.screenshots.append(shot)
        return box

    def ok(self, box):
        (self.io / f"ack-{box['index']}").touch()
        self.acked += 1


class Scenarios(unittest.TestCase):
    def setUp(self):
        if os.cpu_count() < 2 and os.environ.get("TOVU_E2E_ONE_CPU") != "1":
            self.skipTest("needs a machine with two or more processors")
        version = Path(ARGS.work) / "wine-version"
        print(f"\nwine --version: {version.read_text().strip() if version.exists() else 'not recorded'}",
              file=sys.stderr, flush=True)
        self.s = Session(self._testMethodName)
        self.addCleanup(self.s.close)

    def require_win64(self):
        if ARGS.arch != "win64":
            self.skipTest("only 64-bit Windows has this")

    def assertIsToolBox(self, box, text):
        self.assertEqual(box["caption"], CAPTION)
        self.assertEqual(box["texts"], [text])
        self.assertEqual(box["buttons"], [{"id": 1, "text": "OK"}], "one OK button")
        self.assertEqual(box["icons"], 0)
        self.assertEqual(box["owner"], 0)

    def run_through(self, expected_texts, timeout=PATIENCE):
        """Runs the tool, presses OK on each box, and returns the boxes seen."""
        tool = self.s.run_tool()
        seen = []
        while True:
            box = self.s.next_box(tool, timeout)
            if box is None:
                break
            seen.append(box)
            self.s.ok(box)
        self.assertEqual([b["texts"][0] if b["texts"] else "" for b in seen], expected_texts)
        for box, text in zip(seen, expected_texts):
            self.assertIsToolBox(box, text)
        return tool, seen

    def assertPinned(self, record, mask):
        """Both witnesses: Win32 through the watcher, Linux through taskset."""
        by_pid = {t["pid"]: t["mask"] for t in self.s.query()}
        self.assertEqual(by_pid.get(record["winpid"]), mask)
        self.assertEqual(taskset(record["unixpid"]), mask)

    def assertStartsPinnedAndIsWaitedFor(self, tool, path):
        """The one started target is `path`, on processor 0 by both witnesses, and
        the tool ends only after it."""
        target = wait_for("the started target", lambda: self.s.records())[0]
        self.assertEqual(target["path"], path)
        self.assertEqual(target["system"], ALL_PROCESSORS)
        self.assertPinned(target, 0x1)
        # Both witnesses have answered meanwhile: a tool that did not wait would have ended.
        self.assertIsNone(tool.poll(), "the tool must wait for the target")
        self.s.stop_target(target)
        tool.wait(timeout=PATIENCE)

    def test_nothing_installed_nothing_running(self):
        self.s.await_watcher()
        tool, _ = self.run_through([NOT_FOUND])
        self.assertEqual(tool.wait(timeout=PATIENCE), 0)

    def test_ok_button_in_the_visual_style_its_manifest_asks_for(self):
        """The manifest is read, not only present: its Common Controls 6
        dependency gives the box the themed OK button, drawn in colour, where
        a program without it gets the classic one, all greys."""
        self.s.await_watcher()
        tool, (box,) = self.run_through([NOT_FOUND])
        self.assertEqual(tool.wait(timeout=PATIENCE), 0)
        colours = ok_button_colours(self.s.screenshots[0], box)
        self.assertTrue(any(max(c) - min(c) > 60 for c in colours), f"a classic OK button: {colours}")

    def test_starts_installed_target_pinned_to_processor_zero(self):
        self.s.install(2, r"C:\Apps\Fen Wolk\main.exe,0")
        self.s.place(r"C:\Apps\Fen Wolk\Tovu.exe")
        self.s.await_watcher()
        self.assertStartsPinnedAndIsWaitedFor(self.s.run_tool(), r"C:\Apps\Fen Wolk\Tovu.exe")
        self.assertEqual(self.s.boxes(), [])

    def test_planted_program_at_a_blank_never_runs(self):
        self.s.place(r"C:\Program.exe")
        self.s.install(0, r"C:\Program Files\Fenwolk\main.exe")
        self.s.place(r"C:\Program Files\Fenwolk\Tovu.exe")
        self.s.await_watcher()
        self.assertStartsPinnedAndIsWaitedFor(self.s.run_tool(), r"C:\Program Files\Fenwolk\Tovu.exe")
        self.assertEqual(len(self.s.records()), 1, "C:\\Program.exe ran")
        self.assertEqual(self.s.boxes(), [])

    def test_failed_start_reported_then_next_product_runs(self):
        self.s.install(0, r"C:\Apps\Missing\main.exe")
        self.s.install(1, r"C:\Apps\Expand\main.exe", kind=REG_EXPAND_SZ)
        self.s.place(r"C:\Apps\Expand\Tovu.exe")
        self.s.install(2, r"C:\Apps\Second\main.exe")
        self.s.place(r"C:\Apps\Second\Tovu.exe")
        self.s.await_watcher()
        tool = self.s.run_tool()
        box = self.s.next_box(tool)
        # 3: ERROR_PATH_NOT_FOUND, the folder is missing too
        self.assertIsToolBox(box, "実行に失敗しました。3\n" + r"C:\Apps\Missing\Tovu.exe")
        self.s.ok(box)
        self.assertStartsPinnedAndIsWaitedFor(tool, r"C:\Apps\Second\Tovu.exe")
        self.assertEqual(len(self.s.boxes()), 1, "no not-found box")

    def pin_and_restore(self, bits):
        """Targets of the given widths run, each from its own folder so that each
        Linux process is told apart by its path; the tool pins them one processor
        each and, after OK, gives them all back."""
        targets = []
        for n, width in enumerate(bits, 1):
            self.s.place(rf"C:\e2e-targets\{n}\Tovu.exe", width)
            targets.append(self.s.start_target(rf"C:\e2e-targets\{n}\Tovu.exe"))
        self.assertEqual(len({t["winpid"] for t in targets}), len(targets))
        self.assertEqual([t["bits"] for t in targets], bits)
        self.s.await_watcher()
        tool = self.s.run_tool()

        pinned = self.s.next_box(tool)
        self.assertIsToolBox(pinned, PINNED)
        by_pid = {t["pid"]: t["mask"] for t in pinned["targets"]}
        self.assertEqual(sorted(by_pid.values()), [0x1, 0x2])
        for record in targets:
            self.assertEqual(taskset(record["unixpid"]), by_pid[record["winpid"]])
        self.s.ok(pinned)

        restored = self.s.next_box(tool)
        self.assertIsToolBox(restored, RESTORED)
        self.assertEqual([t["mask"] for t in restored["targets"]], [ALL_PROCESSORS] * len(bits))
        self.assertEqual([taskset(r["unixpid"]) for r in targets], [ALL_PROCESSORS] * len(bits))
        self.s.ok(restored)
        self.assertEqual(tool.wait(timeout=PATIENCE), 0)
        self.assertIsNone(self.s.next_box(tool), "a third box")

    def test_running_targets_pinned_one_processor_each_then_restored(self):
        self.pin_and_restore([32, 32])

    def test_64_and_32_bit_targets_pinned_side_by_side(self):
        """A 32-bit tool under WoW64 reaches a 64-bit Tovu.exe as well."""
        self.require_win64()
        self.pin_and_restore([64, 32])

    def test_reads_only_the_32_bit_registry_view(self):
        """The first product code's entry, written through the 64-bit view, is not
        the tool's to see; the second's, written through the 32-bit view (under
        WOW6432Node), is what it starts."""
        self.require_win64()
        self.s.install_in_view(0, r"C:\Apps\View64\main.exe", view=64)
        self.s.place(r"C:\Apps\View64\Tovu.exe")
        self.s.install_in_view(1, r"C:\Program Files (x86)\Fenwolk\main.exe,0", view=32)
        self.s.place(r"C:\Program Files (x86)\Fenwolk\Tovu.exe")
        wow = UNINSTALL.replace("SOFTWARE", r"SOFTWARE\WOW6432Node", 1)
        self.assertTrue(self.s.key_exists(rf"HKLM\{wow}\{PRODUCT_CODES[1]}", view=64))
        self.assertFalse(self.s.key_exists(rf"HKLM\{UNINSTALL}\{PRODUCT_CODES[0]}", view=32))
        self.s.await_watcher()
        self.assertStartsPinnedAndIsWaitedFor(self.s.run_tool(),
                                              r"C:\Program Files (x86)\Fenwolk\Tovu.exe")
        self.assertEqual(self.s.boxes(), [])

    def test_targets_that_end_before_ok(self):
        targets = []
        for n in ("1", "2"):
            self.s.place(rf"C:\e2e-targets\{n}\Tovu.exe")
            targets.append(self.s.start_target(rf"C:\e2e-targets\{n}\Tovu.exe"))
        self.s.await_watcher()
        tool = self.s.run_tool()
        pinned = self.s.next_box(tool)
        self.assertIsToolBox(pinned, PINNED)
        for target in targets:
            self.s.stop_target(target)
        self.s.ok(pinned)
        restored = self.s.next_box(tool)
        self.assertIsToolBox(restored, RESTORED)
        self.assertEqual(restored["targets"], [])
        self.s.ok(restored)
        self.assertEqual(tool.wait(timeout=PATIENCE), 0)

    def test_single_processor_pc(self):
        if os.environ.get("TOVU_E2E_ONE_CPU") != "1":
            self.skipTest("runs in its own mount namespace; see main()")
        self.s.install(0, r"C:\Apps\Fenwolk\main.exe")
        self.s.place(r"C:\Apps\Fenwolk\Tovu.exe")
        self.s.await_watcher()
        self.run_through([NOT_NEEDED])
        self.assertEqual(self.s.records(), [], "nothing may start")

    def test_japanese_path_in_an_unterminated_value(self):
        # "ソ" is 0x83 0x5C in code page 932: its trail byte is a backslash.
        self.s.install(0, r"C:\アプリ\長いフォルダー名のソフト\main.exe", terminated=False)
        self.s.install(1, r"C:\アプリ\ソフト\m.exe", terminated=False)
        self.s.place(r"C:\アプリ\ソフト\Tovu.exe")
        self.s.await_watcher()
        tool = self.s.run_tool()
        box = self.s.next_box(tool)
        self.assertIsToolBox(box, "実行に失敗しました。3\n" + r"C:\アプリ\長いフォルダー名のソフト\Tovu.exe")
        self.s.ok(box)
        self.assertStartsPinnedAndIsWaitedFor(tool, r"C:\アプリ\ソフト\Tovu.exe")


def in_single_processor_namespace(argv):
    """Re-runs this scenario with Wine seeing one processor: Wine counts them from
    /sys/devices/system/cpu/online, so a private mount namespace gets a copy that
    says "0", seen by every Windows program started inside."""
    online = Path(ARGS.work) / "cpu-online-0"
    online.write_text("0\n")
    command = " ".join(f"'{a}'" for a in [sys.executable, *argv])
    return subprocess.call(["unshare", "-m", "sh", "-c",
                            f"mount --bind '{online}' /sys/devices/system/cpu/online && exec {command}"],
                           env=dict(os.environ, TOVU_E2E_ONE_CPU="1"))


def demo():
    """The README's main command: one product installed, one target running."""
    display = os.environ.get("DISPLAY")
    if not (Path(ARGS.work) / "prefix").exists():
        create_prefix()
    s = Session("demo", display=display)
    try:
        s.install(0, r"C:\Program Files\Fenwolk\main.exe,0")
        s.place(r"C:\Program Files\Fenwolk\Tovu.exe")
        running = s.start_target(r"C:\Program Files\Fenwolk\Tovu.exe")
        print(f"Tovu.exe running (pid {running['winpid']}) with affinity {running['mask']:#x}")
        s.await_watcher()
        print("1) TovuStabilizer.exe with Tovu.exe running:")
        tool = s.run_tool()
        while (box := s.next_box(tool)) is not None:
            masks = ", ".join(f"{t['mask']:#x}" for t in box["targets"]) or "none running"
            print(f"   box {box['index']}: {box['texts'][0]!r}  (Tovu.exe affinity: {masks})")
            if display:
                time.sleep(2)
            s.ok(box)
        s.stop_target(running)
        print("2) TovuStabilizer.exe with nothing running: it starts the installed Tovu.exe")
        tool = s.run_tool()
        started = wait_for("the started target", lambda: [r for r in s.records() if r["winpid"] != running["winpid"]])[0]
        masks = {t["pid"]: t["mask"] for t in s.query()}
        print(f"   started {started['path']} with affinity {masks[started['winpid']]:#x} "
              f"(taskset: {taskset(started['unixpid']):#x}); the tool waits for it")
        s.stop_target(started)
        tool.wait(timeout=PATIENCE)
        print("   Tovu.exe exited; the tool ended")
        for shot in s.screenshots:
            print(f"screenshot: {shot}")
    finally:
        s.close()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default="TovuStabilizer.exe")
    parser.add_argument("--helpers", default="helpers")
    parser.add_argument("--work", default="work")
    parser.add_argument("--logs")
    parser.add_argument("--arch", choices=["win32", "win64"], default="win32")
    parser.add_argument("--create-prefix", action="store_true")
    parser.add_argument("--reuse-prefix", action="store_true")
    parser.add_argument("--keep-servers", action="store_true")
    parser.add_argument("--prefix-recipe", action="store_true")
    parser.add_argument("--demo", action="store_true")
    ARGS, rest = parser.parse_known_args()
    # Wine wants an absolute prefix, and the programs run from other folders.
    ARGS.logs = ARGS.logs or str(Path(ARGS.work) / "logs")
    for name in ("exe", "helpers", "work", "logs"):
        setattr(ARGS, name, str(Path(getattr(ARGS, name)).resolve()))
    if ARGS.prefix_recipe:
        return print(prefix_recipe())
    if ARGS.create_prefix:
        return create_prefix()
    if ARGS.demo:
        return demo()
    if rest and all("single_processor" in name for name in rest) and os.environ.get("TOVU_E2E_ONE_CPU") != "1":
        return sys.exit(in_single_processor_namespace(sys.argv))
    program = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
