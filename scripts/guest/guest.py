#!/usr/bin/python3
"""Runs commands in a QEMU guest (Debian with Wine, built by image.sh), for
hosts where Wine's 32-bit side cannot run (route.py says which), and for the
second Wine everywhere.

  guest.py up --session DIR [--release R] [--share PATH ...] [--write PATH ...]
              [--owner PID] [--boot-seconds S]
      Boots a guest from the image that image.sh built for Debian release R
      (bookworm, the default, with Wine 8; trixie with Wine 10; `up` never
      builds one) and keeps it up for the commands that follow, until `down`, or
      until its owner is gone: the process that ran `up` (CTest, say), or
      --owner PID. Each PATH of the host appears at the same path in the
      guest: a --share read-only, a --write writable. Where another run's
      guest is up in DIR, it says so and waits for that one to end.
  guest.py exec --session DIR [--owner PID] [--timeout S] [--cwd PATH] -- COMMAND ...
      Runs COMMAND in the guest of its owner, shows its output, exits with
      its status: 124 where it took longer than S seconds, and then the
      guest is stopped, so that what it left running cannot spoil the next
      command. Interrupted (INT, TERM, HUP), it kills COMMAND's process
      group in the guest, or stops the guest where that fails. It ends
      within S + EXEC_BOUND seconds whatever happens.
  guest.py down --session DIR [--owner PID] [--force]
      Stops the guest, where it is its owner's (or its owner is gone);
      --force stops anyone's, for a person clearing up by hand.
  guest.py run --session DIR [--share PATH ...] [--write PATH ...] [--timeout S] -- COMMAND ...
      up, exec and down in one, in the foreground, owned by this process.

A session folder is the host's alone: the guest's console log, its keeper's
log, its disk overlay (the image itself is never written), the agent's
socket, locks, and one state file that names the owner, the keeper and QEMU
with their start times, so that a pid that now belongs to another process is
never signalled. Only its io/ folder is shared with the guest, for the
commands' output; the host opens nothing there but files it named itself,
never through a link, and deletes nothing whose path it read from there.
Whatever ends the run, `down`, Ctrl-C, TERM, HUP, a failed boot, a command
past its limit, or a keeper that was killed (the next `up` clears what it
left), no QEMU, keeper or overlay is left behind; where something survives a
stop, the stop fails and says what.
"""
import argparse
import fcntl
import json
import os
import secrets
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BOOT_SECONDS = 120         # from QEMU's start to the agent's first answer
AGENT_SECONDS = 30         # for any one answer of the agent after that
STOP_SECONDS = 30          # for the keeper to stop QEMU and clear up
EXEC_SLACK = 30            # past a command's limit, before the host gives up on the guest's `timeout`
# What `exec` may take past its limit at most: the slack, one agent call (the
# agent's lock, then its answer) and a stop (the keeper, then QEMU, 10 s each).
EXEC_BOUND = EXEC_SLACK + 2 * AGENT_SECONDS + STOP_SECONDS + 20 + 10
OVERLAY_GIB = 2            # what a run writes to its overlay stays well below
CONSOLE_TAIL = 60          # lines of the guest's console shown on a failure
GUEST_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
GUEST_IO = "/run/io"       # where the session's io/ folder appears in the guest


def say(text):
    print(f"guest: {text}", flush=True)


class Failure(Exception):
    pass


class Interrupted(BaseException):
    """A signal that ends this run; its number is the exit status's."""


STOP_SIGNALS = {signal.SIGTERM, signal.SIGHUP, signal.SIGINT}


def on_signals(handler):
    for sig in STOP_SIGNALS:
        signal.signal(sig, handler)


def interrupt(number, _):
    raise Interrupted(number)


# --- processes, named by pid and start time -----------------------------------

