#!/usr/bin/python3
"""Checks of the QEMU guest that runs Windows programs where the host cannot:
which way is chosen, what setup installs for it and leaves behind, when the
cached image is reused or built again, and that a guest that dies, hangs or
is stopped fails loudly and leaves no QEMU, keeper, overlay or agent folder.

The setup and image rows run setup.sh and image.sh from a copy of scripts/ in
which dpkg, apt-get, mmdebstrap (on PATH) and the prefix step are stand-ins
that record each call; the logic they exercise is the real one. The rows that
boot need qemu-system-x86_64, and those that boot a whole guest its image.
"""
import errno
import fcntl
import gzip
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts" / "guest"))
import route  # noqa: E402

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


def agent_folders(where):
    return set(Path(where).glob("tovu-guest-*"))


def waited(predicate, seconds=30):
    """Whether `predicate` came true within `seconds`: what a stopping guest
    removes goes a moment after QEMU, and more slowly on a busy machine."""
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def kernel_runs_i386():
    """What this kernel's build and command line say of 32-bit programs, or
    None where they cannot be read: IA32 emulation compiled in can still be
    switched off at boot (ia32_emulation=)."""
    for path in (Path("/proc/config.gz"), Path(f"/boot/config-{os.uname().release}")):
        if path.exists():
            config = (gzip.open(path, "rt") if path.suffix == ".gz" else path.open()).read()
            break
    else:
        return None
    if "CONFIG_IA32_EMULATION=y" not in config:
        return False
    enabled = "CONFIG_IA32_EMULATION_DEFAULT_DISABLED=y" not in config
    switch = re.search(r"(?:^|\s)ia32_emulation=(\S+)", Path("/proc/cmdline").read_text())
    if switch:
        enabled = switch.group(1).lower() in ("1", "y", "yes", "on", "true")
    return enabled


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
                    self.assertNotIn("no IA32", why)
                # a test configured for the way this host takes runs; one configured for
                # Wine here, or for no way at all, says where that no longer holds (the
                # guest holds wherever QEMU is)
                self.assertIsNone(route.still_holds(expected, **kwargs))
                for other in {"native", "none"} - {expected}:
                    self.assertIsNotNone(route.still_holds(other, **kwargs), f"configured {other}")

    def test_probe(self):
        """ENOEXEC means the kernel refuses i386 programs; a folder that refuses
        to run anything (noexec) says nothing of the kernel, so the probe goes
        on to the next, and only where none lets it run says it could not."""
        self.assertEqual(route.runs_i386(probe=b"\x7fELF not a program", places=[tempfile.gettempdir()]),
                         (False, ""))
        expected = kernel_runs_i386()
        if expected is not None and not route.i386_handler():
            self.assertEqual(route.runs_i386()[0], expected, "the probe contradicts the kernel's build")
        if os.geteuid() != 0:
            self.skipTest("mounting a noexec folder needs root")
        noexec = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, noexec)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "noexec,size=1m", "tmpfs", str(noexec)]).returncode:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", str(noexec)])
        verdict, why = route.runs_i386(places=[str(noexec)])
        self.assertIsNone(verdict)
        self.assertIn(f"{noexec} ({os.strerror(errno.EACCES)})", why)
        if expected is not None and not route.i386_handler():
            self.assertEqual(route.runs_i386(places=[str(noexec), tempfile.gettempdir()])[0], expected)


