#!/usr/bin/python3
"""Checks of the QEMU guest that runs Windows programs where the host cannot:
which way is chosen, what setup installs for it and leaves behind, when the
cached image is reused or built again, that a guest belongs to the run that
brought it up, that nothing the guest writes steers the host, and that a
guest that dies, hangs or is stopped fails loudly and leaves no QEMU, keeper
or overlay.

The setup and image rows run setup.sh and image.sh from a copy of scripts/ in
which dpkg, apt-get, sudo, mmdebstrap (on PATH) and the prefix step are
stand-ins that record each call; the logic they exercise is the real one. The
rows that boot need qemu-system-x86_64, and those that boot a whole guest its
image. Nothing here models the host's kernel: the probe is fed programs and
folders whose outcome is known on any x86-64 Linux.
"""
import errno
import fcntl
import json
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts" / "guest"))
import guest  # noqa: E402
import route  # noqa: E402

RELEASES = ("bookworm", "trixie")  # Debian 12 with Wine 8, Debian 13 with Wine 10
QEMU_I386 = ("enabled\ninterpreter /usr/libexec/qemu-binfmt/i386-binfmt-P\nflags: PF\noffset 0\n"
             "magic 7f454c4601010100000000000000000002000300\n"
             "mask fffffffffffefefcfffffffffffffffffeffffff\n")
QEMU_AARCH64 = ("enabled\ninterpreter /usr/libexec/qemu-binfmt/aarch64-binfmt-P\nflags: PF\noffset 0\n"
                "magic 7f454c460201010000000000000000000200b700\n"
                "mask ffffffffffffff00fffffffffffffffffeffffff\n")


def processes(marker, program=b""):
    """Processes, but this one, whose command line names `marker` (a session
    folder) and whose program's name holds `program`: QEMU, or the keeper."""
    found = []
    for proc in Path("/proc").iterdir():
        try:
            cmdline = (proc / "cmdline").read_bytes()
            state = (proc / "stat").read_text().rsplit(") ", 1)[1][0]
        except (OSError, IndexError):
            continue
        if (proc.name.isdigit() and int(proc.name) != os.getpid() and state != "Z"
                and program in cmdline.split(b"\0")[0] and str(marker).encode() in cmdline):
            found.append(int(proc.name))
    return found


def proc_start(pid):
    return Path(f"/proc/{pid}/stat").read_text().rsplit(") ", 1)[1].split()[19]


def proc_stat_state(pid):
    return Path(f"/proc/{pid}/stat").read_text().rsplit(") ", 1)[1].split()[0]


def guest_files(session):
    """What a guest leaves in its session folder while it lives."""
    return [p.name for p in (session / n for n in ("overlay.qcow2", "agent.sock", "state", "io")) if p.exists()]


def waited(predicate, seconds=30):
    """Whether `predicate` came true within `seconds`: what a stopping guest
    removes goes a moment after QEMU, and more slowly on a busy machine."""
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def booted_line(stream):
    """The line in which `up` or `run` says the guest booted, past the one
    that says its kernel panicked and gets another try."""
    line = stream.readline()
    return stream.readline() if line.endswith("; booting it once more\n") else line


def x86_64_probe():
    """The smallest x86-64 Linux program: exit(32). Any x86-64 kernel runs it."""
    base, code = 0x400000, bytes.fromhex("bf20000000" "b83c000000" "0f05")
    size = 64 + 56 + len(code)
    header = (b"\x7fELF\x02\x01\x01" + bytes(9)
              + struct.pack("<HHIQQQIHHHHHH", 2, 62, 1, base + 120, 64, 0, 0, 64, 56, 1, 0, 0, 0))
    segment = struct.pack("<IIQQQQQQ", 1, 5, 0, base, base, size, size, 0x1000)
    return header + segment + code


def copy_for_another_user(folder):
    """scripts/guest/ copied into `folder`, opened to every user: the rows that
    run a script as another uid must not depend on the checkout being open to
    it (a clone in a mktemp folder is not)."""
    folder.chmod(0o755)
    shutil.copytree(ROOT / "scripts/guest", folder / "guest")
    return folder / "guest"


def route_cli(*args, env=None, fsize=None, uid=None):
    """route.py as a program, under a file size limit (0: a full disk), as
    `uid` where given (root's rows only)."""
    def limits():
        if fsize is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
        if uid is not None:
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
    with tempfile.TemporaryDirectory() as folder:
        scripts = copy_for_another_user(Path(folder)) if uid is not None else ROOT / "scripts/guest"
        return subprocess.run(["/usr/bin/python3", str(scripts / "route.py"), *args], capture_output=True,
                              text=True, env=env, preexec_fn=limits, timeout=60)


def stand_ins(folder, state, programs):
    """Writes each program of `programs` (name: shell body) to `folder`, with
    S naming the `state` folder."""
    folder.mkdir(exist_ok=True)
    for name, body in programs.items():
        (folder / name).write_text(f"#!/bin/sh\nS={state}\n{body}\n")
        (folder / name).chmod(0o755)


