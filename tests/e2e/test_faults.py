"""Faults around a running capture: capture files that cannot be created or written, a console
reader that goes away or reads slowly, and datagrams built to break the rendering or to take over
the engineer's terminal. Whatever happens, `udp` keeps receiving and showing every datagram, never
crashes, and every byte it could write is in its files."""

import os
import random
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness
import sim_device
from harness import (EVENT_TIME, LOG_STAMP, ON_WINE, PtyPeer, Tool, UdpSender, free_udp_port,
                     run)

BIN = r"udp_(\d{4,})_\d{6}(_\d+)?\.bin"
LOG = r"udp_%s\.log" % LOG_STAMP
BANNER_END = b"=" * 60 + b"\n\n"


def setUpModule():
    harness.start_wine()


# --- what the files and the console must hold ---------------------------------------------------

def record(number, time_text, source, payload):
    """One log record, byte for byte."""
    return (b"--- #%d at %s from udp/%s (%d bytes) ---\n" % (number, time_text, source,
                                                             len(payload))
            + b"RAW_TEXT: " + payload.decode("utf-8", "replace").encode("utf-8") + b"\n"
            + b"RAW_HEX: " + payload.hex(" ").encode() + b"\n\n")


def escaped(payload):
    """The TEXT line of a datagram: C0 and C1 controls as \\xNN, LF and CR as \\n and \\r."""
    out = []
    for ch in payload.decode("utf-8", "replace"):
        code = ord(ch)
        if ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif (code < 0x20 and ch != "\t") or 0x7F <= code <= 0x9F:
            out.append("\\x%02x" % code)
        else:
            out.append(ch)
    return "".join(out).encode("utf-8")


def shown_datagrams(stdout):
    """(number, time, sender, size) of every analysis header on the console, in order."""
    return [(int(m.group(1)), m.group(2), m.group(3), int(m.group(4)))
            for m in re.finditer(rb"\n\[#(\d+) (%s) from UDP (\S+) \((\d+) bytes\)\]\n" % EVENT_TIME,
                                 stdout)]


def terminal_controls(text):
    """Offsets of everything a terminal would act on: C0 controls but TAB and LF, DEL, and C1
    controls (raw, or in their UTF-8 form C2 80 to C2 9F)."""
    found = [m.start() for m in re.finditer(rb"[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]", text)]
    try:
        text.decode("utf-8")
    except UnicodeDecodeError as e:  # a raw byte 0x80..0xFF, 0x9B (CSI) among them
        found.append(e.start)
    return found


def bins_by_number(workdir):
    """{record number: bytes} of the raw files in captures/."""
    out = {}
    for name in workdir.matching(BIN):
        out[int(re.fullmatch(BIN, name).group(1))] = workdir.read(name)
    return out


def start_udp(test, workdir=None, **tool_args):
    port = free_udp_port()
    tool = Tool(["udp", "--port", str(port)], workdir=workdir, **tool_args)
    test.addCleanup(tool.__exit__)
    harness.wait_for_udp_listener(tool, port)
    return tool, port


# --- a small file system of the test's own --------------------------------------------------

_mount_refusal = []


def tmpfs_refusal():
    """None when a tmpfs can be mounted in a private mount namespace here, else the reason."""
    if _mount_refusal:
        return _mount_refusal[0]
    reason = None
    if ON_WINE:
        # The wineserver opens files on the program's behalf, and it runs outside the test's
        # mount namespace: it would never see the small file system.
        reason = "under Wine the files are opened by the wineserver, outside the mount namespace"
    elif not shutil.which("unshare"):
        reason = "unshare is not installed"
    else:
        target = tempfile.mkdtemp(prefix="kelp-mount-")
        try:
            probe = subprocess.run(["unshare", "-m", "--propagation", "private", "mount", "-t",
                                    "tmpfs", "-o", "size=16k", "kelp-probe", target],
                                   capture_output=True, timeout=30)
            if probe.returncode != 0:
                reason = "cannot mount a tmpfs in a private mount namespace: %s" % (
                    probe.stderr.decode(errors="replace").strip() or probe.returncode)
        finally:
            os.rmdir(target)
    _mount_refusal.append(reason)
    return reason