class Setup(unittest.TestCase):
    """setup.sh's `wine` job: Wine here where it installs, else the guest's
    packages, and the machine's package manager left as it was found."""

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
        bin_dir.mkdir()
        # dpkg, dpkg-query and apt-get over a few files: the foreign architectures,
        # the installed packages ("name:arch"), and a log of apt-get's calls. With
        # i386 added, apt-get update exits 100 and an install of :i386 packages
        # fails, after installing those in $PARTIAL, unless $HEALED.
        stand_ins = {
            "dpkg": """case "$1" in
  --print-foreign-architectures) cat $S/arch ;;
  --add-architecture) echo "$2" >>$S/arch ;;
  --remove-architecture) grep -vx "$2" $S/arch >$S/arch.new; mv $S/arch.new $S/arch ;;
esac""",
            "dpkg-query": """case "$*" in
  *Architecture*) sed 's/.*:\\(.*\\)/\\1 ii /' $S/installed ;;
  *) grep -qx "$3" $S/installed && echo 'install ok installed' ;;
esac""",
            "apt-get": """echo "$*" >>$S/apt.log
case "$*" in
  *update*) if grep -qx i386 $S/arch && [ -z "$HEALED" ]; then echo 'E: Failed to fetch i386  unexpected size'; exit 100; fi ;;
  *install*) if echo "$*" | grep -q ':i386' && [ -z "$HEALED" ]; then
      for p in $PARTIAL; do echo "$p" >>$S/installed; done; exit 100; fi ;;
esac""",
            "locale": "echo ja_JP.utf8",
            "locale-gen": "echo locale-gen >>$S/apt.log",  # never called: the locale is there
            "sudo": 'exec "$@"',
        }
        for name, body in stand_ins.items():
            (bin_dir / name).write_text(f"#!/bin/sh\nS={state}\n{body}\n")
            (bin_dir / name).chmod(0o755)
        self.state = state
        self.env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", HOME=str(self.tmp / "home"))
        self.env.pop("TOVU_WINE_ROUTE", None)
        self.env.pop("XDG_CACHE_HOME", None)

    def setup(self, arch="", installed="", **env):
        (self.state / "arch").write_text(arch)
        (self.state / "installed").write_text(installed)
        (self.state / "apt.log").write_text("")
        result = subprocess.run(["bash", str(self.tmp / "scripts" / "setup.sh"), "wine"], capture_output=True,
                                text=True, env=dict(self.env, **env), timeout=60)
        installs = [line for line in (self.state / "apt.log").read_text().splitlines() if "install" in line]
        return result, (self.state / "arch").read_text().split(), installs

    def test_rows(self):
        verdict = self.tmp / "home" / ".cache" / "tovu-stabilizer" / "wine32-failed"
        rows = [
            # name, foreign architectures before, installed before, environment -> after, Wine tried, guest
            ("i386 added for Wine, its install fails: removed again", "", "", {}, [], True, True),
            ("i386 there before: kept", "i386\n", "", {}, ["i386"], True, True),
            ("an i386 package got installed: kept", "", "", {"PARTIAL": "libc6:i386"}, ["i386"], True, True),
            ("the mirror works: Wine here", "", "", {"HEALED": "1"}, ["i386"], True, False),
        ]
        for name, arch, installed, env, after, tried, guest in rows:
            with self.subTest(name):
                verdict.unlink(missing_ok=True)
                result, arch_after, installs = self.setup(arch, installed, **env)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(arch_after, after)
                self.assertEqual(any("wine32:i386" in line for line in installs), tried)
                self.assertEqual(any("qemu-system-x86" in line for line in installs), guest)
                self.assertEqual(verdict.exists(), guest, "the verdict is kept exactly when Wine failed")
                self.assertNotIn("locale-gen", (self.state / "apt.log").read_text(), "an existing locale made again")
        with self.subTest("a fallback is remembered for a day, then tried again"):
            self.setup()
            result, arch_after, installs = self.setup()
            self.assertIn("until a day has passed", result.stdout)
            self.assertFalse(any("wine32" in line for line in installs), installs)
            self.assertEqual(arch_after, [])
            os.utime(verdict, (time.time() - 90000,) * 2)
            result, arch_after, installs = self.setup(HEALED="1")
            self.assertTrue(any("wine32:i386" in line for line in installs), installs)
            self.assertFalse(verdict.exists())


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
        # $FAKE_HANG makes it stop half-way, with its chroot's proc mounted.
        (bin_dir / "mmdebstrap").write_text(f"""#!/bin/sh
echo mmdebstrap >>{self.calls}
while [ "$1" != bookworm ]; do shift; done
root=$2
mkdir -p "$root/boot" "$root/sbin" "$root/var/lib/dpkg" "$root/proc"
echo kernel >"$root/boot/vmlinuz-6.1.0-1-amd64"
[ -n "$FAKE_HANG" ] && mount -t proc proc "$root/proc" && sleep 600
echo initrd >"$root/boot/initrd.img-6.1.0-1-amd64"
: >"$root/var/lib/dpkg/status"
cp {self.scripts}/init "$root/sbin/tovu-init"
""")
        (bin_dir / "mmdebstrap").chmod(0o755)
        (self.scripts / "guest.py").write_text(f"#!/bin/sh\necho prefixes >>{self.calls}\nexit ${{FAKE_PREFIXES:-0}}\n")
        self.env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", TOVU_GUEST_CACHE=str(self.tmp / "cache"))

    def build(self, **env):
        start = time.monotonic()
        result = subprocess.run([str(self.scripts / "image.sh")], env=dict(self.env, **env), capture_output=True,
                                text=True, timeout=120)
        return result, time.monotonic() - start

    def count(self):
        return self.calls.read_text().count("mmdebstrap") if self.calls.exists() else 0

    def images(self):
        return sorted(p.name for p in (self.tmp / "cache").iterdir() if p.is_dir())

    def mounts(self):
        return [line.split()[1] for line in Path("/proc/mounts").read_text().splitlines()
                if str(self.tmp / "cache") in line]

    def test_reused_then_built_again_when_its_inputs_change(self):
        first, _ = self.build()
        self.assertEqual(first.returncode, 0, first.stderr)
        image = Path(first.stdout.strip())
        for name in ("vmlinuz", "initrd.img", "disk.img", "packages.txt", "ready"):
            self.assertTrue((image / name).exists(), name)
        self.assertEqual(self.count(), 1)

        again, seconds = self.build()
        self.assertEqual((again.returncode, again.stdout), (0, first.stdout))
        self.assertIn("reusing", again.stderr)
        self.assertEqual(self.count(), 1, "a cached image was built again")
        self.assertLess(seconds, 5)

        for name, change in [("packages", lambda: (self.scripts / "packages").open("a").write("strace\n")),
                             ("init", lambda: (self.scripts / "init").open("a").write("# changed\n")),
                             ("prefix recipe", lambda: (self.tmp / "tests/e2e/e2e.py").write_text(
                                 (ROOT / "tests/e2e/e2e.py").read_text().replace(
                                     '"Managed", "/d", "N"', '"Managed", "/d", "Y"')))]:
            with self.subTest(name):
                before = self.count()
                change()
                changed, _ = self.build()
                self.assertEqual(changed.returncode, 0, changed.stderr)
                self.assertNotEqual(changed.stdout, first.stdout)
                self.assertEqual(self.count(), before + 1, f"a changed {name} did not build a new image")
        self.assertEqual(len(self.images()), 2, f"old images are kept: {self.images()}")

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
        (it holds the key's lock) stays."""
        cache = self.tmp / "cache"
        left, running = cache / "0123456789abcdef.partial", cache / "fedcba9876543210.partial"
        for partial in (left, running):
            (partial / "rootfs" / "proc").mkdir(parents=True)
            (partial / "rootfs" / "big").write_bytes(b"x" * 4096)
        if subprocess.run(["mount", "-t", "proc", "proc", str(left / "rootfs" / "proc")]).returncode:
            self.skipTest("cannot mount proc here")
        self.addCleanup(subprocess.run, ["umount", "-l", str(left / "rootfs" / "proc")], stderr=subprocess.DEVNULL)
        with open(cache / "fedcba9876543210.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            done, _ = self.build()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertFalse(left.exists())
        self.assertFalse((cache / "0123456789abcdef.lock").exists(), "its lock was left")
        self.assertTrue((running / "rootfs" / "big").exists())
        self.assertEqual(self.mounts(), [])
        self.assertTrue(Path("/proc/self").exists(), "the host's /proc")

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
    """What a session folder says is trusted only as far as the processes it
    names are still the ones that started then."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.session = self.tmp / "session"
        self.session.mkdir()

    def guest(self, *args):
        return subprocess.run([sys.executable, str(ROOT / "scripts/guest/guest.py"), args[0], "--session",
                               str(self.session), *args[1:]], capture_output=True, text=True, timeout=60)

    def test_a_pid_that_now_belongs_to_another_process_is_left_alone(self):
        stranger = subprocess.Popen(["sleep", "600"])
        self.addCleanup(stranger.wait)
        self.addCleanup(stranger.kill)
        for name in ("supervisor.pid", "qemu.pid"):
            (self.session / name).write_text(f"{stranger.pid} 1\n")  # started at another time
        down = self.guest("down")
        self.assertEqual(down.returncode, 0, down.stderr)
        self.assertIsNone(stranger.poll(), "down killed a process that is not the guest's")
        self.assertFalse((self.session / "supervisor.pid").exists())

    def test_one_line_where_there_is_no_guest_or_one_is_busy(self):
        exec_ = self.guest("exec", "--", "true")
        self.assertEqual(exec_.returncode, 1)
        self.assertRegex(exec_.stderr, r"^guest: no guest is up for .*\n$")
        with open(self.session / "lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            up = self.guest("up", "--share", str(self.tmp))
        self.assertEqual(up.returncode, 1)
        self.assertRegex(up.stderr, r"^guest: another run is using the guest of .*\n$")


@unittest.skipUnless(shutil.which("qemu-system-x86_64"), "needs qemu-system-x86_64")
class BadDays(unittest.TestCase):
    """A guest that does not boot in time, that dies, hangs or is stopped, or
    whose keeper is killed: a failure with the console's tail, and no QEMU,
    keeper, overlay or agent folder left."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.session = self.tmp / "session"
        # The agent's folder goes in TMPDIR: this test's own, apart from any other guest on this machine.
        self.env = dict(os.environ, TMPDIR=str(self.tmp))

    def guest(self, *args, image=None, **kwargs):
        image_args = ["--image", str(image)] if image else []
        return subprocess.Popen([sys.executable, str(ROOT / "scripts/guest/guest.py"), args[0], "--session",
                                 str(self.session), *image_args, *args[1:]], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, env=self.env, **kwargs)

    def up(self, image):
        """`up` from a shell that stays, as CTest does; returns that shell."""
        owner = subprocess.Popen(["sh", "-c", f"{sys.executable} {ROOT}/scripts/guest/guest.py up --session "
                                  f"{self.session} --image {image} --share {self.tmp}; exec sleep 600"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=self.env)
        self.addCleanup(owner.stdout.close)
        self.addCleanup(owner.wait)
        self.addCleanup(owner.kill)
        self.assertIn("booted", owner.stdout.readline())
        return owner

    def assertNothingLeft(self):
        left = {
            "a QEMU process": lambda: processes(self.session, b"qemu-system"),
            "the keeper": lambda: processes(self.session, b"python"),
            "the overlay": lambda: (self.session / "overlay.qcow2").exists(),
            "an agent folder": lambda: agent_folders(self.tmp),
            "a pid file": lambda: list(self.session.glob("*.pid")),
        }
        for what, found in left.items():
            self.assertTrue(waited(lambda: not found()), f"{what} was left: {found()}")

    def real_image(self):
        image = subprocess.run([str(ROOT / "scripts/guest/image.sh"), "--cached"], capture_output=True,
                               text=True).stdout.strip()
        if not image:
            self.skipTest("the guest image is not built here (scripts/guest/image.sh)")
        return image

    def test_a_kernel_that_does_not_boot(self):
        image = self.tmp / "image"
        image.mkdir()
        (image / "vmlinuz").write_bytes(b"not a kernel" * 100)
        (image / "initrd.img").write_bytes(b"")
        subprocess.run(["truncate", "-s", "64M", str(image / "disk.img")], check=True)
        start = time.monotonic()
        up = self.guest("up", "--share", str(self.tmp), image=image)
        out, _ = up.communicate(timeout=60)
        self.assertEqual(up.returncode, 1, out)
        self.assertIn("the guest ended while it booted", out)
        self.assertIn("the guest's console, last lines", out)
        self.assertLess(time.monotonic() - start, 30)
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
        keeper = int((self.session / "supervisor.pid").read_text().split()[0])
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
        for how in ("TERM", "HUP", "INT", "owner"):
            with self.subTest(how):
                if how == "owner":  # `up` from a shell that then goes away, as CTest does when interrupted
                    proc = self.up(image)
                else:
                    # as a background job starts it: INT and HUP ignored, yet sent on purpose here
                    proc = self.guest("run", "--share", str(self.tmp), "--", "sleep", "600", image=image,
                                      preexec_fn=lambda: [signal.signal(s, signal.SIG_IGN) for s in
                                                          (signal.SIGINT, signal.SIGHUP)])
                    self.addCleanup(proc.kill)  # a run that ignored its signal must not hold the next row's lock
                    self.assertIn("booted", proc.stdout.readline())
                self.assertTrue(processes(self.session, b"qemu-system"))
                proc.kill() if how == "owner" else proc.send_signal(getattr(signal, f"SIG{how}"))
                proc.wait(timeout=60)
                proc.stdout.close()
                if how != "owner":
                    self.assertEqual(proc.returncode, 128 + getattr(signal, f"SIG{how}"))
                self.assertNothingLeft()


if __name__ == "__main__":
    unittest.main()