class Route(unittest.TestCase):
    def binfmt(self, status="enabled", **entries):
        folder = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, folder)
        (folder / "status").write_text(status + "\n")
        (folder / "register").write_text("")
        for name, text in entries.items():
            (folder / name).write_text(text)
        return str(folder)

    def test_rows(self):
        wine32 = True
        rows = [
            # kernel runs i386, binfmt_misc entries and their status, wine32 and qemu installed -> route
            ("native kernel", True, {}, "enabled", wine32, True, "native"),
            ("native kernel, wine32 cannot be installed", True, {}, "enabled", not wine32, True, "guest"),
            ("no IA32 emulation", False, {}, "enabled", wine32, True, "guest"),
            ("no folder lets the probe run", None, {}, "enabled", wine32, True, "guest"),
            ("qemu-user takes i386", True, {"qemu-i386": QEMU_I386}, "enabled", wine32, True, "guest"),
            ("qemu-user for i386, switched off", True,
             {"qemu-i386": QEMU_I386.replace("enabled", "disabled", 1)}, "enabled", wine32, True, "native"),
            ("binfmt_misc off as a whole", True, {"qemu-i386": QEMU_I386}, "disabled", wine32, True, "native"),
            ("qemu-user for arm64 only", True, {"qemu-aarch64": QEMU_AARCH64}, "enabled", wine32, True, "native"),
            ("no IA32 and no QEMU", False, {}, "enabled", wine32, False, "none"),
            ("qemu-user takes i386, no QEMU", True, {"qemu-i386": QEMU_I386}, "enabled", wine32, False, "none"),
        ]
        os.environ.pop("TOVU_WINE_ROUTE", None)
        for name, runs, entries, status, wine, qemu, expected in rows:
            with self.subTest(name):
                folder = self.binfmt(status, **entries)
                kwargs = dict(runs=lambda: (runs, "/tmp (Permission denied)"),
                              handler=lambda: route.i386_handler(folder), wine32=lambda: wine,
                              qemu=lambda: "/usr/bin/qemu-system-x86_64" if qemu else None)
                way, why = route.route(**kwargs)
                self.assertEqual(way, expected, why)
                if "qemu-i386" in entries and expected != "native":
                    self.assertIn("i386-binfmt-P", why)
                if runs is None:
                    self.assertIn("could not run the i386 probe", why)
                    self.assertNotIn("ENOEXEC", why)
                if runs is False:  # what was seen, not a guess at why
                    self.assertIn("refused to run an i386 program (execve gave ENOEXEC)", why)
                # a test configured for the way this host takes runs; one configured for
                # Wine here, or for no way at all, says where that no longer holds (the
                # guest holds wherever QEMU is)
                self.assertIsNone(route.still_holds(expected, **kwargs))
                for other in {"native", "none"} - {expected}:
                    self.assertIsNotNone(route.still_holds(other, **kwargs), f"configured {other}")

    def test_a_forced_route_only_where_it_can_work(self):
        rows = [
            # TOVU_WINE_ROUTE, kernel runs i386, wine32 installed -> route, or the refusal's words
            ("native", True, True, "native"),
            ("native", False, True, "TOVU_WINE_ROUTE=native cannot work here: this Linux kernel refused"),
            ("native", True, False, "wine32:i386) is not installed"),
            ("guest", False, False, "guest"),
        ]
        for forced, runs, wine, expected in rows:
            with self.subTest(f"{forced}, kernel runs i386: {runs}, wine32: {wine}"):
                os.environ["TOVU_WINE_ROUTE"] = forced
                self.addCleanup(os.environ.pop, "TOVU_WINE_ROUTE", None)
                kwargs = dict(runs=lambda: (runs, ""), handler=lambda: None, wine32=lambda: wine,
                              qemu=lambda: "/usr/bin/qemu-system-x86_64")
                if expected in ("native", "guest"):
                    self.assertEqual(route.route(**kwargs)[0], expected)
                else:
                    with self.assertRaisesRegex(route.Undecided, re.escape(expected)):
                        route.route(**kwargs)

    def test_probe(self):
        """ENOEXEC means the kernel refuses the program; a folder that refuses to
        run anything (noexec) says nothing of the kernel, so the probe goes on
        to the next, and says so where none lets it run; where none can even
        hold it (a full disk), it cannot tell, and says that instead."""
        tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, tmp)
        noexec = tmp / "noexec"
        noexec.mkdir()
        if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "noexec,size=1m", "tmpfs",
                                                 str(noexec)]).returncode:
            noexec = None  # mounting a noexec folder needs root
        else:
            self.addCleanup(subprocess.run, ["umount", str(noexec)])
        refused = f"{noexec} ({os.strerror(errno.EACCES)})"
        rows = [
            # program, folders, limit on file sizes -> verdict, or the words of a refusal
            ("a program the kernel runs", x86_64_probe(), [tmp], None, (True, "")),
            ("one it refuses: ENOEXEC", b"\x7fELF not a program", [tmp], None, (False, "")),
            ("only noexec folders", x86_64_probe(), [noexec], None, (None, refused)),
            ("a noexec folder, then one that runs it", x86_64_probe(), [noexec, tmp], None, (True, "")),
            ("a folder that cannot be made, then one", x86_64_probe(), ["/proc/no/such", tmp], None, (True, "")),
            ("a full disk", x86_64_probe(), [tmp], 0, route.Undecided),
            ("no folder can be made", x86_64_probe(), ["/proc/no/such"], None, route.Undecided),
        ]
        for name, program, places, fsize, expected in rows:
            if None in places:
                continue
            with self.subTest(name):
                old = resource.getrlimit(resource.RLIMIT_FSIZE)
                if fsize is not None:
                    resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, old[1]))
                try:
                    if expected is route.Undecided:
                        with self.assertRaisesRegex(route.Undecided, "no folder here can hold the i386 probe"):
                            route.runs_i386(program, [str(p) for p in places])
                    else:
                        self.assertEqual(route.runs_i386(program, [str(p) for p in places]), expected)
                finally:
                    resource.setrlimit(resource.RLIMIT_FSIZE, old)

    def test_one_line_never_a_traceback(self):
        """route.py as setup.sh and CMake run it: a line and a status, whatever
        the host lacks; where it cannot tell, a status no caller takes for a
        route."""
        bare = {k: v for k, v in os.environ.items() if k not in ("HOME", "XDG_CACHE_HOME", "TOVU_WINE_ROUTE")}
        nobody = 54321 if os.geteuid() == 0 else None  # a uid that the password file does not know
        rows = [
            # arguments, environment, file size limit -> status, first words
            ("no HOME, and no password entry", [], bare, None, 0, r"^(native|guest|none): "),
            ("a full disk", [], None, 0, 1, r"^route\.py: no folder here can hold the i386 probe: "),
            ("a full disk and no HOME", [], bare, 0, 1, r"^route\.py: no folder here can hold the i386 probe"),
            ("a full disk, asked of the kernel", ["kernel"], bare, 0, 2, r"^route\.py: no folder here"),
        ]
        for name, args, env, fsize, status, said in rows:
            with self.subTest(name):
                result = route_cli(*args, env=env, fsize=fsize, uid=nobody if env is bare else None)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertEqual(result.stderr, "")
                self.assertEqual(len(result.stdout.splitlines()), 1, result.stdout)
                self.assertRegex(result.stdout, said)

    def test_configure_stops_where_the_route_cannot_be_told(self):
        """The windows preset, configured where route.py fails: CMake stops
        with route.py's line, instead of a route that comes out empty."""
        if not shutil.which("i686-w64-mingw32-g++"):
            self.skipTest("needs the mingw-w64 build (scripts/setup.sh build)")
        tree = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, tree)
        files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True).stdout
        for name in filter(None, files.decode().split("\0")):
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, tree / name)
        (tree / "scripts/guest/route.py").write_text("print('route.py: cannot tell the route: a stand-in')\n"
                                                     "raise SystemExit(1)\n")
        configured = subprocess.run(["cmake", "--preset", "windows"], cwd=tree, capture_output=True, text=True,
                                    timeout=300)
        self.assertNotEqual(configured.returncode, 0, configured.stdout)
        self.assertIn("route.py: cannot tell the route: a stand-in", configured.stderr)