def proc_stat(pid):
    """The fields of /proc/PID/stat after the command name (state first), or
    None where there is no such process."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(") ", 1)[1].split()
    except (OSError, IndexError):
        return None


def identify(pid):
    """[pid, start time] of a live process, or None."""
    stat_ = proc_stat(pid)
    return [pid, stat_[19]] if stat_ and stat_[0] not in "ZX" else None


def running(process):
    """Whether `process` ([pid, start]) is still the one that started then,
    and alive: a zombie counts as gone."""
    return bool(process) and identify(process[0]) == list(process)


def send(process, sig):
    """Signals `process` through a pidfd taken while its start time still
    matched, so that a pid freed meanwhile is never signalled. Returns
    whether it was."""
    if not process:
        return False
    try:
        fd = os.pidfd_open(process[0])
    except OSError:
        return False
    try:
        if running(process):
            signal.pidfd_send_signal(fd, sig)
            return True
        return False
    except (ProcessLookupError, PermissionError):  # it ended meanwhile, or is not ours to stop
        return False
    finally:
        os.close(fd)


def wait_gone(process, seconds):
    deadline = time.monotonic() + seconds
    while running(process) and time.monotonic() < deadline:
        try:  # reap it where it is our own child
            os.waitpid(process[0], os.WNOHANG)
        except ChildProcessError:
            pass
        time.sleep(0.1)
    return not running(process)


def describe(process):
    try:
        cmdline = Path(f"/proc/{process[0]}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        cmdline = ""
    cmdline = " ".join(cmdline.split())[:80]
    return f"pid {process[0]}" + (f": {cmdline}" if cmdline else "")


# --- the guest agent -----------------------------------------------------------

class Agent:
    """qemu-guest-agent over the guest's virtio-serial port, whose socket QEMU
    made in the session folder. QEMU takes one client at a time, so each call
    connects under the session's agent lock, and two commands may run in one
    guest side by side."""

    def __init__(self, session, timeout=AGENT_SECONDS):
        self.session, self.timeout = session, timeout

    def call(self, command, **arguments):
        with open(self.session.dir / "agent.lock", "w") as lock:
            deadline = time.monotonic() + self.timeout
            while True:  # bounded, as every wait of an exec is
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() > deadline:
                        raise Failure(f"another client held the guest agent for {self.timeout} s")
                    time.sleep(0.05)
            # Both closed on the way out, also by a signal: QEMU takes the next
            # client only once this one is gone.
            with socket.socket(socket.AF_UNIX) as sock, sock.makefile("rwb") as stream:
                sock.settimeout(self.timeout)
                sock.connect(self.session.socket_path())
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
        self.io = self.dir / "io"
        self.console = self.dir / "console.log"
        self.keeper_log = self.dir / "keeper.log"
        self.overlay = self.dir / "overlay.qcow2"
        self.state_file = self.dir / "state"
        self.dir_fd = None

    def socket_path(self):
        """The agent's socket by a short path: a session's own may be longer
        than a socket's path can be."""
        if self.dir_fd is None:
            self.dir_fd = os.open(self.dir, os.O_RDONLY | os.O_DIRECTORY)
        return f"/proc/self/fd/{self.dir_fd}/agent.sock"

    def state(self):
        """{"owner", "keeper", "qemu": [pid, start]}, as the keeper wrote it."""
        try:
            state = json.loads(self.state_file.read_text())
            return state if isinstance(state, dict) else {}
        except (OSError, ValueError):
            return {}

    def write_state(self, **state):
        partial = self.dir / "state.partial"
        partial.write_text(json.dumps(state) + "\n")
        partial.replace(self.state_file)

    def qemu_alive(self):
        return running(self.state().get("qemu"))

    def lock(self, wait=True):
        """The session's lock: held by `up` while it boots and by the keeper
        while the guest lives. Waits its turn with a line, or returns None."""
        self.dir.mkdir(parents=True, exist_ok=True)
        lock = open(self.dir / "lock", "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return lock
        except BlockingIOError:
            if not wait:
                lock.close()
                return None
        owner = self.state().get("owner")
        say(f"another run ({describe(owner) if running(owner) else 'starting'}) is using the guest of "
            f"{self.dir}; waiting for it to end")
        fcntl.flock(lock, fcntl.LOCK_EX)
        return lock

    def clear(self):
        """Removes what a guest leaves: its overlay, socket, io folder and
        state. Its keeper does this as it ends, and `up` after a keeper that
        was killed; only with the session's lock held."""
        for name in ("overlay.qcow2", "agent.sock", "state", "state.partial"):
            (self.dir / name).unlink(missing_ok=True)
        remove_own_folder(self.io)

    def console_tail(self):
        if not self.console.exists():
            return "(no console output)"
        lines = self.console.read_bytes().decode("utf-8", "replace").splitlines()
        return "\n".join(f"  | {line}" for line in lines[-CONSOLE_TAIL:]) or "(no console output)"

    def fail(self, what, kind=Failure):
        said = self.keeper_log.read_text(errors="replace").strip() if self.keeper_log.exists() else ""
        raise kind(f"{what}\n" + (f"QEMU and its keeper said:\n{said}\n" if said else "")
                   + f"the guest's console, last lines ({self.console}):\n{self.console_tail()}")


def remove_own_folder(folder):
    """Removes `folder` where it is a folder of this user's, not a link; what
    the guest put inside goes with it, links unfollowed."""
    try:
        info = os.lstat(folder)
    except FileNotFoundError:
        return
    if stat.S_ISDIR(info.st_mode) and info.st_uid == os.getuid():
        shutil.rmtree(folder)


def qemu_command(session, disk, image, shares, writes):
    """Boots the image's kernel on `disk` with no network; the agent's port
    and the 9p shares (io/ first) are the only ways in. What the guest may
    write, it writes as files: it cannot make a device or a link that the
    host would then follow."""
    def quoted(path):  # QEMU doubles commas in option values
        return str(path).replace(",", ",,")
    command = [
        "qemu-system-x86_64", "-name", "tovu-guest", "-nodefaults", "-display", "none", "-no-reboot",
        "-accel", "tcg,thread=multi",
        # QEMU 7.2's TCG oopses the guest kernel on an iret into 32-bit code with SMAP.
        "-cpu", "max,smap=off", "-smp", "2", "-m", "4096",
        "-kernel", quoted(image / "vmlinuz"), "-initrd", quoted(image / "initrd.img"),
        "-append", "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/sbin/tovu-init",
        # A full host disk is an error the guest sees, not a guest paused for ever.
        "-drive", f"file={quoted(disk)},if=virtio,format={'qcow2' if disk.suffix == '.qcow2' else 'raw'},"
                  "cache=unsafe,werror=report,rerror=report",
        "-serial", f"file:{quoted(session.console)}", "-monitor", "none",
        "-device", "virtio-serial-pci",
        # relative to QEMU's folder, the session's
        "-chardev", "socket,id=agent,path=agent.sock,server=on,wait=off",
        "-device", "virtserialport,chardev=agent,name=org.qemu.guest_agent.0",
    ]
    for tag, path, writable in [("io", session.io, True)] + shares + writes:
        model = "mapped-file,fmode=0644,dmode=0755" if writable else "none,readonly=on"
        command += ["-fsdev", f"local,id={tag},path={quoted(path)},security_model={model}",
                    "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}"]
    return command


def find_image(release):
    """The image image.sh built for this checkout; `up` never builds one: that
    takes minutes, and may ask for a password."""
    found = subprocess.run([str(HERE / "image.sh"), "--cached", release], stdout=subprocess.PIPE, text=True)
    image = Path(found.stdout.strip() or "/nonexistent")
    if found.returncode or not (image / "ready").exists():
        raise Failure(f"no {release} guest image is built for this checkout; build it with "
                      f"scripts/guest/image.sh {release} (about 5 min; scripts/test.sh and scripts/demo.sh do that "
                      "themselves)")
    unreadable = [p.name for p in (image / "vmlinuz", image / "initrd.img", image / "disk.img")
                  if not os.access(p, os.R_OK)]
    if unreadable:
        raise Failure(f"the guest image {image} is not readable by this user ({', '.join(unreadable)}); "
                      "rebuild it as this user, or set TOVU_GUEST_CACHE to a folder of your own")
    return image


class KernelPanic(Failure):
    """The guest's kernel panicked before the agent answered."""


def boot(*args, **kwargs):
    """Starts the guest under a keeper of its own, which stops it when `down`
    or a signal asks, or when `owner` is gone. Returns once the agent answers;
    a guest that does not, or a signal meanwhile, stops it. Only the image's
    own build writes to the image (`writable`); a run writes to an overlay of
    its own, which goes with the guest.
    A kernel that panics as it boots gets one more try: under TCG, Debian 13's
    kernel has been seen to panic now and then on a breakpoint of its own
    code patching, a fault of the emulation, not of the image."""
    try:
        boot_once(*args, **kwargs)
    except KernelPanic as panic:
        said = next(line for line in str(panic).splitlines() if "Kernel panic" in line)
        say(f"the guest's kernel panicked while it booted ({said.strip(' |')}); booting it once more")
        boot_once(*args, **kwargs)


def boot_once(session, shares, writes, owner, image=None, writable=False, limit=BOOT_SECONDS,
              release="bookworm"):
    lock = session.lock()
    try:
        clear_after_killed_keeper(session)
    except BaseException:  # what names a survivor stays
        lock.close()
        raise
    keeper = None
    try:
        if not shutil.which("qemu-system-x86_64"):
            raise Failure("qemu-system-x86_64 is not installed (scripts/setup.sh guest)")
        free = shutil.disk_usage(session.dir).free // 2**30
        if not writable and free < OVERLAY_GIB:
            raise Failure(f"needs {OVERLAY_GIB} GiB free in {session.dir} for what the guest writes, has {free} GiB")
        image = Path(image or find_image(release)).resolve()
        for name in ("console.log", "keeper.log"):
            (session.dir / name).unlink(missing_ok=True)
        session.io.mkdir(mode=0o700)
        shares = [(f"share{n}", Path(p).resolve(), False) for n, p in enumerate(shares)]
        writes = [(f"write{n}", Path(p).resolve(), True) for n, p in enumerate(writes)]
        for _, path, _ in writes:
            path.mkdir(parents=True, exist_ok=True)
        # The guest mounts each at its path, outer folders first.
        (session.io / "shares").write_text("".join(f"{tag} {path}\n" for tag, path, _ in
                                                   sorted(shares + writes, key=lambda s: len(s[1].parts))))
        disk = image / "disk.img"
        if not writable:
            made = subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b", str(disk),
                                   str(session.overlay)], stderr=subprocess.PIPE, text=True)
            if made.returncode:
                raise Failure(f"qemu-img could not make the overlay {session.overlay}: {made.stderr.strip()}")
            disk = session.overlay
        command = qemu_command(session, disk, image, shares, writes)

        started = time.monotonic()
        # Held back until each side knows its part: the keeper its handlers,
        # `up` the keeper's pid, which a signal then stops.
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                status = keep(session, command, owner, lock)
            finally:  # the child never goes back into the caller's code
                os._exit(status)
        keeper = identify(pid)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
        lock.close()
        while True:
            if time.monotonic() > started + limit:
                session.fail(f"the guest did not answer within {limit} s of its start")
            if os.waitpid(pid, os.WNOHANG)[0]:
                keeper = None
                if "Kernel panic" in session.console_tail():
                    session.fail("the guest's kernel panicked while it booted", KernelPanic)
                session.fail("the guest ended while it booted")
            if session.qemu_alive() and (session.dir / "agent.sock").exists():
                try:
                    Agent(session, timeout=5).call("guest-ping")
                    break
                except (OSError, Failure):
                    pass
            time.sleep(0.5)
        say(f"booted in {time.monotonic() - started:.0f} s (image {image})")
    except BaseException:
        if keeper:
            stop_keeper(session, keeper, session.state().get("qemu"))
        elif not lock.closed:
            session.clear()
        raise
    finally:
        lock.close()