def on_tmpfs(options, fill_inodes=False, read_only=False):
    """A wrapper that runs the tool with `captures` on a fresh tmpfs mounted with `options`, in a
    private mount namespace (the mount ends with the process). `fill_inodes` takes every free
    inode first; `read_only` remounts it read-only."""
    script = ['mkdir -p captures && mount -t tmpfs -o "$1" kelp-faults captures || exit 97']
    if fill_inodes:
        script.append('i=0; while (true > "captures/filler_$i") 2>/dev/null; do i=$((i+1)); done')
    if read_only:
        script.append("mount -o remount,ro captures || exit 97")
    script.append('shift; exec "$@"')
    return ["unshare", "-m", "--propagation", "private", "sh", "-c", "\n".join(script), "sh",
            options]


class NamespaceView(harness.Workdir):
    """The working folder as the tool sees it from inside its mount namespace (through
    /proc/PID/root); readable only while the tool runs."""

    def __init__(self, workdir, pid):
        self.path = workdir.path
        self.pid = pid

    @property
    def captures(self):
        return "/proc/%d/root%s/captures" % (self.pid, self.path)


def needs_tmpfs(test):
    reason = tmpfs_refusal()
    if reason:
        test.skipTest(reason)


MODES_WITH_LOGS = [
    ["udp", "--port", "0"],
    ["serial", "--port", "/dev/kelp-no-such-port"],
    ["probe", "--port", "/dev/kelp-no-such-port"],
    ["scan", "--port", "/dev/kelp-no-such-port"],
    ["proxy", "--listen", "/dev/kelp-no-such-1", "--forward", "/dev/kelp-no-such-2"],
]


class CaptureFolderTest(unittest.TestCase):
    def test_a_file_in_the_way_of_captures_stops_every_subcommand(self):
        for args in MODES_WITH_LOGS + [["list"]]:
            with self.subTest(args=args[0]):
                workdir = harness.Workdir()
                self.addCleanup(workdir.remove)
                with open(workdir.captures, "wb") as f:
                    f.write(b"in the way")
                result = run(args, workdir=workdir)
                self.assertEqual(result.status, 101, result.stderr)
                self.assertEqual(result.stdout, b"")
                # One line naming what failed and the system's reason, and nothing else.
                self.assertRegex(result.stderr, rb"\A[^\n]*Failed to create captures/ directory: "
                                                rb"[^\n]+ \(os error \d+\)\n\Z")
                with open(workdir.captures, "rb") as f:
                    self.assertEqual(f.read(), b"in the way")

    def test_a_log_that_cannot_be_created_stops_every_mode_before_any_output(self):
        needs_tmpfs(self)
        cases = [
            ("no inode left", on_tmpfs("size=64k,nr_inodes=8", fill_inodes=True), 28),
            ("read-only", on_tmpfs("size=64k", read_only=True), 30),
        ]
        for what, wrapper, code in cases:
            for args in MODES_WITH_LOGS:
                with self.subTest(case=what, mode=args[0]):
                    result = run(args, wrapper=wrapper)
                    self.addCleanup(result.workdir.remove)
                    self.assertEqual(result.status, 101, result.stderr)
                    self.assertEqual(result.stdout, b"")
                    self.assertRegex(result.stderr, rb"\A[^\n]*Failed to create log file: "
                                                    rb"[^\n]+ \(os error %d\)\n\Z" % code)


