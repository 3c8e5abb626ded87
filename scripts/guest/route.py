#!/usr/bin/python3
"""Which way Windows programs run on this host. Every 32-bit Windows program
runs in Wine's 32-bit loader, a 32-bit Linux program: where this kernel runs
it and Wine's 32-bit side is installed, Wine runs here ("native"); elsewhere it
runs in a QEMU guest ("guest", scripts/guest/guest.py); without QEMU, nowhere
("none"). TOVU_WINE_ROUTE=native or guest overrides the choice, but never
where it cannot work: native on a kernel that refused the probe, say.

  route.py           "native: why", "guest: why" or "none: why" on one line;
                     where it cannot tell (no folder can hold the probe) or
                     the forced route cannot work here, "route.py: why" and
                     exit 1
  route.py kernel    exits 0 where this kernel itself runs 32-bit programs;
                     1 where it does not, or no folder let the probe run
                     (the guest then serves either way); 2 where no folder
                     could even hold the probe
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


class Undecided(Exception):
    """No folder here could even hold the probe: a full disk, say."""


def probe_places():
    """Folders to run the probe from, as named, without touching them: a
    temporary folder may be mounted noexec, and a home may not be known."""
    cache = os.environ.get("XDG_CACHE_HOME") or (os.environ.get("HOME") and os.environ["HOME"] + "/.cache")
    return [os.environ.get("TMPDIR"), "/tmp", "/var/tmp", os.environ.get("XDG_RUNTIME_DIR"), "/dev/shm",
            cache and cache + "/tovu-stabilizer"]


def runs_i386(probe=None, places=None):
    """(True, "") where execve() runs an i386 program, (False, "") where the
    kernel refuses it (ENOEXEC), and (None, why) where no folder let the probe
    run (all mounted noexec, say): that says nothing of the kernel. Raises
    Undecided where no folder could hold the probe at all."""
    refused, unwritable = [], []
    for place in dict.fromkeys(filter(None, places or probe_places())):
        try:
            Path(place).mkdir(parents=True, exist_ok=True)
            tmp = tempfile.TemporaryDirectory(dir=place)
        except OSError as error:
            unwritable.append(f"{place} ({error.strerror})")
            continue
        with tmp:
            path = Path(tmp.name) / "probe"
            try:
                path.write_bytes(probe or i386_probe())
                path.chmod(0o755)
            except OSError as error:
                unwritable.append(f"{place} ({error.strerror})")
                continue
            try:
                return subprocess.run([str(path)], timeout=30).returncode == 32, ""
            except OSError as error:
                if error.errno == errno.ENOEXEC:
                    return False, ""
                refused.append(f"{place} ({error.strerror})")
    if not refused:
        raise Undecided("no folder here can hold the i386 probe: " + (", ".join(unwritable) or "none named"))
    return None, ", ".join(refused + unwritable)


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
        return False, "this Linux kernel refused to run an i386 program (execve gave ENOEXEC)"
    return True, "this Linux kernel ran an i386 program"


def route(runs=runs_i386, handler=i386_handler, wine32=lambda: Path(WINE32_LOADER).exists(),
          qemu=lambda: shutil.which("qemu-system-x86_64")):
    forced = os.environ.get("TOVU_WINE_ROUTE", "")
    if forced == "guest":
        return forced, "chosen by TOVU_WINE_ROUTE"
    native, why = runs_32_bit_natively(runs, handler)
    if forced == "native":
        if not native:
            raise Undecided(f"TOVU_WINE_ROUTE=native cannot work here: {why}")
        if not wine32():
            raise Undecided("TOVU_WINE_ROUTE=native, but Wine's 32-bit side (wine32:i386) is not installed "
                            "(TOVU_WINE_ROUTE=native scripts/setup.sh wine)")
        return forced, "chosen by TOVU_WINE_ROUTE; " + why
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
    try:
        return decide(argv)
    except Undecided as why:
        print(f"route.py: {why}", flush=True)
        return 2 if argv[:1] == ["kernel"] else 1
    except Exception as error:  # one line, never a traceback, and never taken for a route
        print(f"route.py: cannot tell the route: {type(error).__name__}: {error}", flush=True)
        return 2 if argv[:1] == ["kernel"] else 1


def decide(argv):
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
