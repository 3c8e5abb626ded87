#!/usr/bin/python3
"""Runs commands in a QEMU guest (Debian 12 with Wine, built by image.sh), for
hosts where Wine's 32-bit side cannot run (route.py says which).

  guest.py up --session DIR --share PATH ... [--boot-seconds S]
      Builds or reuses the image and boots a guest that stays up for the
      commands that follow, until `down`, or until the process that ran `up`
      (CTest, say) is gone. Each PATH of the host appears at the same path in
      the guest.
  guest.py exec --session DIR [--timeout S] [--cwd PATH] -- COMMAND ...
      Runs COMMAND in that guest, shows its output, exits with its status:
      124 where it took longer than S seconds, and then the guest is stopped,
      so that what it left running cannot spoil the next command.
  guest.py down --session DIR
  guest.py run --session DIR --share PATH ... [--timeout S] -- COMMAND ...
      up, exec and down in one, in the foreground.

A session folder holds one guest's console log, its disk overlay (the image
itself is never written) and the pid files of its keeper and QEMU, each with
the process's start time, so that a pid that now belongs to another process is
never signalled. A second `up` on a folder in use is refused. Whatever ends the
run, `down`, Ctrl-C, TERM, HUP, a failed boot, a command past its limit, or a
keeper that was killed (the next `up` or `down` clears what it left), no QEMU,
keeper, overlay or agent folder is left behind.
"""
import argparse
import fcntl
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BOOT_SECONDS = 120         # from QEMU's start to the agent's first answer
AGENT_SECONDS = 30         # for any one answer of the agent after that
STOP_SECONDS = 30          # for the keeper to stop QEMU and clear up
OVERLAY_GIB = 2            # what a run writes to its overlay stays well below
CONSOLE_TAIL = 60          # lines of the guest's console shown on a failure
GUEST_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def say(text):
    print(f"guest: {text}", flush=True)


class Failure(Exception):
    pass


# --- processes, told apart by their start time -------------------------------