def keep(session, command, owner, lock):
    """The guest's keeper, in a session of its own so that it outlives `up`;
    returns its exit status."""
    os.setsid()
    log = os.open(session.keeper_log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o644)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    stopping = []
    on_signals(lambda number, _: stopping.append(signal.Signals(number).name))
    signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    keeper = os.getpid()

    def die_with_keeper():  # QEMU must not outlive its keeper, even a killed one
        import ctypes
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if os.getppid() != keeper:
            os._exit(1)
    qemu = None
    try:
        qemu = subprocess.Popen(command, cwd=session.dir, stdin=subprocess.DEVNULL, preexec_fn=die_with_keeper)
        session.write_state(owner=owner, keeper=identify(keeper), qemu=identify(qemu.pid))
        why = None
        while qemu.poll() is None and why is None:
            if stopping:
                why = f"stopped by {stopping[0]}"
            elif not running(owner):
                why = f"its owner (pid {owner[0]}) is gone"
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
        return 0
    except BaseException as error:
        print(f"the keeper failed: {type(error).__name__}: {error}", flush=True)
        if qemu and qemu.poll() is None:
            qemu.kill()
            qemu.wait()
        return 1
    finally:
        session.clear()
        lock.close()


def clear_after_killed_keeper(session):
    """With the session's lock held no keeper lives; a QEMU whose keeper was
    killed dies with it, but is made sure of. Then what they left goes."""
    qemu = session.state().get("qemu")
    if send(qemu, signal.SIGKILL):
        if not wait_gone(qemu, 10):
            raise Failure(f"QEMU of a killed keeper still runs ({describe(qemu)}); stop it, then try again")
    session.clear()


