#!/usr/bin/python3
"""Which way Windows programs run on this host. Every 32-bit Windows program
runs in Wine's 32-bit loader, a 32-bit Linux program: where this kernel runs
it and Wine's 32-bit side is installed, Wine runs here ("native"); elsewhere it
runs in a QEMU guest ("guest", scripts/guest/guest.py); without QEMU, nowhere
("none"). TOVU_WINE_ROUTE=native or guest overrides the choice.

  route.py           "native: why", "guest: why" or "none: why" on one line
  route.py kernel    exits 0 where this kernel itself runs 32-bit programs
  route.py expect WAY [-- COMMAND ...]
      For a test configured for WAY: runs COMMAND where WAY still holds here,
      else says in one line that the build must be configured again. For
      WAY "none" there is no command: it says why the test is skipped (77),
      or fails under CI=true.
"""
import errno
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

WINE32_LOADER = "/usr/lib/wine/wine"  # runs every 32-bit Windows program
RECONFIGURE = "reconfigure (cmake --preset windows)"


def i386_probe():
    """The smallest i386 Linux program: exit(32)."""
    base, code = 0x08048000, bytes.fromhex("b801000000" "bb20000000" "cd80")
    size = 52 + 32 + len(code)
    header = (b"\x7fELF\x01\x01\x01" + bytes(9)
              + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0))
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def probe_places():
    """Folders to run the probe from: a temporary folder may be mounted noexec."""
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "tovu-stabilizer"
    return [tempfile.gettempdir(), os.environ.get("XDG_RUNTIME_DIR"), "/dev/shm", str(cache)]


def runs_i386(probe=None, places=None):
    """(True, "") where execve() runs an i386 program, (False, "") where the
    kernel refuses it (ENOEXEC), and (None, why) where no folder let the probe
    run at all (all mounted noexec, say): that says nothing of the kernel."""
    refused = []
    for place in filter(None, places or probe_places()):
        try:
            Path(place).mkdir(parents=True, exist_ok=True)
            tmp = tempfile.TemporaryDirectory(dir=place)
        except OSError as error:
            refused.append(f"{place} ({error.strerror})")
            continue
        with tmp:
            path = Path(tmp.name) / "probe"
            path.write_bytes(probe or i386_probe())
            path.chmod(0o755)
            try:
                return subprocess.run([str(path)], timeout=30).returncode == 32, ""
            except OSError as error:
                if error.errno == errno.ENOEXEC:
                    return False, ""
                refused.append(f"{place} ({error.strerror})")
    return None, ", ".join(refused)


def i386_handler(binfmt="/proc/sys/fs/binfmt_misc"):
    """The binfmt_misc interpreter that takes i386 programs, if one is enabled:
    qemu-user, say. It takes them before the kernel's own loader does."""
    root = Path(binfmt)
    status = root / "status"
    if not status.exists() or status.read_text().strip() != "enabled":
        return None
    elf = i386_probe()
    for entry in sorted(root.iterdir()):
        if entry.name in ("status", "register"):
            continue
        try:
            lines = entry.read_text().splitlines()
        except OSError:
            continue
        fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
        if lines[:1] != ["enabled"] or "magic" not in fields:
            continue
        magic = bytes.fromhex(fields["magic"])
        mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
        offset = int(fields.get("offset", "0"))
        sample = elf[offset:offset + len(magic)]
        if len(sample) == len(magic) and all(s & m == g & m for s, g, m in zip(sample, magic, mask)):
            return fields.get("interpreter", entry.name)
    return None


def runs_32_bit_natively(runs=runs_i386, handler=i386_handler):
    """Whether this kernel itself runs 32-bit programs, and why not."""
    interpreter = handler()
    if interpreter:
        return False, f"32-bit programs would run under {interpreter} (binfmt_misc), not on this kernel"
    verdict, refused = runs()
    if verdict is None:
        return False, f"could not run the i386 probe in any folder here: {refused}"
    if not verdict:
        return False, "this Linux kernel cannot run 32-bit programs (no IA32 emulation)"
    return True, "this Linux kernel runs 32-bit programs"


def route(runs=runs_i386, handler=i386_handler, wine32=lambda: Path(WINE32_LOADER).exists(),
          qemu=lambda: shutil.which("qemu-system-x86_64")):
    forced = os.environ.get("TOVU_WINE_ROUTE", "")
    if forced in ("native", "guest"):
        return forced, "chosen by TOVU_WINE_ROUTE"
    native, why = runs_32_bit_natively(runs, handler)
    if native and wine32():
        return "native", why + ", so Wine runs here"
    if native:
        why += ", but Wine's 32-bit side (wine32:i386) is not installed"
    if not qemu():
        return "none", why + ", and qemu-system-x86_64 is not installed (scripts/setup.sh guest)"
    return "guest", why + ", so Wine runs in a QEMU guest"


def still_holds(way, runs=runs_i386, handler=i386_handler, wine32=lambda: Path(WINE32_LOADER).exists(),
                qemu=lambda: shutil.which("qemu-system-x86_64")):
    """Why `way`, chosen when the build was configured, no longer works here,
    or None where it still does."""
    if way == "native":
        native, why = runs_32_bit_natively(runs, handler)
        if not native:
            return why
        return None if wine32() else "Wine's 32-bit side (wine32:i386) is no longer installed"
    if way == "guest":
        return None if qemu() else "qemu-system-x86_64 is no longer installed"
    now, why = route(runs, handler, wine32, qemu)
    return None if now == "none" else f"Windows programs can run now ({now}: {why})"


def main(argv):
    if not argv:
        print("{}: {}".format(*route()))
        return 0
    if argv[0] == "kernel":
        return 0 if runs_32_bit_natively()[0] else 1
    if argv[0] == "expect" and len(argv) >= 2:
        way, command = argv[1], argv[argv.index("--") + 1:] if "--" in argv else []
        changed = still_holds(way)
        if changed:
            print(f"failed: the end-to-end tests were configured for the {way} way, but {changed}; {RECONFIGURE}")
            return 1
        if way == "none":
            why = route()[1]
            if os.environ.get("CI") == "true":
                print(f"failed: {why}; CI must run every end-to-end test")
                return 1
            print(f"skipped: {why}")
            return 77
        os.execvp(command[0], command)
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