def proc_stat(pid):
    """The fields of /proc/PID/stat after the command name (state first), or
    None where there is no such process."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(") ", 1)[1].split()
    except (OSError, IndexError):
        return None


def process_start(pid):
    stat = proc_stat(pid)
    return stat and stat[19]


def running(pid, start):
    """Whether `pid` is still the process that started at `start`, and alive."""
    stat = proc_stat(pid)
    return stat is not None and stat[19] == start and stat[0] not in "ZX"


def wait_gone(pid, start, seconds):
    deadline = time.monotonic() + seconds
    while running(pid, start) and time.monotonic() < deadline:
        try:  # reap it where it is our own child
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass
        time.sleep(0.1)
    return not running(pid, start)


# --- the guest agent -----------------------------------------------------------

class Agent:
    """qemu-guest-agent over the guest's virtio-serial port. QEMU takes one
    client at a time, so each call connects under the session's agent lock
    and two commands may run in one guest side by side."""

    def __init__(self, path, lock, timeout=AGENT_SECONDS):
        self.path, self.lock_path, self.timeout = path, lock, timeout

    def call(self, command, **arguments):
        with open(self.lock_path, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            with socket.socket(socket.AF_UNIX) as sock:
                sock.settimeout(self.timeout)
                sock.connect(str(self.path))
                stream = sock.makefile("rwb")
                # Whatever an earlier client left unread comes before this answer.
                token = int.from_bytes(os.urandom(4), "little") & 0x7FFFFFFF
                for request in ({"execute": "guest-sync", "arguments": {"id": token}},
                                {"execute": command, "arguments": arguments}):
                    stream.write(json.dumps(request).encode() + b"\n")
                stream.flush()
                while self.reply(stream).get("return") != token:
                    pass  # an answer, whole or cut, that an earlier client left unread
                reply = self.reply(stream)
                if "error" in reply:
                    raise Failure(f"the guest agent says: {reply['error'].get('desc', reply['error'])}")
                return reply.get("return")

    @staticmethod
    def reply(stream):
        line = stream.readline()
        if not line:
            raise Failure("the guest agent closed the connection")
        try:
            return json.loads(line.lstrip(b"\xff"))
        except ValueError:
            return {}


# --- a session -------------------------------------------------------------------

class Session:
    def __init__(self, folder):
        self.dir = Path(folder).resolve()
        self.console = self.dir / "console.log"
        self.overlay = self.dir / "overlay.qcow2"

    def value(self, name):
        path = self.dir / name
        return path.read_text().strip() if path.exists() else None

    def record(self, name, pid):
        (self.dir / name).write_text(f"{pid} {process_start(pid)}\n")

    def recorded(self, name):
        """(pid, start) of the process a pid file names, while it still runs."""
        fields = (self.value(name) or "").split()
        if len(fields) == 2 and fields[0].isdigit() and running(int(fields[0]), fields[1]):
            return int(fields[0]), fields[1]
        return None

    def agent(self):
        return Agent(self.value("agent"), self.dir / "agent.lock")

    def qemu_alive(self):
        return self.recorded("qemu.pid") is not None

    def clear(self, agent_dir=None):
        """Removes what a guest leaves: its overlay, its agent's folder, its pid
        files. Its keeper does this as it ends; `up` and `down` again after a
        keeper that was killed."""
        self.overlay.unlink(missing_ok=True)
        agent = self.value("agent")
        for folder in {agent_dir, agent and Path(agent).parent} - {None, ""}:
            shutil.rmtree(folder, ignore_errors=True)
        for name in ("qemu.pid", "supervisor.pid", "agent"):
            (self.dir / name).unlink(missing_ok=True)

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


def find_image():
    built = subprocess.run([str(HERE / "image.sh")], stdout=subprocess.PIPE, text=True)
    image = Path((built.stdout.strip().rsplit("\n", 1) or [""])[-1] or "/nonexistent")
    if built.returncode or not (image / "ready").exists():
        raise Failure("image.sh gave no guest image to boot (its reason is above)")
    unreadable = [p.name for p in (image / "vmlinuz", image / "initrd.img", image / "disk.img")
                  if not os.access(p, os.R_OK)]
    if unreadable:
        raise Failure(f"the guest image {image} is not readable by this user ({', '.join(unreadable)}); "
                      "rebuild it as this user, or set TOVU_GUEST_CACHE to a folder of your own")
    return image


def boot(session, shares, owner, image=None, writable=False, limit=BOOT_SECONDS):
    """Starts the guest under a keeper of its own, which stops it when `down`
    or a signal asks, or when `owner` is gone. Returns once the agent answers;
    a guest that does not is stopped. Only the image's own build writes to it
    (`writable`); a run writes to an overlay of its own, which goes with the
    guest."""
    session.dir.mkdir(parents=True, exist_ok=True)
    lock = open(session.dir / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise Failure(f"another run is using the guest of {session.dir}; wait for it, or stop it "
                      f"with `guest.py down --session {session.dir}`")
    stop(session)  # what a killed keeper left
    if not shutil.which("qemu-system-x86_64"):
        raise Failure("qemu-system-x86_64 is not installed (scripts/setup.sh guest)")
    free = shutil.disk_usage(session.dir).free // 2**30
    if not writable and free < OVERLAY_GIB:
        raise Failure(f"needs {OVERLAY_GIB} GiB free in {session.dir} for what the guest writes, has {free} GiB")
    image = Path(image or find_image()).resolve()
    for name in ("console.log", "supervisor.log", "exec.seq"):
        (session.dir / name).unlink(missing_ok=True)
    shares = [(f"share{n}", Path(p).resolve()) for n, p in enumerate(shares)]
    (session.dir / "shares").write_text("".join(f"{tag} {path}\n" for tag, path in shares))
    disk = image / "disk.img"
    if not writable:
        made = subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b", str(disk),
                               str(session.overlay)], stderr=subprocess.PIPE, text=True)
        if made.returncode:
            raise Failure(f"qemu-img could not make the overlay {session.overlay}: {made.stderr.strip()}")
        disk = session.overlay
    # A socket's path must be short; the session's may not be.
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
    session.record("supervisor.pid", supervisor)
    while True:
        if time.monotonic() > started + limit:
            stop(session)
            session.fail(f"the guest did not answer within {limit} s of its start")
        if os.waitpid(supervisor, os.WNOHANG)[0]:
            session.clear(agent_dir)
            session.fail("the guest ended while it booted")
        if session.qemu_alive() and (agent_dir / "agent.sock").exists():
            try:
                Agent(agent_dir / "agent.sock", session.dir / "agent.lock", timeout=5).call("guest-ping")
                break
            except (OSError, Failure):
                pass
        time.sleep(0.5)
    say(f"booted in {time.monotonic() - started:.0f} s (image {image})")


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
        signal.signal(sig, lambda number, _: stopping.append(signal.Signals(number).name))

    def die_with_parent():  # QEMU must not outlive its keeper, even a killed one
        import ctypes
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, preexec_fn=die_with_parent)
    session.record("qemu.pid", qemu.pid)
    why = None
    while qemu.poll() is None and why is None:
        if stopping:
            why = f"stopped by {stopping[0]}"
        elif owner_start is None or process_start(owner) != owner_start:
            why = f"its owner (pid {owner}) is gone"
        else:
            time.sleep(0.2)
    if qemu.poll() is None:
        qemu.terminate()
        try:
            qemu.wait(timeout=10)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()
    print(f"guest down: {why or f'QEMU ended by itself (status {qemu.returncode})'}", flush=True)
    session.clear(agent_dir)
    lock.close()


def stop(session):
    """Stops the guest of a session, waits for its keeper's end and clears
    what is left. Returns whether a guest was up."""
    keeper = session.recorded("supervisor.pid")
    if keeper:
        os.kill(keeper[0], signal.SIGTERM)
        if not wait_gone(*keeper, STOP_SECONDS):
            os.kill(keeper[0], signal.SIGKILL)  # its QEMU dies with it
            wait_gone(*keeper, 10)
    qemu = session.recorded("qemu.pid")
    if qemu:
        os.kill(qemu[0], signal.SIGKILL)
        wait_gone(*qemu, 10)
    up = bool(keeper or qemu)
    session.clear()
    return up


def wait_gone_qemu(session, seconds=5):
    """Whether QEMU is gone, or goes within `seconds`: the agent's socket
    closes as the guest dies, a moment before QEMU ends."""
    deadline = time.monotonic() + seconds
    while session.qemu_alive():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def run_in_guest(session, command, timeout, cwd):
    """Runs `command` in the guest; returns its exit status. Its output goes to
    a file on the session share, shown here as it grows."""
    if session.value("agent") is None or not session.qemu_alive():
        raise Failure(f"no guest is up for {session.dir} (its `up` failed, or it has ended; "
                      f"its console: {session.console})")
    with open(session.dir / "exec.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        seq = int(session.value("exec.seq") or 0) + 1
        (session.dir / "exec.seq").write_text(f"{seq}\n")
    output = session.dir / f"exec-{seq}.log"
    output.write_bytes(b"")
    script = 'exec >"$OUT" 2>&1; cd "$1" && shift && exec timeout -k 10 "$@"'
    env = [f"PATH={GUEST_PATH}", "HOME=/root", "LANG=C.UTF-8", f"OUT=/run/session/{output.name}"]
    env += [f"{k}={v}" for k, v in os.environ.items() if k == "CI" or k.startswith("TOVU_E2E")]
    agent = session.agent()
    try:
        pid = agent.call("guest-exec", path="/bin/sh", env=env,
                         arg=["-c", script, "sh", cwd, str(timeout), *command])["pid"]
    except (OSError, Failure) as error:
        session.fail(f"the guest did not take the command: {error}")
    started = time.monotonic()
    deadline = started + timeout + 30
    shown = 0
    status = None
    while status is None:
        alive, shown = session.qemu_alive(), show(output, shown)  # in this order: a dying guest's last words shown
        if time.monotonic() > deadline:
            stop(session)
            session.fail(f"the guest did not end the command within {timeout} s; the guest is stopped")
        if not alive:
            session.fail("the guest ended while the command ran")
        try:
            reply = agent.call("guest-exec-status", pid=pid)
        except (OSError, Failure) as error:
            if wait_gone_qemu(session):
                continue  # the loop shows what it wrote last, then says that it ended
            session.fail(f"the guest stopped answering: {error}")
        if reply["exited"]:
            status = reply.get("exitcode", 128 + reply.get("signal", 0))
        else:
            time.sleep(0.25)
    show(output, shown)
    output.unlink(missing_ok=True)
    if status == 137 and time.monotonic() - started >= timeout:
        status = 124  # `timeout` had to kill it after its TERM
    if status == 124:
        stop(session)
        say(f"the command took longer than {timeout} s; it and the guest are stopped, "
            "so that what it left running cannot spoil the next command")
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
    parser.add_argument("action", choices=["up", "exec", "down", "run"])
    parser.add_argument("--session", required=True)
    parser.add_argument("--share", action="append", default=[])
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--boot-seconds", type=int, default=BOOT_SECONDS)
    parser.add_argument("--cwd", default=os.getcwd())
    parser.add_argument("--image", help="boot this image folder instead of image.sh's")
    parser.add_argument("--writable", action="store_true", help="write to the image itself (its build)")
    argv = sys.argv[1:]
    command = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:len(argv) - len(command) - (1 if command else 0)])
    session = Session(args.session)
    try:
        if args.action == "up":
            boot(session, args.share, owner=os.getppid(), image=args.image, limit=args.boot_seconds)
            return 0
        if args.action == "down":
            if stop(session):
                say("down")
            return 0
        if args.action == "exec":
            return run_in_guest(session, command, args.timeout, args.cwd)
        # run: this process owns the guest; TERM, HUP or INT (even one ignored) stop it on the way out.
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(sig, lambda number, _: sys.exit(128 + number))
        try:
            boot(session, args.share, owner=os.getpid(), image=args.image, writable=args.writable,
                 limit=args.boot_seconds)
            return run_in_guest(session, command, args.timeout, args.cwd)
        finally:
            stop(session)
    except Failure as failure:
        print(f"guest: {failure}", file=sys.stderr, flush=True)
        return 1
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # one line, not a traceback: what failed, and where to look
        print(f"guest: {args.action} failed: {type(error).__name__}: {error}", file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