def stop_keeper(session, keeper, qemu):
    """Asks the keeper to stop its guest and waits for that; a keeper that
    does not stop is killed, and its QEMU with it. `qemu` is the one read
    before: once the keeper is gone, the state may be a new run's."""
    if send(keeper, signal.SIGTERM) and not wait_gone(keeper, STOP_SECONDS) and send(keeper, signal.SIGKILL):
        wait_gone(keeper, 10)
    if send(qemu, signal.SIGKILL):
        wait_gone(qemu, 10)
    left = [f"{what} ({describe(p)})" for what, p in (("its keeper", keeper), ("QEMU", qemu)) if running(p)]
    if left:
        raise Failure(f"the guest of {session.dir} did not stop: {' and '.join(left)} still run; "
                      f"what names them stays in {session.state_file}")
    lock = session.lock(wait=False)
    if lock:  # a keeper killed outright cleared nothing; a new `up` would hold the lock
        with lock:
            session.clear()


def stop(session, owner, force=False):
    """Stops the guest of a session, where `owner` owns it (or `force`).
    Returns whether one was up; fails where something survived."""
    state = session.state()
    keeper, qemu = state.get("keeper"), state.get("qemu")
    if not running(keeper) and not running(qemu):
        lock = session.lock(wait=False)
        if lock:
            with lock:
                session.clear()
        return False
    if not force and state.get("owner") != owner and running(state.get("owner")):
        raise Failure(f"the guest of {session.dir} belongs to another run ({describe(state['owner'])}); "
                      f"left running (`guest.py down --force --session {session.dir}` stops it anyway)")
    stop_keeper(session, keeper, qemu)
    return True


