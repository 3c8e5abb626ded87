#!/usr/bin/python3
"""Checks of the QEMU guest that runs Windows programs where the host cannot:
which way is chosen, when the cached image is reused or built again, and that
a guest that dies or is stopped fails loudly and leaves no QEMU behind.

The image rows run image.sh from a copy of scripts/guest in which mmdebstrap
(on PATH) and guest.py (the prefix step) are stand-ins that record each call;
the cache logic they exercise is the real one. The rows that boot need
qemu-system-x86_64, and those that boot a whole guest need its image built.
"""
import os
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
import guest  # noqa: E402

QEMU_I386 = ("enabled\ninterpreter /usr/libexec/qemu-binfmt/i386-binfmt-P\nflags: PF\noffset 0\n"
             "magic 7f454c4601010100000000000000000002000300\n"
             "mask fffffffffffefefcfffffffffffffffffeffffff\n")
QEMU_AARCH64 = ("enabled\ninterpreter /usr/libexec/qemu-binfmt/aarch64-binfmt-P\nflags: PF\noffset 0\n"
                "magic 7f454c460201010000000000000000000200b700\n"
                "mask ffffffffffffff00fffffffffffffffffeffffff\n")


def qemu_processes(marker):
    """QEMU processes whose command line names `marker` (a session folder)."""
    found = []
    for proc in Path("/proc").iterdir():
        try:
            cmdline = (proc / "cmdline").read_bytes()
        except OSError:
            continue
        if proc.name.isdigit() and b"qemu-system" in cmdline.split(b"\0")[0] and str(marker).encode() in cmdline:
            found.append(int(proc.name))
    return found


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
                way, why = guest.route(runs=lambda: runs, handler=lambda: guest.i386_handler(folder),
                                       wine32=lambda: wine,
                                       qemu=lambda: "/usr/bin/qemu-system-x86_64" if qemu else None)
                self.assertEqual(way, expected, why)
                if "qemu-i386" in entries and expected != "native":
                    self.assertIn("i386-binfmt-P", why)

    def test_forced(self):
        for forced in ("native", "guest"):
            with self.subTest(forced):
                os.environ["TOVU_WINE_ROUTE"] = forced
                try:
                    self.assertEqual(guest.route(runs=lambda: forced == "guest")[0], forced)
                finally:
                    del os.environ["TOVU_WINE_ROUTE"]

    def test_probe(self):
        """A file the kernel cannot load is no i386 program; where the kernel
        does run i386 code, the probe exits as it should."""
        self.assertFalse(guest.runs_i386(probe=b"\x7fELF not a program"))
        if Path("/proc/sys/abi/vsyscall32").exists() and not guest.i386_handler():
            self.assertTrue(guest.runs_i386(), "the i386 probe did not run on an IA32-capable kernel")


@unittest.skipUnless(os.geteuid() == 0, "image.sh builds as root")
class ImageCache(unittest.TestCase):
    """image.sh's cache: reused, built again when its inputs change, and never a
    half-built image."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.scripts = self.tmp / "scripts" / "guest"
        shutil.copytree(ROOT / "scripts" / "guest", self.scripts)
        (self.tmp / "tests" / "e2e").mkdir(parents=True)
        shutil.copy(ROOT / "tests" / "e2e" / "e2e.py", self.tmp / "tests" / "e2e")
        self.calls = self.tmp / "calls"
        bin_dir = self.tmp / "bin"
        bin_dir.mkdir()
        # mmdebstrap: a root file system with a kernel, an initrd and the init;
        # $FAKE_HANG makes it stop half-way.
        (bin_dir / "mmdebstrap").write_text(f"""#!/bin/sh
echo mmdebstrap >>{self.calls}
while [ "$1" != bookworm ]; do shift; done
root=$2
mkdir -p "$root/boot" "$root/sbin" "$root/var/lib/dpkg"
echo kernel >"$root/boot/vmlinuz-6.1.0-1-amd64"
[ -n "$FAKE_HANG" ] && sleep 600
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
        # A prefix step that fails keeps nothing either.
        failed, _ = self.build(FAKE_PREFIXES="1")
        self.assertNotEqual(failed.returncode, 0)
        self.assertIn("nothing is kept", failed.stderr)
        self.assertEqual(self.images(), [])
        done, _ = self.build()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn("reusing", done.stderr)
        self.assertTrue((Path(done.stdout.strip()) / "ready").exists())

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


@unittest.skipUnless(shutil.which("qemu-system-x86_64"), "needs qemu-system-x86_64")
class BadDays(unittest.TestCase):
    """A guest that does not boot, that dies or that is stopped: a failure with
    the console's tail, and no QEMU and no overlay left."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.session = self.tmp / "session"

    def guest(self, *args, image=None, **kwargs):
        image_args = ["--image", str(image)] if image else []
        return subprocess.Popen([sys.executable, str(ROOT / "scripts/guest/guest.py"), args[0], "--session",
                                 str(self.session), *image_args, *args[1:]], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, **kwargs)

    def assertNothingLeft(self):
        deadline = time.monotonic() + 15
        while qemu_processes(self.session) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(qemu_processes(self.session), [], "a QEMU process was left")
        self.assertFalse((self.session / "overlay.qcow2").exists(), "the overlay was left")

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

    def test_stopped_by_a_signal_or_with_its_owner(self):
        image = self.real_image()
        for how in ("TERM", "owner"):
            with self.subTest(how):
                if how == "TERM":
                    proc = self.guest("run", "--share", str(self.tmp), "--", "sleep", "600", image=image)
                else:  # `up` from a shell that then goes away, as CTest does when interrupted
                    proc = subprocess.Popen(["sh", "-c", f"{sys.executable} {ROOT}/scripts/guest/guest.py up "
                                             f"--session {self.session} --image {image} --share {self.tmp}; exec sleep 600"],
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                line = proc.stdout.readline()
                self.assertIn("booted", line)
                self.assertTrue(qemu_processes(self.session))
                proc.send_signal(signal.SIGTERM) if how == "TERM" else proc.kill()
                proc.wait(timeout=60)
                proc.stdout.close()
                if how == "TERM":
                    self.assertEqual(proc.returncode, 128 + signal.SIGTERM)
                self.assertNothingLeft()


if __name__ == "__main__":
    unittest.main()