class UnwritableFilesTest(unittest.TestCase):
    """`udp` goes on when its files can no longer be written: the console still shows every
    datagram and whatever fitted is in the files."""

    def sender(self):
        sender = UdpSender()
        self.addCleanup(sender.close)
        return sender

    @harness.skip_on_wine("the file-size limit is a POSIX resource limit; Windows has none, and "
                          "Wine lets its SIGXFSZ end the process")
    def test_the_file_size_limit_drops_records_but_not_the_capture(self):
        limit = 8192
        tool, port = start_udp(self, preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_FSIZE, (limit, limit)))
        sender = self.sender()
        # Two records of 1,000 bytes fill the log to 8,144 bytes; the third record's header
        # reaches the limit; the 10,000-byte datagram's raw file is cut at the limit.
        payloads = [b"A" * 1000, b"B" * 1000, b"C" * 1000, bytes(range(256)) * 39 + b"x" * 16,
                    b"after the limit"]
        for number, payload in enumerate(payloads, start=1):
            sender.send(port, payload)
            tool.wait_stdout(b"\n[#%d " % number)
        out = tool.wait_stdout(b"TEXT: after the limit\n")
        shown = shown_datagrams(out)
        self.assertEqual([(n, size) for n, _, _, size in shown],
                         [(n, len(p)) for n, p in enumerate(payloads, start=1)])
        self.assertIsNone(tool.proc.poll(), "the capture died: %r" % tool.proc.returncode)

        _, log = tool.workdir.only(LOG)
        source = sender.address.encode()
        complete = b"".join(record(n, t, source, payloads[n - 1]) for n, t, _, _ in shown[:2])
        self.assertEqual(len(log), limit)
        self.assertEqual(log[:len(complete)], complete)
        self.assertEqual(log[len(complete):], record(3, shown[2][1], source, payloads[2])[
            :limit - len(complete)])
        # A raw file exists a moment before its bytes are in it: wait for the contents.
        expected = {1: payloads[0], 2: payloads[1], 3: payloads[2], 4: payloads[3][:limit],
                    5: payloads[4]}
        harness.wait_until(lambda: bins_by_number(tool.workdir) == expected)
        self.assertEqual(bins_by_number(tool.workdir), expected)

        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        self.assertEqual(tool.stderr, b"")

    def test_a_full_file_system_drops_records_but_not_the_capture(self):
        needs_tmpfs(self)
        # Eight inodes (the log and six raw files) and 64 KiB: the raw files run out of inodes at
        # once, the log runs out of room after a few dozen records.
        tool, port = start_udp(self, wrapper=on_tmpfs("size=64k,nr_inodes=8"))
        view = NamespaceView(tool.workdir, tool.proc.pid)
        sender = self.sender()
        payloads = [(b"%03d;" % i) * 75 for i in range(1, 81)]
        for number, payload in enumerate(payloads, start=1):
            sender.send(port, payload)
            if number % 10 == 0:
                tool.wait_stdout(b"\n[#%d " % number)
        out = tool.wait_stdout(b"\n[#80 ")
        tool.wait_stdout(b"SEMI-FIELDS", count=80)
        shown = shown_datagrams(out)
        self.assertEqual([n for n, _, _, _ in shown], list(range(1, 81)))
        self.assertIsNone(tool.proc.poll(), "the capture died: %r" % tool.proc.returncode)

        # While the tool runs, its files are visible through its mount namespace.
        _, log = view.only(LOG)
        source = sender.address.encode()
        expected = [record(n, t, source, payloads[n - 1]) for n, t, _, _ in shown]
        whole = 0
        while whole < len(expected) and log.startswith(b"".join(expected[:whole + 1])):
            whole += 1
        self.assertGreater(whole, 10, log[:200])
        self.assertLess(whole, 80, "the file system never filled up")
        self.assertLessEqual(len(log), 64 * 1024)
        bins = bins_by_number(view)
        self.assertEqual(sorted(bins), [1, 2, 3, 4, 5, 6])
        self.assertEqual(bins, {n: payloads[n - 1] for n in range(1, 7)})

        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        self.assertEqual(tool.stderr, b"")


