"""Shared helpers for the black-box tests: run the built kelp-capture as a user would.

The binary under test comes from the environment:
  KELP_BINARY  path of kelp-capture (or kelp-capture.exe)
  KELP_RUNNER  optional program that runs it (the Wine wrapper for the .exe)

Every run happens in a fresh temporary folder, so `captures/` is the run's own. Serial peers are
pseudo-terminals: the test holds the master and plays the device, the tool opens the slave. Under
Wine the slave is reached through a COM name (COM40 and up) that the harness links to it.
"""

import errno
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest

BINARY = os.environ.get("KELP_BINARY", "")
RUNNER = os.environ.get("KELP_RUNNER", "")
ON_WINE = BINARY.lower().endswith(".exe")
SEP = "\\" if ON_WINE else "/"

if not BINARY:
    raise unittest.SkipTest("KELP_BINARY is not set: nothing to test")

if ON_WINE:
    os.environ.setdefault("WINEDEBUG", "-all")
    os.environ.setdefault("WINEPREFIX", "/tmp/kelp-wine-%d" % os.getuid())


def command(args, wrapper=()):
    """The command line that runs the tool; `wrapper` goes in front (e.g. unshare, a shell)."""
    base = [RUNNER] if RUNNER else (["wine"] if ON_WINE else [])
    return list(wrapper) + base + [BINARY] + list(args)


def wait_until(predicate, timeout=20.0, interval=0.02):
    """Polls until predicate() is true; returns its last value. Generous deadlines: CI is small."""
    deadline = time.monotonic() + timeout
    value = predicate()
    while not value and time.monotonic() < deadline:
        time.sleep(interval)
        value = predicate()
    return value


class Workdir:
    """A fresh working folder for one run of the tool."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="kelp-e2e-")

    @property
    def captures(self):
        return os.path.join(self.path, "captures")

    def files(self):
        """Names in captures/, sorted; [] when the folder does not exist."""
        try:
            return sorted(os.listdir(self.captures))
        except FileNotFoundError:
            return []

    def matching(self, pattern):
        return [name for name in self.files() if re.fullmatch(pattern, name)]

    def read(self, name):
        with open(os.path.join(self.captures, name), "rb") as f:
            return f.read()

    def only(self, pattern):
        names = self.matching(pattern)
        if len(names) != 1:
            raise AssertionError("expected one file matching %r, found %r" % (pattern, self.files()))
        return names[0], self.read(names[0])

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Result:
    def __init__(self, status, stdout, stderr, workdir):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.workdir = workdir


def run(args, workdir=None, timeout=60, stdin=subprocess.DEVNULL, wrapper=(), **popen_args):
    """Runs the tool to its end and gives status, stdout and stderr (bytes).

    The output goes through files, not pipes: under Wine a wineserver that the run happens to
    start inherits the streams and would hold a pipe open long after the program ended.
    """
    workdir = workdir or Workdir()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(command(args, wrapper), cwd=workdir.path, stdin=stdin, stdout=out,
                              stderr=err, timeout=timeout, **popen_args)
        out.seek(0)
        err.seek(0)
        return Result(proc.returncode, out.read(), err.read(), workdir)


def run_on_terminal(args, columns=80, rows=24, stderr_too=False, workdir=None, timeout=60):
    """Runs the tool to its end with a pseudo-terminal of that size as its stdout (and stderr
    when `stderr_too`, else a file): gives status, the bytes the terminal got as stdout (after
    the tty's output processing: an LF arrives as CR LF), stderr, and the workdir."""
    workdir = workdir or Workdir()
    master, slave = pty.openpty()
    try:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        with tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(command(args), cwd=workdir.path, stdin=subprocess.DEVNULL,
                                    stdout=slave, stderr=slave if stderr_too else err,
                                    env=dict(os.environ, TERM="xterm"), start_new_session=True)
            os.close(slave)
            slave = None
            shown = bytearray()
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.2)
                if not ready:
                    continue
                try:
                    chunk = os.read(master, 65536)
                except OSError as e:  # EIO: every holder of the slave has closed it
                    if e.errno != errno.EIO:
                        raise
                    break
                if not chunk:
                    break
                shown.extend(chunk)
            else:
                os.killpg(proc.pid, signal.SIGKILL)
                raise AssertionError("the tool did not end within %s s on a terminal; it showed:"
                                     "\n%r" % (timeout, bytes(shown[-2000:])))
            status = proc.wait(timeout)
            err.seek(0)
            return Result(status, bytes(shown), err.read(), workdir)
    finally:
        os.close(master)
        if slave is not None:
            os.close(slave)