def owned_guest(session, owner):
    """The state of the guest up in `session` for `owner`, or a failure in one
    line. What an exec does after this concerns that guest only, even where
    it ends and another run's boots in its folder."""
    state = session.state()
    if not running(state.get("qemu")) or not (session.dir / "agent.sock").exists():
        raise Failure(f"no guest is up for {session.dir} (its `up` failed, or it has ended; "
                      f"its console: {session.console})")
    if state.get("owner") != owner:
        raise Failure(f"the guest of {session.dir} belongs to another run "
                      f"({describe(state['owner']) if running(state.get('owner')) else 'ended'})")
    return state


def stop_own(session, guest):
    """Stops the guest that `guest` (a state read before) names, if it still runs."""
    if running(guest.get("keeper")) or running(guest.get("qemu")):
        stop_keeper(session, guest.get("keeper"), guest.get("qemu"))


def run_in_guest(session, owner, command, timeout, cwd):
    """Runs `command` in the guest; returns its exit status. Its output goes to
    a file in io/, shown here as it grows."""
    guest = owned_guest(session, owner)
    output = Output(session.io)
    script = 'exec >>"$OUT" 2>&1; cd "$1" && shift && exec timeout -k 10 "$@"'
    env = [f"PATH={GUEST_PATH}", "HOME=/root", "LANG=C.UTF-8", f"OUT={GUEST_IO}/{output.name}"]
    env += [f"{k}={v}" for k, v in os.environ.items() if k == "CI" or k.startswith("TOVU_E2E")]
    agent = Agent(session)
    try:
        pid = agent.call("guest-exec", path="/bin/sh", env=env,
                         arg=["-c", script, "sh", cwd, str(timeout), *command])["pid"]
    except (OSError, Failure) as error:  # it may have started, with no pid to end it by
        stop_own(session, guest)
        session.fail(f"the guest did not take the command: {error}; the guest is stopped")
    except Interrupted:
        stop_own(session, guest)
        raise
    started = time.monotonic()
    deadline = started + timeout + EXEC_SLACK
    status = None
    try:
        while status is None:
            alive = running(guest["qemu"])
            output.show()  # after the look at QEMU: a dying guest's last words are shown
            if time.monotonic() > deadline:
                stop_own(session, guest)
                session.fail(f"the guest did not end the command within {timeout} s; the guest is stopped")
            if not alive:
                session.fail("the guest ended while the command ran")
            try:
                reply = agent.call("guest-exec-status", pid=pid)
            except (OSError, Failure) as error:
                if wait_gone(guest["qemu"], 5):
                    continue  # the loop shows what it wrote last, then says that it ended
                stop_own(session, guest)
                session.fail(f"the guest stopped answering: {error}; the guest is stopped")
            if reply["exited"]:
                status = reply.get("exitcode", 128 + reply.get("signal", 0))
            else:
                time.sleep(0.25)
    except Interrupted as signalled:
        output.show()
        end_in_guest(session, guest, agent, pid)
        say(f"interrupted by {signal.Signals(signalled.args[0]).name}; the command is ended in the guest")
        return 128 + signalled.args[0]
    output.show()
    output.close()
    timed_out = time.monotonic() - started >= timeout
    if status == 137 and timed_out:
        status = 124  # `timeout` had to kill it after its TERM
    if status == 124 and timed_out:
        stop_own(session, guest)
        say(f"the command took longer than {timeout} s; it and the guest are stopped, "
            "so that what it left running cannot spoil the next command")
    return status


