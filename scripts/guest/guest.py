#!/usr/bin/python3
"""Runs commands in a QEMU guest (Debian 12 with Wine, built by image.sh) for
Linux hosts that cannot run 32-bit code, and says which way Windows programs
run on this host.

  guest.py route
      "native: why", "guest: why" or "none: why" on one line: native where
      this kernel runs 32-bit programs and Wine's 32-bit side is installed.
  guest.py native
      Exits 0 where this kernel runs 32-bit programs, 1 where it does not.
  guest.py unavailable
      For a test that needs Windows programs where neither way exists: says
      why and exits 77 (skipped), or 1 under CI=true.
  guest.py up --session DIR --share PATH ...
      Builds or reuses the image and boots a guest that stays up for the
      commands that follow, until `down`, or until the process that ran `up`
      (CTest, say) is gone. Each PATH of the host appears at the same path in
      the guest.
  guest.py exec --session DIR [--timeout S] [--cwd PATH] -- COMMAND ...
      Runs COMMAND in that guest, shows its output, exits with its status.
  guest.py down --session DIR
  guest.py run --session DIR --share PATH ... [--timeout S] -- COMMAND ...
      up, exec and down in one, in the foreground.

A session folder holds one guest's console log, its disk overlay (the image
itself is never written) and its agent's socket; a second `up` on a folder in
use is refused. Whatever ends the run, Ctrl-C, TERM, a failed boot or a guest
that hangs, no QEMU process and no overlay is left behind.
"""
import argparse
import fcntl
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BOOT_SECONDS = 120         # from QEMU's start to the agent's first answer
AGENT_SECONDS = 30         # for any one answer of the agent after that
OVERLAY_GIB = 2            # what a run writes to its overlay stays well below
CONSOLE_TAIL = 60          # lines of the guest's console shown on a failure
WINE32_LOADER = "/usr/lib/wine/wine"  # runs every 32-bit Windows program
GUEST_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def say(text):
    print(f"guest: {text}", flush=True)


class Failure(Exception):
    pass


# --- the route ---------------------------------------------------------------