class Setup(unittest.TestCase):
    """setup.sh's `wine` job: Wine here where it installs, else the guest's
    packages, a verdict only on evidence against Wine's i386 packages, and the
    machine's package manager left as it was found, also when stopped."""

    I386_INDEX = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
                  "binary-i386/Packages.xz  File has unexpected size (374820 != 376004)")
    OFFLINE = "W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  Temporary failure resolving"

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        (self.tmp / "scripts" / "guest").mkdir(parents=True)
        for name in ("setup.sh", "wine-packages"):
            shutil.copy(ROOT / "scripts" / name, self.tmp / "scripts")
        stub = self.tmp / "scripts" / "guest" / "route.py"  # a kernel that runs i386 programs
        stub.write_text("import sys\nsys.exit(0)\n")
        state, bin_dir = self.tmp / "state", self.tmp / "bin"
        state.mkdir()
        # dpkg, dpkg-query and apt-get over a few files: the foreign architectures,
        # the installed packages ("name:arch"), and a log of apt-get's calls. With
        # i386 added and unless $HEALED, apt-get update fails on the i386 index, and
        # an install of :i386 packages fails on their dependencies after installing
        # those in $PARTIAL; what installs is recorded. $LOCKED: its first so many calls find apt's lock held;
        # $OFFLINE: no mirror answers (locate: and apt then knows no i386
        # package); $SIGNAL: its update signals setup's whole
        # group; $NOPASS: the user's sudo wants a password that nobody types.
        stand_ins(bin_dir, state, {
            "dpkg": """case "$1" in
  --print-foreign-architectures) cat $S/arch ;;
  --add-architecture) echo "$2" >>$S/arch ;;
  --remove-architecture) grep -vx "$2" $S/arch >$S/arch.new; mv $S/arch.new $S/arch ;;
esac""",
            "dpkg-query": """case "$*" in
  *Architecture*) sed 's/.*:\\(.*\\)/\\1 ii /' $S/installed ;;
  *) grep -qx "$3" $S/installed && echo 'install ok installed' ;;
esac""",
            "apt-get": f"""echo "$*" >>$S/apt.log
calls=$(grep -c . $S/apt.log)
if [ "$calls" -le "${{LOCKED:-0}}" ]; then
  echo 'E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (unattended-upgr)'; exit 100
fi
case "$*" in
  *update*) [ -n "$SIGNAL" ] && kill -$SIGNAL 0
    if [ -n "$OFFLINE" ]; then echo '{self.OFFLINE}'; exit 100; fi
    if grep -qx i386 $S/arch && [ -z "$HEALED" ]; then echo '{self.I386_INDEX}'; exit 100; fi ;;
  *install*) if [ "$OFFLINE" = locate ]; then echo "E: Unable to locate package wine32:i386"; exit 100; fi
    if [ -n "$OFFLINE" ]; then echo "E: Failed to fetch http://deb.debian.org/wine.deb  Temporary failure"; exit 100; fi
    if echo "$*" | grep -q ':i386' && [ -z "$HEALED" ]; then
      for p in $PARTIAL; do echo "$p" >>$S/installed; done
      echo ' wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed'; exit 100
    fi
    echo "$*" | sed 's/.*--no-install-recommends //' | tr ' ' '\n' >>$S/installed ;;
esac""",
            "locale": "echo ja_JP.utf8",
            "locale-gen": "echo locale-gen >>$S/apt.log",  # never called: the locale is there
            "sudo": """[ -z "$NOPASS" ] && exec "$@"
echo 'sudo: a terminal is required to read the password; either use the -S option to read from standard input or configure an askpass helper' >&2; exit 1""",
            "id": '[ "$1" = -u ] && [ -n "$NOPASS" ] && echo 1000 && exit 0; exec /usr/bin/id "$@"',
            "sleep": "exit 0",  # apt's lock is waited for at once
        })
        self.state = state
        # TMPDIR: the log of a setup killed outright stays in the row's folder
        self.env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", HOME=str(self.tmp / "home"),
                        TMPDIR=str(self.tmp))
        self.env.pop("TOVU_WINE_ROUTE", None)
        self.env.pop("XDG_CACHE_HOME", None)
        self.verdict = self.tmp / "home" / ".cache" / "tovu-stabilizer" / "wine32-failed"

    def setup(self, arch="", installed="", **env):
        (self.state / "arch").write_text(arch)
        (self.state / "installed").write_text(installed)
        (self.state / "apt.log").write_text("")
        # in a process group of its own, which a stand-in may signal as a whole
        result = subprocess.run(["bash", str(self.tmp / "scripts" / "setup.sh"), "wine"], capture_output=True,
                                text=True, env=dict(self.env, **env), timeout=60, start_new_session=True)
        installs = [line for line in (self.state / "apt.log").read_text().splitlines() if "install" in line]
        return result, (self.state / "arch").read_text().split(), installs

    def test_rows(self):
        wine, guest, verdict = True, True, True
        rows = [
            # name, foreign architectures before, installed before, environment
            #   -> status, architectures after, Wine tried, guest installed, verdict kept
            ("i386 added for Wine, its index fails: removed again", "", "", {}, 0, [], wine, guest, verdict),
            ("i386 there before: kept", "i386\n", "", {}, 0, ["i386"], wine, guest, verdict),
            ("an i386 package got installed: kept", "", "", {"PARTIAL": "libc6:i386"}, 0, ["i386"], wine, guest,
             verdict),
            ("the mirror works: Wine here", "", "", {"HEALED": "1"}, 0, ["i386"], wine, not guest, not verdict),
            ("apt's lock held a while: waited for", "", "", {"HEALED": "1", "LOCKED": "3"}, 0, ["i386"], wine,
             not guest, not verdict),
            ("apt's lock held throughout: nothing decided", "", "", {"LOCKED": "1000"}, 1, [], wine, not guest,
             not verdict),
            ("no mirror answers: nothing decided", "", "", {"OFFLINE": "1"}, 1, [], wine, not guest, not verdict),
            ("no mirror answers, so apt knows no i386 package: nothing decided", "", "", {"OFFLINE": "locate"}, 1,
             [], wine, not guest, not verdict),
            ("sudo wants a password nobody types: nothing decided", "", "", {"NOPASS": "1"}, 1, [], not wine,
             not guest, not verdict),
            ("INT after --add-architecture: removed again", "", "", {"SIGNAL": "INT"}, 130, [], not wine,
             not guest, not verdict),
            ("TERM after --add-architecture: removed again", "", "", {"SIGNAL": "TERM"}, 143, [], not wine,
             not guest, not verdict),
            ("HUP after --add-architecture: removed again", "", "", {"SIGNAL": "HUP"}, 129, [], not wine,
             not guest, not verdict),
            ("INT with i386 there before: kept", "i386\n", "", {"SIGNAL": "INT"}, 130, ["i386"], not wine,
             not guest, not verdict),
        ]
        for name, arch, installed, env, status, after, tried, guest, verdict in rows:
            with self.subTest(name):
                self.verdict.unlink(missing_ok=True)
                result, arch_after, installs = self.setup(arch, installed, **env)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertEqual(arch_after, after)
                self.assertEqual(any("wine32:i386" in line for line in installs), tried)
                self.assertEqual(any("qemu-system-x86" in line for line in installs), guest)
                self.assertEqual(self.verdict.exists(), verdict, "a verdict kept on other evidence than i386's")
                self.assertNotIn("locale-gen", (self.state / "apt.log").read_text(), "an existing locale made again")
                self.assertNotIn("Traceback", result.stderr)

    def test_a_run_killed_outright_is_undone_by_the_next(self):
        result, arch_after, _ = self.setup(SIGNAL="KILL")
        self.assertEqual(result.returncode, -signal.SIGKILL)
        self.assertEqual(arch_after, ["i386"], "the stand-in did not kill it after --add-architecture")
        (self.state / "arch").write_text("i386\n")
        result = subprocess.run(["bash", str(self.tmp / "scripts" / "setup.sh")], capture_output=True, text=True,
                                env=self.env, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((self.state / "arch").read_text().split(), [], "i386 added by a killed run was kept")

    def test_a_verdict_lasts_a_day_and_never_outvotes_wine_installed(self):
        with self.subTest("a fallback is remembered for a day, then tried again"):
            self.setup()
            result, arch_after, installs = self.setup()
            self.assertIn("until a day has passed", result.stdout)
            self.assertFalse(any("wine32" in line for line in installs), installs)
            self.assertEqual(arch_after, [])
            os.utime(self.verdict, (time.time() - 90000,) * 2)
            result, arch_after, installs = self.setup(HEALED="1")
            self.assertTrue(any("wine32:i386" in line for line in installs), installs)
            self.assertFalse(self.verdict.exists())
        with self.subTest("a fresh verdict, and Wine installed since"):
            self.setup()
            self.assertTrue(self.verdict.exists())
            wine = [line for line in (ROOT / "scripts/wine-packages").read_text().splitlines()
                    if line and not line.startswith("#")]
            result, _, installs = self.setup("i386\n", "\n".join(wine) + "\n")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(installs, [], "the guest was taken, though Wine is installed here")
            self.assertNotIn("until a day has passed", result.stdout)
            self.assertFalse(self.verdict.exists())


@unittest.skipUnless(os.geteuid() == 0, "image.sh builds as root")
class ImageCache(unittest.TestCase):
    """image.sh's cache: reused, built again when its inputs change, and never a
    half-built image."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        # whatever a failing row left mounted goes first, so that removing never enters it
        self.addCleanup(lambda: [subprocess.run(["umount", "-l", mount]) for mount in self.mounts()[::-1]])
        self.scripts = self.tmp / "scripts" / "guest"
        shutil.copytree(ROOT / "scripts" / "guest", self.scripts)
        (self.tmp / "tests" / "e2e").mkdir(parents=True)
        shutil.copy(ROOT / "tests" / "e2e" / "e2e.py", self.tmp / "tests" / "e2e")
        shutil.copy(ROOT / "scripts" / "wine-packages", self.tmp / "scripts")
        self.calls = self.tmp / "calls"
        bin_dir = self.tmp / "bin"
        bin_dir.mkdir()
        # mmdebstrap: a root file system with a kernel, an initrd and the init;
        # its call records the suite and the sources it was given. $FAKE_HANG
        # makes it stop half-way, with its chroot's proc mounted.
        (bin_dir / "mmdebstrap").write_text(f"""#!/bin/sh
while [ "${{2%/rootfs}}" = "$2" ]; do shift; done
root=$2
suite=$1
shift 2
echo "mmdebstrap $suite $*" >>{self.calls}
mkdir -p "$root/boot" "$root/sbin" "$root/var/lib/dpkg" "$root/proc"
echo kernel >"$root/boot/vmlinuz-6.1.0-1-amd64"
[ -n "$FAKE_HANG" ] && mount -t proc proc "$root/proc" && exec sleep 6007
echo initrd >"$root/boot/initrd.img-6.1.0-1-amd64"
: >"$root/var/lib/dpkg/status"
cp {self.scripts}/init "$root/sbin/tovu-init"
""")
        (bin_dir / "mmdebstrap").chmod(0o755)
        (self.scripts / "guest.py").write_text(f"#!/bin/sh\necho prefixes >>{self.calls}\nexit ${{FAKE_PREFIXES:-0}}\n")
        self.env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", TOVU_GUEST_CACHE=str(self.tmp / "cache"))

    def build(self, *release, **env):
        start = time.monotonic()
        result = subprocess.run([str(self.scripts / "image.sh"), *release], env=dict(self.env, **env),
                                capture_output=True, text=True, timeout=120)
        return result, time.monotonic() - start

    def count(self):
        return self.calls.read_text().count("mmdebstrap") if self.calls.exists() else 0

    def images(self, release=None):
        return sorted(p.name for p in (self.tmp / "cache").iterdir() if p.is_dir() and (
            release is None or (p / "release").exists() and (p / "release").read_text().strip() == release))

    def mounts(self):
        return [line.split()[1] for line in Path("/proc/mounts").read_text().splitlines()
                if str(self.tmp / "cache") in line]

    def test_reused_then_built_again_when_its_inputs_change(self):
        """One recipe, one image a Debian release: each from the host's own
        mirror with that release's suites, reused, and built anew when an
        input changes, the two used last of each release kept."""
        mirror = subprocess.run(["apt-get", "indextargets", "--format", "$(RELEASE) $(REPO_URI)",
                                 "Created-By: Packages"], capture_output=True, text=True).stdout
        host = subprocess.run(["sh", "-c", ". /etc/os-release && echo $VERSION_CODENAME"], capture_output=True,
                              text=True).stdout.strip()
        uri = next((line.split()[1] for line in mirror.splitlines() if line.split()[:1] == [host]), None)
        if uri is None:
            self.skipTest("this host's apt sources name no mirror for its own release")
        built = {}
        for release in RELEASES:
            with self.subTest(release):
                first, _ = self.build(*([release] if release != "bookworm" else []))
                self.assertEqual(first.returncode, 0, first.stderr)
                image = Path(first.stdout.strip())
                for name in ("vmlinuz", "initrd.img", "disk.img", "packages.txt", "ready"):
                    self.assertTrue((image / name).exists(), name)
                self.assertEqual((image / "release").read_text(), release + "\n")
                call = [c for c in self.calls.read_text().splitlines() if c.startswith("mmdebstrap")][-1]
                self.assertTrue(call.startswith(f"mmdebstrap {release} "), call)
                self.assertIn(f"deb {uri} {release} main", call)
                self.assertIn(f"deb {uri} {release}-updates main", call)
                self.assertNotIn("security", call)
                self.assertNotIn(image, built.values(), "two releases in one image")
                built[release] = image

                before = self.count()
                again, seconds = self.build(release)
                self.assertEqual((again.returncode, again.stdout), (0, first.stdout))
                self.assertIn("reusing", again.stderr)
                self.assertEqual(self.count(), before, "a cached image was built again")
                self.assertLess(seconds, 5)
                cached = subprocess.run([str(self.scripts / "image.sh"), "--cached", release], env=self.env,
                                        capture_output=True, text=True)
                self.assertEqual(cached.stdout, first.stdout)

        def append(path, text):
            with path.open("a") as f:
                f.write(text)
        # each change asked of one release or both; the third build of each prunes its first
        for name, change, releases in [
                ("packages", lambda: append(self.scripts / "packages", "strace\n"), RELEASES[:1]),
                ("init", lambda: append(self.scripts / "init", "# changed\n"), RELEASES[1:]),
                ("prefix recipe", lambda: (self.tmp / "tests/e2e/e2e.py").write_text(
                    (ROOT / "tests/e2e/e2e.py").read_text().replace('"Managed", "/d", "N"', '"Managed", "/d", "Y"')),
                 RELEASES)]:
            change()
            for release in releases:
                with self.subTest(f"{release}, a changed {name}"):
                    before = self.count()
                    changed, _ = self.build(release)
                    self.assertEqual(changed.returncode, 0, changed.stderr)
                    self.assertNotEqual(Path(changed.stdout.strip()), built[release])
                    self.assertEqual(self.count(), before + 1, f"a changed {name} did not build a new image")
        for release in RELEASES:
            self.assertEqual(len(self.images(release)), 2, f"old {release} images are kept: {self.images()}")
        unknown, _ = self.build("sid")
        self.assertEqual(unknown.returncode, 2)
        self.assertEqual(unknown.stderr, "guest image: no recipe for Debian 'sid': bookworm (Wine 8) or "
                                         "trixie (Wine 10)\n")

    def test_half_built_image_is_not_taken(self):
        # Killed in mmdebstrap, with no chance to clean up.
        build = subprocess.Popen([str(self.scripts / "image.sh")], env=dict(self.env, FAKE_HANG="1"),
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 60
        while not list((self.tmp / "cache").glob("*.partial/rootfs/boot/vmlinuz-*")):
            self.assertLess(time.monotonic(), deadline, "the stand-in mmdebstrap did not start")
            time.sleep(0.2)
        os.killpg(build.pid, signal.SIGKILL)
        build.wait()
        self.assertEqual([p for p in self.images() if not p.endswith(".partial")], [])
        self.assertTrue(waited(lambda: not self.mounts()), f"a killed build left {self.mounts()}")
        # A prefix step that fails keeps nothing either.
        failed, _ = self.build(FAKE_PREFIXES="1")
        self.assertNotEqual(failed.returncode, 0)
        self.assertIn("nothing is kept", failed.stderr)
        self.assertEqual(self.images(), [])
        done, _ = self.build()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn("reusing", done.stderr)
        self.assertTrue((Path(done.stdout.strip()) / "ready").exists())

    def test_what_builds_cut_short_left_is_removed_unless_one_runs(self):
        """Left by an older build's killed mmdebstrap: a partial image of another
        key with its chroot's proc still mounted. One whose build still runs
        (it holds the key's lock) stays, and so does all that is not named as
        an image is, in a cache folder that TOVU_GUEST_CACHE may have put
        among the user's own."""
        cache = self.tmp / "cache"
        left, running = cache / "0123456789abcdef.partial", cache / "fedcba9876543210.partial"
        others = [cache / "notes.partial", cache / "photos", cache / "0123456789abcdeg.partial"]
        for partial in (left, running, *others):
            (partial / "rootfs" / "proc").mkdir(parents=True)
            (partial / "rootfs" / "big").write_bytes(b"x" * 4096)
        (cache / "photos" / "ready").write_text("")
        if subprocess.run(["mount", "-t", "proc", "proc", str(left / "rootfs" / "proc")]).returncode:
            self.skipTest("cannot mount proc here")
        self.addCleanup(subprocess.run, ["umount", "-l", str(left / "rootfs" / "proc")], stderr=subprocess.DEVNULL)
        with open(cache / "fedcba9876543210.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            done, _ = self.build()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertFalse(left.exists())
        self.assertTrue((cache / "0123456789abcdef.lock").exists(), "a lock file unlinked: a build may hold it")
        self.assertTrue((running / "rootfs" / "big").exists())
        for other in others:
            self.assertTrue((other / "rootfs" / "big").exists(), f"{other.name} is not an image's")
        self.assertEqual(self.mounts(), [])
        self.assertTrue(Path("/proc/self").exists(), "the host's /proc")

    def test_a_sudo_that_wants_a_password_is_said_in_one_line(self):
        """A user's build with no terminal to ask on, as test.sh runs it in the
        background: one line that says what to run, at once."""
        bin_dir = self.tmp / "bin"
        stand_ins(bin_dir, self.tmp, {
            "id": '[ "$1" = -u ] && echo 1000 && exit 0; exec /usr/bin/id "$@"',
            "sudo": "echo 'sudo: a password is required' >&2; exit 1",
        })
        result, seconds = self.build()
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stderr, r"^guest image: building it needs sudo, which wants a password here: "
                                        r"run `sudo -v` in a terminal, then this again\n$")
        self.assertLess(seconds, 10)
        self.assertEqual(self.count(), 0)

    def test_a_killed_build_holds_nothing_of_its_callers(self):
        """image.sh killed alone, its mmdebstrap gone too: nothing of it holds
        the caller's pipe or the key's lock, so later builds do not wait for
        ever."""
        build = subprocess.Popen([str(self.scripts / "image.sh")], env=dict(self.env, FAKE_HANG="1"),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while not list((self.tmp / "cache").glob("*.partial/rootfs/boot/vmlinuz-*")):
            self.assertLess(time.monotonic(), deadline, "the stand-in mmdebstrap did not start")
            time.sleep(0.2)
        time.sleep(1)  # the ticker is up
        build.kill()
        build.wait()
        for pid in processes("6007", b"sleep"):  # the stand-in mmdebstrap, hung
            os.kill(pid, signal.SIGKILL)
        closed = subprocess.run(["timeout", "10", "cat"], stdin=build.stderr, capture_output=True)
        build.stdout.close()
        build.stderr.close()
        self.assertNotEqual(closed.returncode, 124, "something of the killed build holds its caller's pipe")
        lock = next((self.tmp / "cache").glob("*.lock"))
        self.assertTrue(waited(lambda: not subprocess.run(["flock", "-n", str(lock), "true"]).returncode, 10),
                        f"something of the killed build holds {lock.name}")

    def test_too_little_disk_is_said_before_anything_starts(self):
        small = self.tmp / "small"
        small.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", str(small)]).returncode:
            self.skipTest("cannot mount a small tmpfs here")
        self.addCleanup(subprocess.run, ["umount", str(small)])
        result, seconds = self.build(TOVU_GUEST_CACHE=str(small))
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr.strip(), r"^guest image: needs \d+ GiB free in .*, has 0 GiB$")
        self.assertEqual(self.count(), 0)
        if shutil.which("qemu-system-x86_64"):  # and a run's overlay, before the image is even looked for
            up = subprocess.run([sys.executable, str(ROOT / "scripts/guest/guest.py"), "up", "--session",
                                 str(small / "session")], capture_output=True, text=True, timeout=30)
            self.assertEqual(up.returncode, 1)
            self.assertRegex(up.stderr.strip(), r"^guest: needs \d+ GiB free in .*, has 0 GiB$")


class Sessions(unittest.TestCase):
    """A guest belongs to the run that brought it up, and what a session
    folder says is trusted only as far as the processes it names are still
    the ones that started then. The guest here is a stand-in: a keeper that
    holds the session's lock and a QEMU, both sleeping."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.session = self.tmp / "session"
        self.session.mkdir()

    def guest(self, *args, scripts=ROOT / "scripts/guest", **kwargs):
        return subprocess.run(["/usr/bin/python3", str(scripts / "guest.py"), args[0], "--session",
                               str(self.session), *args[1:]], capture_output=True, text=True, timeout=60, **kwargs)

    def sleeper(self, *command):
        proc = subprocess.Popen(list(command) or ["sleep", "600"])
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        return proc

    def stand_in_guest(self):
        """(owner, keeper, qemu), each a process that runs until killed."""
        owner, qemu = self.sleeper(), self.sleeper()
        keeper = self.sleeper("/usr/bin/python3", "-c", "import fcntl, sys, time\n"
                              f"lock = open('{self.session}/lock', 'w'); fcntl.flock(lock, fcntl.LOCK_EX)\n"
                              "print(flush=True); time.sleep(600)")
        self.assertTrue(waited(lambda: subprocess.run(["flock", "-n", str(self.session / "lock"), "true"])
                               .returncode != 0, 10), "the stand-in keeper did not take the lock")
        (self.session / "state").write_text(json.dumps({p: [proc.pid, proc_start(proc.pid)] for p, proc in
                                                        (("owner", owner), ("keeper", keeper), ("qemu", qemu))}))
        (self.session / "agent.sock").write_text("")
        return owner, keeper, qemu

    def test_a_pid_that_now_belongs_to_another_process_is_left_alone(self):
        stranger = self.sleeper()
        (self.session / "state").write_text(json.dumps({"keeper": [stranger.pid, "1"], "qemu": [stranger.pid, "1"],
                                                        "owner": [stranger.pid, "1"]}))  # started at other times
        down = self.guest("down")
        self.assertEqual(down.returncode, 0, down.stderr)
        self.assertIsNone(stranger.poll(), "down killed a process that is not the guest's")
        self.assertFalse((self.session / "state").exists())

    def test_another_run_beside_a_live_guest_stops_nothing(self):
        rows = [
            # what another run does -> its status, its line
            (["down"], 1, r"^guest: the guest of .* belongs to another run \(pid \d+: sleep 600\); left running "
                          r"\(`guest\.py down --force --session .*` stops it anyway\)\n$"),
            (["exec", "--", "true"], 1, r"^guest: the guest of .* belongs to another run \(pid \d+: sleep 600\)\n$"),
            (["run", "--", "true"], -signal.SIGTERM, r"^guest: another run \(pid \d+: sleep 600\) is using the guest "
                                                      r"of .*; waiting for it to end\n$"),
            (["up"], -signal.SIGTERM, r"^guest: another run \(pid \d+: sleep 600\) is using the guest of .*; "
                                      r"waiting for it to end\n$"),
        ]
        owner, keeper, qemu = self.stand_in_guest()
        for args, status, said in rows:
            with self.subTest(" ".join(args)):
                if status == -signal.SIGTERM:  # it waits its turn; stopped while it does
                    other = subprocess.Popen(["/usr/bin/python3", str(ROOT / "scripts/guest/guest.py"), args[0],
                                              "--session", str(self.session), *args[1:]], stdout=subprocess.PIPE,
                                             stderr=subprocess.STDOUT, text=True)
                    self.addCleanup(other.kill)
                    line = other.stdout.readline()
                    other.terminate()
                    other.wait(timeout=30)
                    result = subprocess.CompletedProcess(args, 128 + signal.SIGTERM, line + other.stdout.read(), "")
                    other.stdout.close()
                    status = 128 + signal.SIGTERM
                else:
                    result = self.guest(*args)
                    result.stdout = result.stderr + result.stdout
                self.assertEqual(result.returncode, status, result.stdout)
                self.assertRegex(result.stdout, said)
                for name, proc in (("its keeper", keeper), ("its QEMU", qemu)):
                    self.assertIsNone(proc.poll(), f"another run's {args[0]} stopped {name}")
                self.assertEqual(guest_files(self.session), ["agent.sock", "state"])
        with self.subTest("down by its owner"):
            down = self.guest("down", "--owner", str(owner.pid))
            self.assertEqual((down.returncode, down.stdout), (0, "guest: down\n"), down.stderr)
            self.assertEqual((keeper.wait(timeout=10), qemu.wait(timeout=10)), (-signal.SIGTERM, -signal.SIGKILL))

    def test_a_stop_leaves_the_next_runs_guest_alone(self):
        """A waiting `up` takes the folder the moment the keeper lets go, and
        writes its own state: the `down` that stopped the first keeper kills
        the QEMU it read before, not the one named now."""
        owner, qemu, next_qemu = self.sleeper(), self.sleeper(), self.sleeper()
        next_state = json.dumps({p: [proc.pid, proc_start(proc.pid)] for p, proc in
                                 (("owner", self.sleeper()), ("keeper", self.sleeper()), ("qemu", next_qemu))})
        keeper = self.sleeper("/usr/bin/python3", "-c", "import signal, sys, time\n"
                              "def next_run(*_):\n"
                              f"    open('{self.session}/state', 'w').write('{next_state}')\n"
                              "    sys.exit(0)\n"
                              "signal.signal(signal.SIGTERM, next_run)\ntime.sleep(600)")
        (self.session / "state").write_text(json.dumps({p: [proc.pid, proc_start(proc.pid)] for p, proc in
                                                        (("owner", owner), ("keeper", keeper), ("qemu", qemu))}))
        time.sleep(0.5)  # the stand-in keeper's handler is set
        down = self.guest("down", "--owner", str(owner.pid))
        self.assertEqual(down.returncode, 0, down.stderr)
        self.assertEqual((keeper.wait(timeout=10), qemu.wait(timeout=10)), (0, -signal.SIGKILL))
        self.assertIsNone(next_qemu.poll(), "the next run's QEMU was killed")

    def test_down_by_another_where_it_may(self):
        for how in ("--force", "its owner a zombie"):
            with self.subTest(how):
                owner, keeper, qemu = self.stand_in_guest()
                if how != "--force":
                    owner.kill()
                    self.assertTrue(waited(lambda: proc_stat_state(owner.pid) == "Z", 10))
                down = self.guest("down", *([how] if how == "--force" else []))
                self.assertEqual(down.returncode, 0, down.stderr)
                self.assertEqual((keeper.wait(timeout=10), qemu.wait(timeout=10)), (-signal.SIGTERM, -signal.SIGKILL))
                self.assertEqual(guest_files(self.session), [])

    @unittest.skipUnless(os.geteuid() == 0, "a keeper that cannot be stopped: root's, stopped by another user")
    def test_a_stop_that_leaves_something_alive_fails(self):
        owner, keeper, qemu = self.stand_in_guest()
        scripts = copy_for_another_user(self.tmp)
        for path in (self.tmp, self.session):
            path.chmod(0o777)
        down = self.guest("down", "--force", scripts=scripts,
                          preexec_fn=lambda: (os.setgroups([]), os.setgid(54321), os.setuid(54321)))
        self.assertEqual(down.returncode, 1, down.stdout)
        self.assertRegex(down.stderr, r"^guest: the guest of .* did not stop: its keeper \(pid \d+: .*\) and QEMU "
                                      r"\(pid \d+: sleep 600\) still run; what names them stays in .*/state\n$")
        self.assertEqual(guest_files(self.session), ["agent.sock", "state"])

    @unittest.skipUnless(os.environ.get("TOVU_BUILD_DIR"), "CTest gives the build's folder")
    def test_ctest_gives_each_exec_time_to_end_its_command(self):
        """CTest kills a test at its TIMEOUT, and nothing then ends the command
        in the guest: each exec's own limit, and all it may take past that,
        must end first."""
        listed = subprocess.run(["ctest", "--show-only=json-v1", "--test-dir", os.environ["TOVU_BUILD_DIR"]],
                                capture_output=True, text=True, check=True)
        execs = 0
        for test in json.loads(listed.stdout)["tests"]:
            command = test.get("command", [])
            if "exec" not in command or not any(c.endswith("guest.py") for c in command):
                continue
            execs += 1
            seconds = int(command[command.index("--timeout") + 1])
            timeout = next(float(p["value"]) for p in test["properties"] if p["name"] == "TIMEOUT")
            self.assertGreater(timeout, seconds + guest.EXEC_BOUND, test["name"])
        if execs == 0:
            self.skipTest("this build's e2e tests do not run in the guest")

    def test_one_line_where_there_is_no_guest_or_no_image(self):
        exec_ = self.guest("exec", "--", "true")
        self.assertEqual(exec_.returncode, 1)
        self.assertRegex(exec_.stderr, r"^guest: no guest is up for .*\n$")
        if shutil.which("qemu-system-x86_64"):  # `up` finds no image, and builds none
            up = self.guest("up", env=dict(os.environ, TOVU_GUEST_CACHE=str(self.tmp / "cache")))
            self.assertEqual(up.returncode, 1)
            self.assertRegex(up.stderr, r"^guest: no bookworm guest image is built for this checkout; build it "
                                        r"with scripts/guest/image\.sh bookworm .*\n$")
            self.assertFalse((self.tmp / "cache").exists())
            self.assertEqual(guest_files(self.session), [])


@unittest.skipUnless(shutil.which("qemu-system-x86_64"), "needs qemu-system-x86_64")
class BadDays(unittest.TestCase):
    """A guest that does not boot in time, that dies, hangs or is stopped, or
    whose keeper is killed; a guest that tries to steer the host, and a
    command interrupted: a failure with the console's tail, the host as it
    was, and no QEMU, keeper or overlay left."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.session = self.tmp / "session"
        self.env = dict(os.environ, TMPDIR=str(self.tmp))
        self.owner = None

    def guest(self, *args, image=None, **kwargs):
        image_args = ["--image", str(image)] if image else []
        owner = ["--owner", str(self.owner.pid)] if self.owner and args[0] in ("exec", "down") else []
        return subprocess.Popen([sys.executable, str(ROOT / "scripts/guest/guest.py"), args[0], "--session",
                                 str(self.session), *image_args, *owner, *args[1:]], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, env=self.env, **kwargs)

    def up(self, image, *shares):
        """`up` from a shell that stays, as CTest does; returns that shell, the
        owner of the guest, whose pid later commands give."""
        shares = shares or ("--share", str(self.tmp))
        owner = subprocess.Popen(["sh", "-c", f"{sys.executable} {ROOT}/scripts/guest/guest.py up --session "
                                  f"{self.session} --image {image} {' '.join(shares)}; exec sleep 600"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=self.env)
        self.addCleanup(owner.stdout.close)
        self.addCleanup(owner.wait)
        self.addCleanup(owner.kill)
        self.assertIn("booted", booted_line(owner.stdout))
        # the owner as later runs name it: the shell once it became `sleep 600`
        self.assertTrue(waited(lambda: Path(f"/proc/{owner.pid}/cmdline").read_bytes().startswith(b"sleep")),
                        "the owner's shell did not go on to sleep")
        self.owner = owner
        return owner

    def exec(self, *command, timeout=120):
        run = self.guest("exec", "--cwd", "/", "--", *command)
        out, _ = run.communicate(timeout=timeout)
        return run.returncode, out

    def assertNothingLeft(self):
        left = {
            "a QEMU process": lambda: processes(self.session, b"qemu-system"),
            "the keeper": lambda: processes(self.session, b"python"),
            "what a guest keeps in its session": lambda: guest_files(self.session),
        }
        for what, found in left.items():
            self.assertTrue(waited(lambda: not found()), f"{what} was left: {found()}")

    def real_image(self, release="bookworm"):
        image = subprocess.run([str(ROOT / "scripts/guest/image.sh"), "--cached", release], capture_output=True,
                               text=True).stdout.strip()
        if not image:
            self.skipTest(f"the {release} guest image is not built here (scripts/guest/image.sh {release})")
        return image

    def test_each_release_boots_with_its_wine(self):
        for release, debian, wine in zip(RELEASES, ("12.", "13."), ("wine-8.", "wine-10.")):
            with self.subTest(release):
                self.up(self.real_image(release))
                status, out = self.exec("sh", "-c", "cat /etc/debian_version; wine --version")
                self.assertEqual(status, 0, out)
                self.assertTrue(out.startswith(debian), out)
                self.assertIn(f"\n{wine}", out)
                down = self.guest("down")
                self.assertEqual(down.communicate(timeout=60)[1:], (None,))
                self.assertEqual(down.returncode, 0)
                self.assertNothingLeft()

    def test_a_kernel_that_does_not_boot(self):
        """Not a kernel fails at once; a kernel that panics is booted once
        more (the emulation's own rare panics pass that way), then fails."""
        rows = [
            # kernel -> how it ends, times booted, seconds at most
            ("not a kernel", lambda: b"not a kernel" * 100, "the guest ended while it booted", 1, 30),
            ("a kernel that panics: no root file system", lambda: (Path(self.real_image()) / "vmlinuz").read_bytes(),
             "the guest's kernel panicked while it booted", 2, 90),
        ]
        for name, kernel, said, boots, seconds in rows:
            with self.subTest(name):
                image = self.tmp / "image"
                image.mkdir(exist_ok=True)
                (image / "vmlinuz").write_bytes(kernel())
                (image / "initrd.img").write_bytes(b"")  # no driver for its disk, so no root
                subprocess.run(["truncate", "-s", "64M", str(image / "disk.img")], check=True)
                start = time.monotonic()
                up = self.guest("up", "--share", str(self.tmp), image=image)
                out, _ = up.communicate(timeout=seconds + 30)
                self.assertEqual(up.returncode, 1, out)
                said_lines = [line for line in out.splitlines() if line.startswith("guest: ")]
                self.assertEqual([line.endswith("; booting it once more") for line in said_lines],
                                 [True] * (boots - 1) + [False], out)
                self.assertEqual(said_lines[-1], f"guest: {said}", out)
                self.assertIn("the guest's console, last lines", out)
                self.assertLess(time.monotonic() - start, seconds)
                self.assertNothingLeft()

    def test_a_boot_past_its_limit(self):
        start = time.monotonic()
        up = self.guest("up", "--share", str(self.tmp), "--boot-seconds", "2", image=self.real_image())
        out, _ = up.communicate(timeout=90)
        self.assertEqual(up.returncode, 1, out)
        self.assertIn("the guest did not answer within 2 s of its start", out)
        self.assertIn("the guest's console, last lines", out)
        self.assertLess(time.monotonic() - start, 45)
        self.assertNothingLeft()

    def test_a_guest_that_dies_under_a_command(self):
        image = self.real_image()
        run = self.guest("run", "--share", str(self.tmp), "--cwd", str(self.tmp), "--timeout", "120", "--", "sh", "-c",
                         "echo before; echo c >/proc/sysrq-trigger; sleep 60", image=image)
        out, _ = run.communicate(timeout=240)
        self.assertEqual(run.returncode, 1, out)
        self.assertIn("before", out)
        self.assertIn("the guest ended while the command ran", out)
        self.assertIn("Kernel panic", out, "no console tail")
        self.assertNothingLeft()

    def test_a_command_past_its_limit_stops_the_guest(self):
        self.up(self.real_image())
        start = time.monotonic()
        exec_ = self.guest("exec", "--cwd", str(self.tmp), "--timeout", "3", "--", "sleep", "60")
        out, _ = exec_.communicate(timeout=90)
        self.assertEqual(exec_.returncode, 124, out)
        self.assertLess(time.monotonic() - start, 60)
        self.assertNothingLeft()
        again = self.guest("exec", "--", "true")
        again.communicate(timeout=30)
        self.assertEqual(again.returncode, 1, "a command ran in a stopped guest")

    def test_a_killed_keeper_is_cleared_by_the_next_up(self):
        image = self.real_image()
        first = self.up(image)
        keeper = json.loads((self.session / "state").read_text())["keeper"][0]
        os.kill(keeper, signal.SIGKILL)  # the OOM killer, or CTest at a timeout
        self.assertTrue(waited(lambda: not processes(self.session, b"qemu-system")), "QEMU outlived its keeper")
        first.kill()
        self.up(image)
        down = self.guest("down")
        out, _ = down.communicate(timeout=60)
        self.assertEqual(down.returncode, 0, out)
        self.assertNothingLeft()

    def test_stopped_by_a_signal_or_with_its_owner(self):
        image = self.real_image()
        for how in ("TERM", "HUP", "INT", "owner", "INT while it boots"):
            with self.subTest(how):
                if how == "owner":  # `up` from a shell that then goes away, as CTest does when interrupted
                    proc = self.up(image)
                elif how == "INT while it boots":
                    proc = self.guest("up", "--share", str(self.tmp), image=image)
                    self.addCleanup(proc.kill)
                    self.assertTrue(waited(lambda: processes(self.session, b"qemu-system")), "QEMU did not start")
                    how = "INT"
                else:
                    # as a background job starts it: INT and HUP ignored, yet sent on purpose here
                    proc = self.guest("run", "--share", str(self.tmp), "--", "sleep", "600", image=image,
                                      preexec_fn=lambda: [signal.signal(s, signal.SIG_IGN) for s in
                                                          (signal.SIGINT, signal.SIGHUP)])
                    self.addCleanup(proc.kill)  # a run that ignored its signal must not hold the next row's lock
                    self.assertIn("booted", booted_line(proc.stdout))
                self.assertTrue(processes(self.session, b"qemu-system"))
                proc.kill() if how == "owner" else proc.send_signal(getattr(signal, f"SIG{how}"))
                proc.wait(timeout=60)
                proc.stdout.close()
                if how != "owner":
                    self.assertEqual(proc.returncode, 128 + getattr(signal, f"SIG{how}"))
                self.assertNothingLeft()


    def test_another_run_beside_a_live_guest_stops_nothing(self):
        """A second demo.sh or CTest beside the first: it waits its turn, or is
        refused, and the first one's guest goes on answering."""
        self.up(self.real_image())
        qemu = processes(self.session, b"qemu-system")
        second = self.guest("run", "--", "true")
        self.addCleanup(second.kill)
        self.assertRegex(second.stdout.readline(), r"^guest: another run \(pid \d+: sleep 600\) is using the guest "
                                                   r"of .*; waiting for it to end$")
        second.terminate()
        self.assertEqual(second.wait(timeout=30), 128 + signal.SIGTERM, second.stdout.read())
        second.stdout.close()
        owner, self.owner = self.owner, None
        down = self.guest("down")
        out, _ = down.communicate(timeout=60)
        self.assertEqual(down.returncode, 1, out)
        self.assertIn("belongs to another run", out)
        self.owner = owner
        self.assertEqual(processes(self.session, b"qemu-system"), qemu)
        self.assertEqual(self.exec("echo", "still here"), (0, "still here\n"))

    def test_what_the_guest_writes_does_not_steer_the_host(self):
        """Root in the guest writes what it likes where it can: the io folder
        and the folders given to it to write. It names a folder of the host's
        where the agent's socket once was, plants links where the host keeps
        its logs and counters, makes its own output a link to a host file, and
        makes a device. The host shows, follows and deletes none of it."""
        victim = self.tmp / "victim"
        victim.mkdir()
        secret = victim / "secret"
        secret.write_text("the host's own\n")
        logs = self.tmp / "logs"
        self.up(self.real_image(), "--share", str(self.tmp), "--write", str(logs))
        status, out = self.exec("sh", "-c", f"""set -e
io=$(dirname "$OUT")
echo {victim}/agent.sock >"$io/agent"
for name in console.log keeper.log supervisor.log exec.seq exec-2.log state lock overlay.qcow2; do
  ln -sf {secret} "$io/$name"
done
ln -s {secret} {logs}/link
mknod {logs}/disk b 254 0 || true
echo ordinary >{logs}/ordinary
ln -sf {secret} "$OUT"
""")
        self.assertEqual(status, 0, out)
        self.assertNotIn("the host's own", out, "the host showed a file through a link the guest made")
        self.assertEqual(self.exec("echo", "next"), (0, "next\n"))
        self.assertFalse((logs / "link").is_symlink(), "a link of the guest's is one on the host")
        self.assertFalse((logs / "disk").is_block_device(), "a device of the guest's is one on the host")
        self.assertEqual((logs / "ordinary").read_text(), "ordinary\n")
        down = self.guest("down")
        out, _ = down.communicate(timeout=60)
        self.assertEqual(down.returncode, 0, out)
        self.assertNothingLeft()
        self.assertEqual(secret.read_text(), "the host's own\n")
        self.assertEqual(sorted(p.name for p in victim.iterdir()), ["secret"])

    def test_an_interrupted_command_is_ended_in_the_guest(self):
        """As CTest, or Ctrl-C, ends an exec: its command and what it started
        are gone from the guest, which goes on for the next command."""
        self.up(self.real_image())
        gone = ["sh", "-c", "! grep -qs 'sleep.600[7]' /proc/[0-9]*/cmdline"]  # the pattern never matches itself
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(sig.name):
                run = self.guest("exec", "--cwd", "/", "--", "sh", "-c", "sleep 6007 & echo started; wait")
                self.addCleanup(run.kill)
                self.assertEqual(run.stdout.readline(), "started\n")
                run.send_signal(sig)
                self.assertEqual(run.wait(timeout=60), 128 + sig, run.stdout.read())
                run.stdout.close()
                self.assertEqual(self.exec(*gone), (0, ""), "the command lives on in the guest")


if __name__ == "__main__":
    unittest.main()