def end_in_guest(session, guest, agent, pid):
    """Kills a command's process group in the guest (`timeout` leads one of
    its own) and waits for its end; where the guest does not do that, stops
    the guest, so that nothing of it overlaps the next command."""
    on_signals(signal.SIG_IGN)  # a second Ctrl-C must not cut this short
    try:
        if running(guest["qemu"]):
            agent.call("guest-exec", path="/bin/sh", arg=["-c", f"kill -KILL -{pid}"])  # dash: no "--"
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and running(guest["qemu"]):
                if agent.call("guest-exec-status", pid=pid)["exited"]:
                    return
                time.sleep(0.25)
    except (OSError, Failure, KeyError, TypeError):
        pass
    stop_own(session, guest)


class Output:
    """What a command writes to its file in io/, shown here as it grows. The
    host makes the file under a name nobody could have guessed and opens it
    before the command starts, so that it reads that file and no other, and
    goes on reading what a dying guest wrote last after its keeper cleared io/."""

    def __init__(self, folder):
        self.name = f"exec-{secrets.token_hex(8)}.log"
        self.path = folder / self.name
        self.file = os.fdopen(os.open(self.path, os.O_RDONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644), "rb")

    def show(self):
        data = self.file.read()
        if data:
            sys.stdout.buffer.write(data)
            sys.stdout.flush()

    def close(self):
        self.file.close()
        self.path.unlink(missing_ok=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=["up", "exec", "down", "run"])
    parser.add_argument("--session", required=True)
    parser.add_argument("--share", action="append", default=[], help="a host folder the guest reads")
    parser.add_argument("--write", action="append", default=[], help="a host folder the guest writes")
    parser.add_argument("--owner", type=int, help="the process whose run this is (default: the caller)")
    parser.add_argument("--force", action="store_true", help="down: stop another run's guest too")
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("--boot-seconds", type=int, default=BOOT_SECONDS)
    parser.add_argument("--cwd", default=os.getcwd())
    parser.add_argument("--image", help="boot this image folder instead of image.sh's")
    parser.add_argument("--release", default="bookworm", choices=["bookworm", "trixie"],
                        help="the Debian release of image.sh's image")
    parser.add_argument("--writable", action="store_true", help="write to the image itself (its build)")
    argv = sys.argv[1:]
    command = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:len(argv) - len(command) - (1 if command else 0)])
    session = Session(args.session)
    owner = identify(os.getpid() if args.action == "run" else args.owner or os.getppid())
    on_signals(interrupt)
    try:
        if owner is None:
            raise Failure(f"no process {args.owner} to own the guest")
        if args.action == "up":
            boot(session, args.share, args.write, owner, image=args.image, limit=args.boot_seconds,
                 release=args.release)
            return 0
        if args.action == "down":
            if stop(session, owner, args.force):
                say("down")
            return 0
        if args.action == "exec":
            return run_in_guest(session, owner, command, args.timeout, args.cwd)
        boot(session, args.share, args.write, owner, image=args.image, writable=args.writable,
             limit=args.boot_seconds, release=args.release)
        try:
            return run_in_guest(session, owner, command, args.timeout, args.cwd)
        finally:
            on_signals(signal.SIG_IGN)  # the guest goes down whatever comes now
            stop(session, owner)
    except Failure as failure:
        print(f"guest: {failure}", file=sys.stderr, flush=True)
        return 1
    except Interrupted as signalled:
        return 128 + signalled.args[0]
    except Exception as error:  # one line, not a traceback: what failed, and where to look
        print(f"guest: {args.action} failed: {type(error).__name__}: {error}", file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