def i386_probe():
    """The smallest i386 Linux program: exit(32)."""
    base, code = 0x08048000, bytes.fromhex("b801000000" "bb20000000" "cd80")
    size = 52 + 32 + len(code)
    header = (b"\x7fELF\x01\x01\x01" + bytes(9)
              + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0))
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def runs_i386(probe=None):
    """Whether execve() runs an i386 program: False where the kernel refuses it."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "probe"
        path.write_bytes(probe or i386_probe())
        path.chmod(0o755)
        try:
            return subprocess.run([str(path)], timeout=30).returncode == 32
        except OSError:
            return False


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
    if not runs():
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


# --- the guest agent -----------------------------------------------------------

class Agent:
    """qemu-guest-agent over the guest's virtio-serial port."""

    def __init__(self, path, timeout=AGENT_SECONDS):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(timeout)
        self.sock.connect(str(path))
        self.buffer = b""
        # Whatever an earlier client left unread comes before this answer.
        token = int.from_bytes(os.urandom(4), "little") & 0x7FFFFFFF
        self.send("guest-sync", id=token)
        while self.answer() != token:
            pass

    def send(self, command, **arguments):
        self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")

    def answer(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Failure("the guest agent closed the connection")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        reply = json.loads(line.lstrip(b"\xff"))
        if "error" in reply:
            raise Failure(f"the guest agent says: {reply['error'].get('desc', reply['error'])}")
        return reply.get("return")

    def call(self, command, **arguments):
        self.send(command, **arguments)
        return self.answer()

    def close(self):
        self.sock.close()


# --- a session -------------------------------------------------------------------

class Session:
    def __init__(self, folder):
        self.dir = Path(folder).resolve()
        self.console = self.dir / "console.log"
        self.overlay = self.dir / "overlay.qcow2"

    def value(self, name):
        path = self.dir / name
        return path.read_text().strip() if path.exists() else None

    def console_tail(self):
        if not self.console.exists():
            return "(no console output)"
        lines = self.console.read_bytes().decode("utf-8", "replace").splitlines()
        return "\n".join(f"  | {line}" for line in lines[-CONSOLE_TAIL:]) or "(no console output)"

    def fail(self, what):
        qemu = self.dir / "supervisor.log"
        said = qemu.read_text(errors="replace").strip() if qemu.exists() else ""
        raise Failure(f"{what}\n" + (f"QEMU and its keeper said:\n{said}\n" if said else "")
                      + f"the guest's console, last lines ({self.console}):\n{self.console_tail()}")

    def qemu_alive(self):
        stat = proc_stat(self.value("qemu.pid"))
        return stat is not None and stat[0] != "Z"  # a zombie is no guest


def qemu_command(session, disk, image, shares, agent_socket):
    """Boots the image's kernel on `disk` with no network; the agent's port
    and the 9p shares (the session's first) are the only ways in."""
    def quoted(path):  # QEMU doubles commas in option values
        return str(path).replace(",", ",,")
    command = [
        "qemu-system-x86_64", "-name", "tovu-guest", "-nodefaults", "-display", "none", "-no-reboot",
        "-accel", "tcg,thread=multi",
        # QEMU 7.2's TCG oopses the guest kernel on an iret into 32-bit code with SMAP.
        "-cpu", "max,smap=off", "-smp", "2", "-m", "4096",
        "-kernel", quoted(image / "vmlinuz"), "-initrd", quoted(image / "initrd.img"),
        "-append", "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/sbin/tovu-init",
        "-drive", f"file={quoted(disk)},if=virtio,format={'qcow2' if disk.suffix == '.qcow2' else 'raw'},"
                  "cache=unsafe",
        "-serial", f"file:{quoted(session.console)}", "-monitor", "none",
        "-device", "virtio-serial-pci",
        "-chardev", f"socket,id=agent,path={quoted(agent_socket)},server=on,wait=off",
        "-device", "virtserialport,chardev=agent,name=org.qemu.guest_agent.0",
    ]
    for tag, path in [("session", session.dir)] + shares:
        command += ["-fsdev", f"local,id={tag},path={quoted(path)},security_model=none",
                    "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}"]
    return command


def boot(session, shares, owner, image=None, writable=False):
    """Starts the guest under a supervisor of its own, which stops it when
    `down` asks, when `owner` is gone, or when the supervisor is signalled.
    Returns once the agent answers; a guest that does not is stopped. Only
    the image's own build writes to it (`writable`); a run writes to an
    overlay of its own, which goes with the guest."""
    session.dir.mkdir(parents=True, exist_ok=True)
    lock = open(session.dir / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise Failure(f"another run is using the guest of {session.dir}")
    if not shutil.which("qemu-system-x86_64"):
        raise Failure("qemu-system-x86_64 is not installed (scripts/setup.sh guest)")
    free = shutil.disk_usage(session.dir).free // 2**30
    if not writable and free < OVERLAY_GIB:
        raise Failure(f"needs {OVERLAY_GIB} GiB free in {session.dir} for what the guest writes, has {free} GiB")
    if image is None:
        built = subprocess.run([str(HERE / "image.sh")], stdout=subprocess.PIPE, text=True).stdout
        image = Path(built.strip().rsplit("\n", 1)[-1] or "/nonexistent")
        if not (image / "ready").exists():
            raise Failure("there is no guest image to boot")
    image = Path(image).resolve()
    for name in ("console.log", "overlay.qcow2", "qemu.pid", "stop", "exec.seq"):
        (session.dir / name).unlink(missing_ok=True)
    shares = [(f"share{n}", Path(p).resolve()) for n, p in enumerate(shares)]
    (session.dir / "shares").write_text("".join(f"{tag} {path}\n" for tag, path in shares))
    disk = image / "disk.img"
    if not writable:
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b", str(disk),
                        str(session.overlay)], check=True)
        disk = session.overlay
    agent_dir = Path(tempfile.mkdtemp(prefix="tovu-guest-"))
    (session.dir / "agent").write_text(f"{agent_dir / 'agent.sock'}\n")
    command = qemu_command(session, disk, image, shares, agent_dir / "agent.sock")

    started = time.monotonic()
    supervisor = os.fork()
    if supervisor == 0:
        try:
            supervise(session, command, owner, lock, agent_dir)
        finally:  # the child never goes back into the caller's code
            os._exit(0)
    lock.close()
    (session.dir / "supervisor.pid").write_text(f"{supervisor}\n")
    deadline = started + BOOT_SECONDS
    while True:
        if time.monotonic() > deadline:
            stop(session)
            session.fail(f"the guest did not answer within {BOOT_SECONDS} s of its start")
        if os.waitpid(supervisor, os.WNOHANG)[0]:
            session.fail("the guest ended while it booted")
        if session.qemu_alive() and (agent_dir / "agent.sock").exists():
            try:
                Agent(agent_dir / "agent.sock", timeout=5).close()
                break
            except (OSError, Failure):
                pass
        time.sleep(0.5)
    say(f"booted in {time.monotonic() - started:.0f} s (image {image})")


def proc_stat(pid):
    """The fields of /proc/PID/stat after the command name (state first), or
    None where there is no such process."""
    try:
        return None if pid is None else Path(f"/proc/{pid}/stat").read_text().split(") ", 1)[1].split()
    except (OSError, IndexError):
        return None


def process_start(pid):
    stat = proc_stat(pid)
    return stat and stat[19]


def supervise(session, command, owner, lock, agent_dir):
    """The guest's keeper, in a session of its own so that it outlives `up`."""
    os.setsid()
    log = os.open(session.dir / "supervisor.log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    owner_start = process_start(owner)
    stopping = []
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda number, _: stopping.append(number))

    def die_with_parent():  # QEMU must not outlive its keeper, even a killed one
        import ctypes
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
    (session.dir / "qemu.pid").write_text(f"{qemu.pid}\n")
    why = "stopped"
    while qemu.poll() is None:
        if stopping or (session.dir / "stop").exists():
            break
        if owner_start is None or process_start(owner) != owner_start:
            why = f"its owner (pid {owner}) is gone"
            break
        time.sleep(0.5)
    if qemu.poll() is None:
        qemu.terminate()
        try:
            qemu.wait(timeout=10)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
    else:
        why = f"QEMU ended by itself (status {qemu.returncode})"
    print(f"guest down: {why}", flush=True)
    session.overlay.unlink(missing_ok=True)
    shutil.rmtree(agent_dir, ignore_errors=True)
    for name in ("qemu.pid", "supervisor.pid", "agent"):
        (session.dir / name).unlink(missing_ok=True)
    lock.close()