class Tool:
    """The tool running in the background; its output is collected as it comes."""

    def __init__(self, args, workdir=None, wrapper=(), **popen_args):
        self.workdir = workdir or Workdir()
        self._out = bytearray()
        self._err = bytearray()
        self._lock = threading.Lock()
        self.proc = subprocess.Popen(command(args, wrapper), cwd=self.workdir.path, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True, **popen_args)
        self._readers = [threading.Thread(target=self._pump, args=(self.proc.stdout, self._out)),
                         threading.Thread(target=self._pump, args=(self.proc.stderr, self._err))]
        for reader in self._readers:
            reader.daemon = True
            reader.start()

    def _pump(self, stream, sink):
        while True:
            chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(65536)
            if not chunk:
                return
            with self._lock:
                sink.extend(chunk)

    @property
    def stdout(self):
        with self._lock:
            return bytes(self._out)

    @property
    def stderr(self):
        with self._lock:
            return bytes(self._err)

    def wait_stdout(self, needle, timeout=20.0, count=1):
        """Waits until stdout holds `needle` (bytes) `count` times; gives stdout."""
        if not wait_until(lambda: self.stdout.count(needle) >= count or self.proc.poll() is not None,
                          timeout):
            raise AssertionError("timed out waiting for %r in stdout:\n%r\nstderr:\n%r"
                                 % (needle, self.stdout, self.stderr))
        out = self.stdout
        if out.count(needle) < count:
            # The process ended; let the readers drain the pipes before looking again.
            self.wait(timeout)
            out = self.stdout
            if out.count(needle) < count:
                raise AssertionError("the tool ended (status %r) without %r in stdout:\n%r\n"
                                     "stderr:\n%r" % (self.proc.returncode, needle, out, self.stderr))
        return out

    def wait_stderr(self, needle, timeout=20.0):
        if not wait_until(lambda: needle in self.stderr or self.proc.poll() is not None, timeout):
            raise AssertionError("timed out waiting for %r in stderr:\n%r" % (needle, self.stderr))
        if needle not in self.stderr:
            self.wait(timeout)
        if needle not in self.stderr:
            raise AssertionError("no %r in stderr:\n%r" % (needle, self.stderr))
        return self.stderr

    def interrupt(self):
        """Ctrl+C."""
        os.kill(self.proc.pid, signal.SIGINT)

    def wait(self, timeout=30.0):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("the tool did not end within %s s; stdout:\n%r\nstderr:\n%r"
                                 % (timeout, self.stdout, self.stderr))
        for reader in self._readers:
            reader.join(timeout)
        return status

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()


# What the parent sees from a program that Ctrl+C ended: death by SIGINT on POSIX; on Windows the
# status STATUS_CONTROL_C_EXIT (0xC000013A), of which Wine passes on the low byte.
class _AnyOf:
    """Equal to any of a few exit statuses (compared with ==, as assertEqual does)."""

    def __init__(self, *statuses):
        self.statuses = statuses

    def __eq__(self, other):
        return other in self.statuses

    def __repr__(self):
        return "any of %r" % (self.statuses,)


# Wine ends the process itself after ExitProcess, and now and then does so with SIGKILL
# instead of passing the status on; what the tool wrote before is the same either way.
INTERRUPTED_STATUS = _AnyOf(0x3A, -signal.SIGKILL) if ON_WINE else -signal.SIGINT