class ConsoleReaderTest(unittest.TestCase):
    """The console is a pipe: its reader may go away, or read slowly. Neither costs a datagram."""

    def popen_udp(self, port, workdir):
        proc = subprocess.Popen(harness.command(["udp", "--port", str(port)]), cwd=workdir.path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)

        def stop():
            if proc.poll() is None:
                os.killpg(proc.pid, 9)
                proc.wait(10)
            for stream in (proc.stdout, proc.stderr):
                if not stream.closed:
                    stream.close()
        self.addCleanup(stop)
        return proc

    def read_banner(self, proc):
        out = b""
        while not out.endswith(BANNER_END):
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                self.fail("the tool ended before its banner: %r" % out)
            out += chunk
        time.sleep(0.5 if ON_WINE else 0.1)  # the bind follows the banner at once
        return out

    def test_a_closed_console_pipe_does_not_stop_the_files(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        port = free_udp_port()
        proc = self.popen_udp(port, workdir)
        self.read_banner(proc)
        proc.stdout.close()  # kelp-capture udp | head: the reader is gone

        payloads = [b"after the reader left %03d\r\n" % i + bytes(range(i)) for i in range(60)]
        with UdpSender() as sender:
            for payload in payloads:
                sender.send(port, payload)
                time.sleep(0.002)
        expected = {n: p for n, p in enumerate(payloads, start=1)}
        done = harness.wait_until(lambda: bins_by_number(workdir) == expected
                                  or proc.poll() is not None)
        self.assertIsNone(proc.poll(), "the capture died: %r" % proc.returncode)
        self.assertTrue(done, workdir.files())
        self.assertEqual(bins_by_number(workdir),
                         {n: p for n, p in enumerate(payloads, start=1)})
        _, log = workdir.only(LOG)
        times = re.findall(rb"^--- #\d+ at (%s) from" % EVENT_TIME, log, re.M)
        self.assertEqual(log, b"".join(record(n, t, sender.address.encode(), payloads[n - 1])
                                       for n, t in enumerate(times, start=1)))
        self.assertEqual(len(times), len(payloads))

        os.killpg(proc.pid, 2)  # Ctrl+C
        self.assertEqual(proc.wait(30), harness.INTERRUPTED_STATUS)
        self.assertEqual(proc.stderr.read(), b"")

    def test_a_slow_console_reader_loses_nothing(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        port = free_udp_port()
        proc = self.popen_udp(port, workdir)
        out = bytearray(self.read_banner(proc))

        # The burst waits in the socket's receive buffer while the console blocks the tool; size
        # it to what the system lets that buffer hold (the tool asks for 4 MiB).
        try:
            with open("/proc/sys/net/core/rmem_max") as f:
                rmem_max = int(f.read())
        except OSError:
            rmem_max = 212992
        count = max(100, min(2000, 2 * min(4 << 20, rmem_max) // 4096))
        payloads = [(b"slow %05d|" % i).ljust(200, b".") for i in range(1, count + 1)]

        stop = threading.Event()

        def slow_reader():
            # About 400 KB/s, a few times slower than the tool writes.
            while not stop.is_set():
                try:
                    chunk = os.read(proc.stdout.fileno(), 4096)
                except OSError:
                    return
                if not chunk:
                    return
                out.extend(chunk)
                time.sleep(0.01)
        reader = threading.Thread(target=slow_reader, daemon=True)
        reader.start()

        with UdpSender() as sender:
            for payload in payloads:
                sender.send(port, payload)
        harness.wait_until(lambda: bytes(out).count(b"(200 bytes)]\n") >= count
                           or proc.poll() is not None, timeout=120)
        shown = shown_datagrams(bytes(out))
        self.assertEqual([n for n, _, _, _ in shown], list(range(1, count + 1)))
        self.assertEqual(re.findall(rb"TEXT: (slow \d{5})\|", bytes(out)),
                         [p[:10] for p in payloads])
        expected = {n: p for n, p in enumerate(payloads, start=1)}
        harness.wait_until(lambda: bins_by_number(workdir) == expected)
        self.assertEqual(bins_by_number(workdir), expected)
        _, log = workdir.only(LOG)
        self.assertEqual(log.count(b"\n--- #") + log.startswith(b"--- #"), count)
        stop.set()
        os.killpg(proc.pid, 2)
        self.assertEqual(proc.wait(30), harness.INTERRUPTED_STATUS)
        reader.join(10)
        self.assertEqual(proc.stderr.read(), b"")


def run_for_at_most(seconds, *actions):
    """Runs the actions on threads of their own and waits for them, `seconds` at most."""
    threads = [threading.Thread(target=action, daemon=True) for action in actions]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + seconds
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))


class UnreadConsoleTest(unittest.TestCase):
    """A console that takes no output at all (a pipe whose reader stopped, a pager at its prompt, a
    Windows console with text selected) stalls neither a capture nor the proxy's forwarding."""

    def popen(self, args, workdir, until):
        """Starts the tool with stdout into a pipe that is read only up to `until`, then never."""
        read_end, write_end = os.pipe()
        proc = subprocess.Popen(harness.command(args), cwd=workdir.path, stdin=subprocess.DEVNULL,
                                stdout=write_end, stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)

        def stop():
            if proc.poll() is None:
                os.killpg(proc.pid, 9)
                proc.wait(10)
            os.close(read_end)
        self.addCleanup(stop)
        out = b""
        while until not in out:
            chunk = os.read(read_end, 65536)
            if not chunk:
                self.fail("the tool ended before %r: %r" % (until, out))
            out += chunk
        return proc

    def assert_ctrl_c_ends_it_soon(self, proc):
        started = time.monotonic()
        os.killpg(proc.pid, signal.SIGINT)
        self.assertEqual(proc.wait(30), harness.INTERRUPTED_STATUS)
        # The console is given about a second to take what it holds; Wine adds its own exit.
        self.assertLess(time.monotonic() - started, 4.0 if ON_WINE else 2.0)

    def frames(self):
        # Packets of the recorded console stream, each closed by an ETX: about 150 KB of console
        # text, more than a pipe holds.
        data = sim_device.console_stream()[:40000]
        return [data[i:i + 400] + b"\x03" for i in range(0, len(data), 400)]

    def test_what_a_stalled_console_missed_is_counted(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        port = free_udp_port()
        read_end, write_end = os.pipe()
        proc = subprocess.Popen(harness.command(["udp", "--port", str(port)]), cwd=workdir.path,
                                stdin=subprocess.DEVNULL, stdout=write_end,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        self.addCleanup(lambda: proc.poll() is None and (os.killpg(proc.pid, 9), proc.wait(10)))
        out = bytearray()
        while not out.endswith(BANNER_END):
            out += os.read(read_end, 65536)
        time.sleep(0.5 if ON_WINE else 0.1)  # the bind follows the banner at once

        # Some 6 MiB of analyses while nobody reads the console: more than it may fall behind.
        count = 3000
        payloads = [b"%05d " % i + bytes(range(256)) * 4 for i in range(1, count + 1)]
        with UdpSender() as sender:
            for i, payload in enumerate(payloads):
                sender.send(port, payload)
                if i % 50 == 49:
                    time.sleep(0.01)
        expected = {n: p for n, p in enumerate(payloads, start=1)}
        harness.wait_until(lambda: len(bins_by_number(workdir)) == count, 60)
        self.assertEqual(bins_by_number(workdir), expected)

        # The console reads again: what it missed is one line, where it would have been.
        def read_all():
            for chunk in iter(lambda: os.read(read_end, 65536), b""):
                out.extend(chunk)
        reader = threading.Thread(target=read_all, daemon=True)
        reader.start()
        notice = re.compile(rb"\((\d+) records were left out here while the console was not "
                            rb"taking output; the capture files hold them all\)\n")
        harness.wait_until(lambda: notice.search(bytes(out)))
        os.killpg(proc.pid, signal.SIGINT)
        proc.wait(30)
        reader.join(10)
        os.close(read_end)
        shown = [n for n, _, _, _ in shown_datagrams(bytes(out))]
        left_out = [int(n) for n in notice.findall(bytes(out))]
        self.assertEqual(len(left_out), 1, bytes(out)[-300:])
        self.assertEqual(len(shown) + left_out[0], count)
        # Whole analyses, in order, with one run of them missing where the notice stands.
        before = out[:notice.search(bytes(out)).start()]
        kept = len(shown_datagrams(bytes(before)))
        self.assertEqual(shown, list(range(1, kept + 1)) +
                         list(range(kept + 1 + left_out[0], count + 1)))

    def test_serial_and_proxy_with_an_unread_console(self):
        frames = self.frames()
        sent = b"".join(frames)

        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        peer = PtyPeer()
        self.addCleanup(peer.close)
        proc = self.popen(["serial", "--port", peer.port_name], workdir,
                          b"DTR and RTS asserted.\n\n")
        # A tool that stops reading would block the sender for ever: it sends on a thread of its own.
        run_for_at_most(60, lambda: sim_device.stream(peer, frames, gap=0.005))

        def recorded():
            names = workdir.matching(r"serial_\d{4}_\d{6}(_\d+)?\.bin")
            return b"".join(workdir.read(name) for name in names)
        harness.wait_until(lambda: recorded() == sent)
        self.assertEqual(recorded(), sent)
        self.assert_ctrl_c_ends_it_soon(proc)

        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        mm, cts = PtyPeer(), PtyPeer()
        self.addCleanup(mm.close)
        self.addCleanup(cts.close)
        proc = self.popen(["proxy", "--listen", mm.port_name, "--forward", cts.port_name],
                          workdir, b"=" * 60 + b"\n")
        time.sleep(1.0 if ON_WINE else 0.3)  # both ports open
        # Both sides talk at once and read what reaches them, as MM and a console do.
        received = {}
        run_for_at_most(60, *[lambda p=peer: sim_device.stream(p, frames, 0.005)
                              for peer in (mm, cts)],
                        *[lambda p=peer: received.update({p: p.read_exactly(len(sent), 50)})
                          for peer in (mm, cts)])
        self.assertEqual(received.get(cts), sent)
        self.assertEqual(received.get(mm), sent)

        def logged(label):
            _, log = workdir.only(r"proxy_%s\.log" % LOG_STAMP)
            hexes = re.findall(rb" " + re.escape(label) + rb"\] \d+ bytes\n  TEXT: .*?\n"
                               rb"  HEX:  ([0-9a-f ]*)\n\n", log, re.S)
            return b"".join(bytes.fromhex(h.decode()) for h in hexes)
        for label in (b"MM->CTS6", b"CTS6->MM"):
            harness.wait_until(lambda: logged(label) == sent)
            self.assertEqual(logged(label), sent, label)
        self.assert_ctrl_c_ends_it_soon(proc)


class ConsoleEndTest(unittest.TestCase):
    """A run that ends by itself waits until the console has taken every line, however late its
    reader; an interrupt during that wait ends it within about a second, and says what stopped it."""

    def replay_log(self, workdir, count, step_ms=1):
        """A udp log of `count` records of 5 bytes, `step_ms` apart from 12:00; replay shows one
        line for each."""
        os.makedirs(workdir.captures, exist_ok=True)
        with open(os.path.join(workdir.captures, "udp_20261206_120000.log"), "wb") as f:
            f.write(b"".join(record(n, b"12:%02d:%02d.%03d" % (n * step_ms // 60000,
                                                               n * step_ms // 1000 % 60,
                                                               n * step_ms % 1000),
                                    b"10.0.0.7:40000", b"%05d" % n) for n in range(1, count + 1)))
        return "captures" + harness.SEP + "udp_20261206_120000.log"

    def start_replay(self, count, port=9, speed="0"):
        """The replay of `count` records to 127.0.0.1:`port`, its stdout a pipe that nobody reads
        yet; gives the process, the pipe's read end and the file of its error stream."""
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        log = self.replay_log(workdir, count)
        read_end, write_end = os.pipe()
        err = tempfile.TemporaryFile()
        self.addCleanup(err.close)
        proc = subprocess.Popen(
            harness.command(["replay", log, "--to", "127.0.0.1:%d" % port, "--speed", speed]),
            cwd=workdir.path, stdin=subprocess.DEVNULL, stdout=write_end, stderr=err,
            start_new_session=True)
        os.close(write_end)
        self.addCleanup(lambda: proc.poll() is None and (os.killpg(proc.pid, 9), proc.wait(10)))
        self.addCleanup(os.close, read_end)
        return proc, read_end, err

    def test_a_late_reader_gets_every_line(self):
        # replay ... | (sleep 3; wc -c): some 90 KB, more than a pipe holds.
        count = 3000
        proc, read_end, err = self.start_replay(count)
        time.sleep(3)
        out = bytearray()
        summary = re.compile(rb"\nSent %d of %d records \(%d bytes\) in \d+\.\d{3} s\.\n\Z"
                             % (count, count, 5 * count))
        while not summary.search(out):
            ready, _, _ = select.select([read_end], [], [], 30)
            chunk = os.read(read_end, 65536) if ready else b""
            if not chunk:
                break
            out += chunk
        self.assertEqual(proc.wait(30), 0)
        self.assertRegex(bytes(out[-100:]), summary, "%d bytes came" % len(out))
        shown = re.findall(rb"^#(\d+) 12:\d\d:\d\d\.\d{3} 5 bytes$", bytes(out), re.M)
        self.assertTrue(shown == [b"%d" % n for n in range(1, count + 1)], "%d lines" % len(shown))
        err.seek(0)
        self.assertEqual(err.read(), b"")

    def test_an_interrupt_ends_the_wait_for_a_console_that_never_reads(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as receiver:
            receiver.bind(("127.0.0.1", 0))
            receiver.settimeout(30)
            # Sent over about a second, so that the receiver here keeps up.
            count = 3000
            proc, _, _ = self.start_replay(count, receiver.getsockname()[1], speed="3")
            for _ in range(count):  # every record sent: the replay's work is done
                receiver.recv(100)
        # It waits for its console rather than dropping what the console has not taken.
        time.sleep(2)
        self.assertIsNone(proc.poll())
        started = time.monotonic()
        os.killpg(proc.pid, signal.SIGINT)
        self.assertEqual(proc.wait(30), harness.INTERRUPTED_STATUS)
        self.assertLess(time.monotonic() - started, 4.0 if ON_WINE else 2.0)

    @unittest.skipIf(ON_WINE, "Wine ends a Windows program at SIGTERM or SIGHUP without a console "
                              "event")
    def test_each_stop_names_what_stopped_it(self):
        for signo, name in [(signal.SIGTERM, b"SIGTERM"), (signal.SIGHUP, b"SIGHUP"),
                            (signal.SIGINT, b"Ctrl+C")]:
            with self.subTest(signal=name):
                workdir = harness.Workdir()
                self.addCleanup(workdir.remove)
                log = self.replay_log(workdir, 2, step_ms=60000)
                tool = Tool(["replay", log, "--to", "127.0.0.1:9"], workdir=workdir)
                self.addCleanup(tool.__exit__)
                tool.wait_stdout(b"#1 12:01:00.000 5 bytes\n")
                os.kill(tool.proc.pid, signo)
                self.assertEqual(tool.wait(), -signo)
                self.assertRegex(tool.stdout, rb"\n\nStopped by %s: sent 1 of 2 records \(5 bytes\) "
                                              rb"in \d+\.\d{3} s\.\n\Z" % re.escape(name))


def invalid_utf8_shapes():
    """One datagram per kind of ill-formed UTF-8, each between ASCII letters."""
    shapes = [
        b"\x80", b"\xbf", b"\x80\x80\x80\x80",               # continuation bytes alone
        b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xf0\x80\x80\x80",  # overlong forms
        b"\xed\xa0\x80", b"\xed\xbf\xbf",                    # surrogates
        b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xfe",  # past U+10FFFF, never used
        b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98",               # cut short
        b"\xe2(\xa1", b"\xf0\x9f(\x80",                      # broken in the middle
        b"\xc2\x9b", b"\xc2\x85",                            # well-formed C1 controls
    ]
    out = [b"a" + shape + b"z" for shape in shapes]
    out += [shape for shape in (b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98")]  # cut at the very end
    return out


ESCAPE_SEQUENCES = [
    b"\x1b[2J\x1b[H",                          # clear the screen, cursor home
    b"\x1b]52;c;cm0gLXJmIH4K\x07",             # OSC 52: write the clipboard
    b"\x1b]0;owned\x1b\\",                     # window title, ST-terminated
    b"\x1bP+q544e\x1b\\",                      # DCS query
    b"\xc2\x9b31mred\xc2\x9b0m",               # CSI as a C1 control in UTF-8
    b"\x9b31mred",                             # CSI as a raw 8-bit byte
    b"\x07\x07ring",                           # BEL
    b"abc\x08\x08\x08XYZ\x7f",                 # backspace over text, DEL
    b"visible\rhidden",                        # CR to overwrite the line
    b"\x1b[6n",                                # ask the terminal to answer
    b"first\n\x1b[2Jsecond\r\n\x1b]52;c;eA==\x07third\n",  # in the LINES section
    b"a;\x1b[31m;b;\xc2\x9b;\x00",             # in the semicolon fields
    b"a,\x1b[31m,b,\x9b,\x08,\t",              # in the comma fields
    b"\x00\x01\x02\x03\x04\x05\x06\x0b\x0c\x0e\x0f\x10\x1a\x1c\x1f",
]


class HostileDatagramTest(unittest.TestCase):
    """Nothing a datagram holds reaches the terminal raw, and every datagram is logged and saved
    byte for byte."""

    def test_hostile_datagrams(self):
        rng = random.Random(6)
        big_random = bytes(rng.randrange(256) for _ in range(65507))
        big_escapes = (b"\x1b[2J\xc2\x9b\x07;,\n" * 6000)[:65507]
        payloads = ([bytes([b]) for b in range(256)] + [bytes(range(256))]
                    + invalid_utf8_shapes() + ESCAPE_SEQUENCES + [big_random, big_escapes])
        # The last one is plain: once its hex line is out, every analysis before it is complete.
        payloads.append(b"END")
        tool, port = start_udp(self)
        with UdpSender() as sender:
            for number, payload in enumerate(payloads, start=1):
                sender.send(port, payload)
                if number % 40 == 0 or len(payload) > 60000:
                    tool.wait_stdout(b"\n[#%d " % number, timeout=60)
            out = tool.wait_stdout(b"TEXT: END\nHEX:\n  45 4e 44\n", timeout=60)
        self.assertTrue(out.endswith(b"TEXT: END\nHEX:\n  45 4e 44\n"), out[-300:])
        self.assertIsNone(tool.proc.poll())

        analyses = out.split(BANNER_END, 1)[1]
        self.assertEqual(terminal_controls(analyses), [])
        shown = shown_datagrams(out)
        self.assertEqual([(n, size) for n, _, _, size in shown],
                         [(n, len(p)) for n, p in enumerate(payloads, start=1)])
        texts = re.findall(rb"\nTEXT: ([^\n]*)\n", analyses)
        self.assertEqual(len(texts), len(payloads))
        for number, (payload, text) in enumerate(zip(payloads, texts), start=1):
            self.assertEqual(text, escaped(payload), "datagram %d: %r" % (number, payload[:40]))

        # The console shows a datagram before its record and raw file are written: wait for the
        # last raw file, which is written after the last record.
        expected = {n: p for n, p in enumerate(payloads, start=1)}
        harness.wait_until(lambda: bins_by_number(tool.workdir) == expected)
        _, log = tool.workdir.only(LOG)
        source = sender.address.encode()
        self.assertEqual({s for _, _, s, _ in shown}, {source})
        self.assertEqual(log, b"".join(record(n, t, source, payloads[n - 1])
                                       for n, t, _, _ in shown))
        self.assertEqual(bins_by_number(tool.workdir), expected)
        self.assertEqual(tool.stderr, b"")


if __name__ == "__main__":
    unittest.main()