def stop(session):
    """Stops the guest of a session and waits until QEMU is gone."""
    pid = session.value("supervisor.pid")
    if pid is None:
        return False
    (session.dir / "stop").touch()
    deadline = time.monotonic() + 30
    while Path(f"/proc/{pid}").exists() and time.monotonic() < deadline:
        try:  # reap it where it is our own child
            if os.waitpid(int(pid), os.WNOHANG)[0]:
                break
        except ChildProcessError:
            pass
        time.sleep(0.2)
    qemu = session.value("qemu.pid")
    if qemu and session.qemu_alive():
        os.kill(int(qemu), signal.SIGKILL)
    (session.dir / "stop").unlink(missing_ok=True)
    return True


def run_in_guest(session, command, timeout, cwd):
    """Runs `command` in the guest; returns its exit status. Its output goes to
    a file on the session share, shown here as it grows."""
    agent_path = session.value("agent")
    if agent_path is None or not session.qemu_alive():
        session.fail(f"no guest is up for {session.dir} (its `up` failed, or it has ended)")
    with open(session.dir / "exec.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        seq = int(session.value("exec.seq") or 0) + 1
        (session.dir / "exec.seq").write_text(f"{seq}\n")
        output = session.dir / f"exec-{seq}.log"
        output.write_bytes(b"")
        script = 'exec >"$OUT" 2>&1; cd "$1" && shift && exec timeout -k 10 "$@"'
        env = [f"PATH={GUEST_PATH}", "HOME=/root", "LANG=C.UTF-8", f"OUT=/run/session/{output.name}"]
        env += [f"{k}={v}" for k, v in os.environ.items() if k == "CI" or k.startswith("TOVU_E2E")]
        try:
            agent = Agent(agent_path)
            pid = agent.call("guest-exec", path="/bin/sh", env=env,
                             arg=["-c", script, "sh", cwd, str(timeout), *command])["pid"]
        except (OSError, Failure) as error:
            session.fail(f"the guest did not take the command: {error}")
        deadline = time.monotonic() + timeout + 30
        shown = 0
        status = None
        try:
            while status is None:
                shown = show(output, shown)
                if time.monotonic() > deadline:
                    session.fail(f"the guest did not end the command within {timeout} s")
                if not session.qemu_alive():
                    session.fail("the guest ended while the command ran")
                try:
                    reply = agent.call("guest-exec-status", pid=pid)
                except (OSError, Failure) as error:
                    session.fail(f"the guest stopped answering: {error}")
                if reply["exited"]:
                    status = reply.get("exitcode", 128 + reply.get("signal", 0))
                else:
                    time.sleep(0.5)
        finally:
            agent.close()
        show(output, shown)
        output.unlink(missing_ok=True)
        if status == 124:
            print(f"guest: the command took longer than {timeout} s and was stopped", flush=True)
        return status


def show(path, shown):
    try:
        with open(path, "rb") as f:
            f.seek(shown)
            data = f.read()
    except OSError:
        return shown
    if data:
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
    return shown + len(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=["route", "native", "up", "exec", "down", "run", "unavailable"])
    parser.add_argument("--session")
    parser.add_argument("--share", action="append", default=[])
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--cwd", default=os.getcwd())
    parser.add_argument("--image", help="boot this image folder instead of image.sh's")
    parser.add_argument("--writable", action="store_true", help="write to the image itself (its build)")
    argv = sys.argv[1:]
    command = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:len(argv) - len(command) - (1 if command else 0)])
    args.command = command
    if args.action == "route":
        way, why = route()
        print(f"{way}: {why}")
        return 0
    if args.action == "native":
        return 0 if runs_32_bit_natively()[0] else 1
    if args.action == "unavailable":  # a test that has no way to run Windows programs
        why = route()[1]
        if os.environ.get("CI") == "true":
            print(f"failed: {why}; CI must run every end-to-end test")
            return 1
        print(f"skipped: {why}")
        return 77
    if not args.session:
        parser.error("--session is needed")
    session = Session(args.session)
    try:
        if args.action == "up":
            boot(session, args.share, owner=os.getppid(), image=args.image)
            return 0
        if args.action == "down":
            if stop(session):
                say("down")
            return 0
        if args.action == "exec":
            return run_in_guest(session, args.command, args.timeout, args.cwd)
        # run: this process owns the guest; a signal stops it on the way out.
        for sig in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, lambda number, _: sys.exit(128 + number))
        try:
            boot(session, args.share, owner=os.getpid(), image=args.image, writable=args.writable)
            return run_in_guest(session, args.command, args.timeout, args.cwd)
        finally:
            stop(session)
    except Failure as failure:
        print(f"guest: {failure}", file=sys.stderr, flush=True)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