# --- serial peers ---------------------------------------------------------------------------

_next_com = [40]


def _wine_dosdevices():
    path = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
    os.makedirs(path, exist_ok=True)
    return path


def map_com_port(device_path):
    """Links a fresh COM name to a device for the Windows build; gives the name."""
    number = _next_com[0]
    _next_com[0] += 1
    link = os.path.join(_wine_dosdevices(), "com%d" % number)
    try:
        os.unlink(link)
    except FileNotFoundError:
        pass
    os.symlink(device_path, link)
    return "COM%d" % number


class PtyPeer:
    """A pseudo-terminal whose master the test holds; the tool opens `port_name`.

    The slave is left as openpty made it (cooked): a termios call on the master would act on the
    slave too and hide a tool that forgot to make its port raw.
    """

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.slave_path = os.ttyname(self.slave)
        # The test keeps no handle on the slave, so the tool's closing it is a real hang-up.
        os.close(self.slave)
        self.slave = None
        os.set_blocking(self.master, False)
        self.port_name = map_com_port(self.slave_path) if ON_WINE else self.slave_path
        self.received = bytearray()

    def write(self, data):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.master, view)
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.master], [], 1.0)

    def _pull(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            chunk = os.read(self.master, 65536)
        except BlockingIOError:
            return False
        except OSError as e:  # EIO: nobody holds the slave (yet, or any more)
            if e.errno == errno.EIO:
                time.sleep(min(timeout, 0.02))
                return False
            raise
        self.received.extend(chunk)
        return bool(chunk)

    def read_exactly(self, n, timeout=20.0):
        """Waits for n more bytes than were taken so far; gives them."""
        deadline = time.monotonic() + timeout
        while len(self.received) < n and time.monotonic() < deadline:
            self._pull(min(0.1, max(0.0, deadline - time.monotonic())))
        data = bytes(self.received[:n])
        del self.received[:n]
        if len(data) < n:
            raise AssertionError("expected %d bytes from the tool, got %r" % (n, data))
        return data

    def read_for(self, seconds):
        """Everything that arrives within `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._pull(max(0.0, deadline - time.monotonic()))
        data = bytes(self.received)
        self.received.clear()
        return data

    def opened(self):
        """True once someone holds the slave open (the master then stops failing with EIO)."""
        try:
            attrs = termios.tcgetattr(self.master)
        except termios.error:
            return False
        return attrs is not None

    def baud(self):
        """The line speed the slave was last set to, in bits per second."""
        speed = termios.tcgetattr(self.master)[5]
        for name in dir(termios):
            if name.startswith("B") and name[1:].isdigit() and getattr(termios, name) == speed:
                return int(name[1:])
        return speed

    def close(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class PluggablePeer:
    """A PtyPeer behind a link of the test's own, as an adapter behind its port name: `pull()`
    closes the master (the tool's port hangs up, as when the cable is pulled out) and removes the
    name, as a pulled adapter's device vanishes; `plug()` puts a new pseudo-terminal behind the
    same name. Linux only: Wine does not report a hang-up.

    While the adapter is out, the tool finds no port by that name. It never reaches the freed
    pseudo-terminal, whose number the system may hand to another test running beside this one."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="kelp-plug-")
        self.port_name = os.path.join(self.folder, "adapter")
        self.plug()

    def plug(self):
        self.peer = PtyPeer()
        os.symlink(self.peer.slave_path, self.port_name + ".new")
        os.replace(self.port_name + ".new", self.port_name)

    def pull(self):
        self.peer.close()
        try:
            os.unlink(self.port_name)
        except FileNotFoundError:
            pass

    def close(self):
        self.peer.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def held_open(pid, path):
    """True when the process holds `path` open (Linux)."""
    fds = "/proc/%d/fd" % pid
    return any(os.path.realpath(os.path.join(fds, fd)) == path for fd in os.listdir(fds))


# --- UDP peers ------------------------------------------------------------------------------

def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_tcp_port():
    """A TCP port on 127.0.0.1 that nothing listens on now (the tool is then told to use it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class UdpSender:
    """Sends datagrams to 127.0.0.1 from one fixed source port."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]

    def send(self, port, payload):
        self.sock.sendto(payload, ("127.0.0.1", port))

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_for_udp_listener(tool, port, timeout=20.0):
    """Waits until the tool's banner is out (it binds right after printing it)."""
    tool.wait_stdout(b"=" * 60 + b"\n\n", timeout)
    # The bind follows the banner at once; give it a moment, and under Wine a little more.
    time.sleep(0.5 if ON_WINE else 0.1)


LOG_STAMP = r"\d{8}_\d{6}(_\d+)?"
EVENT_TIME = rb"\d\d:\d\d:\d\d\.\d\d\d"


def skip_on_wine(reason):
    return unittest.skipIf(ON_WINE, "not under Wine: " + reason)


_wine_server_is_ours = False


def _wine_step(*args):
    """One Wine command with its streams going nowhere (a server or service that held the test
    runner's pipes open would keep the runner waiting for the end of output long after the tests
    ended); gives its status, None if it did not end in time."""
    try:
        return subprocess.run(args, check=False, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120).returncode
    except subprocess.TimeoutExpired:
        return None


def _wine_server():
    """The Wine server of this prefix as "pid start-time", None when none runs. The server works
    in a folder named after the prefix's device and inode number."""
    prefix = os.stat(os.environ["WINEPREFIX"])
    folder = "server-%x-%x" % (prefix.st_dev, prefix.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            name, rest = stat[stat.index("(") + 1:].rsplit(")", 1)
            if name.startswith("wineserver") and \
                    os.path.basename(os.readlink("/proc/%s/cwd" % entry)) == folder:
                return "%s %s" % (entry, rest.split()[19])  # field 22 of stat: the start time
        except (OSError, ValueError, IndexError):
            continue
    return None


def _suite_server_file():
    return os.path.join(os.environ["WINEPREFIX"], "kelp-e2e-wineserver")


def _suite_server_runs():
    """True when the running server is one that start_wine started, in this run of the tests or
    an earlier one (CTest runs each test file in a program of its own, one after the other)."""
    try:
        with open(_suite_server_file()) as f:
            recorded = f.read()
    except FileNotFoundError:
        return False
    return recorded == _wine_server()


def start_wine():
    """Makes sure a wineserver of the suite's own runs, so each run does not pay for Wine's
    start-up and Wine's services never start on the side of a test's run.

    A server that some other program started (a unit test under Wine, say) ends a few seconds
    after its last program, and the program after it would start a new one: its services would
    keep that program's streams open. So a server that is not the suite's own is waited out first.
    A server that the suite started for an earlier test file stays up for a minute after its last
    program, and is taken over as it is.
    """
    global _wine_server_is_ours
    if not ON_WINE:
        return
    # -p60: stays up for a minute after the last program; 0 = started now, 2 = already running.
    started = _wine_step("wineserver", "-p60") == 0
    if not started and not _wine_server_is_ours and _suite_server_runs():
        _wine_server_is_ours = True
    for _ in range(5):
        if started or _wine_server_is_ours:
            break
        _wine_step("wineserver", "-w")
        started = _wine_step("wineserver", "-p60") == 0
    if started or not _wine_server_is_ours:
        # The first program on a new server also starts Wine's services, which keep that
        # program's streams: let Wine's own start-up be that program, not a test's run.
        _wine_step("wineboot")
    if started:
        with open(_suite_server_file(), "w") as f:
            f.write(_wine_server() or "")
    _wine_server_is_ours = True


if __name__ == "__main__":
    # Under Wine CTest runs this before any test program: the suite's Wine server is then the one
    # every test program runs on.
    start_wine()
