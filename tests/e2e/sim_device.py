"""A simulated timing console on the master side of a pseudo-terminal.

The tool opens the slave; the simulation reads what the tool sends and answers a query with a
canned reply, but only while the line is set to the speed and parity the console "expects". The
line settings are read from the master with termios.tcgetattr, which reflects what the tool set on
the slave (also under Wine, which sets a pty's termios like any serial line). A pseudo-terminal
keeps the speed and the odd-parity flag but drops the parity-enable flag, so odd parity can be told
apart from the others while even parity looks like none.

Everything the device receives is kept with the line settings in force when it arrived, so a test
can tell which payload reached the device at which baud rate and parity.
"""

import errno
import os
import select
import termios
import threading
import time

import harness

PARITY_NONE = "N"
PARITY_ODD = "O"
PARITY_EVEN = "E"


def line_settings(master):
    """(baud, parity letter) of the slave as last set, or None while nobody holds it open."""
    try:
        attrs = termios.tcgetattr(master)
    except termios.error:
        return None
    cflag, speed = attrs[2], attrs[5]
    baud = speed
    for name in dir(termios):
        if name.startswith("B") and name[1:].isdigit() and getattr(termios, name) == speed:
            baud = int(name[1:])
            break
    # Linux's pty driver clears PARENB on every change but keeps PARODD, so on a pseudo-terminal
    # odd parity is visible while even parity reads as none.
    if cflag & termios.PARODD:
        parity = PARITY_ODD
    elif cflag & termios.PARENB:
        parity = PARITY_EVEN
    else:
        parity = PARITY_NONE
    return baud, parity


class SimDevice:
    """Answers queries on a harness.PtyPeer from a thread of its own.

    replies: {query bytes: reply}. A reply is bytes, sent at once, or a list of (delay in seconds,
    bytes) pieces, each sent that long after the query arrived. A query is recognised when the
    bytes received since the last answer (or since the tool last opened the port) end with it;
    the longest query wins.
    baud, parity: the settings the device answers at (None: any). Received bytes are kept in
    `received` as (baud, parity, bytes) per read.
    """

    def __init__(self, peer, replies=None, baud=None, parity=None):
        self.peer = peer
        self.replies = dict(replies or {})
        self.baud = baud
        self.parity = parity
        self.received = []
        self.answered = []  # (baud, parity, query)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _matches_settings(self, settings):
        if settings is None:
            return False
        baud, parity = settings
        return (self.baud is None or baud == self.baud) and (self.parity is None
                                                              or parity == self.parity)

    def _run(self):
        master = self.peer.master
        pending = b""
        while not self._stop.is_set():
            ready, _, _ = select.select([master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(master, 65536)
            except BlockingIOError:
                continue
            except OSError as e:
                if e.errno != errno.EIO:
                    raise
                # Nobody holds the slave: the tool closed the port between two exchanges.
                pending = b""
                time.sleep(0.01)
                continue
            if not chunk:
                continue
            settings = line_settings(master)
            with self._lock:
                self.received.append((settings[0] if settings else None,
                                      settings[1] if settings else None, chunk))
            pending += chunk
            for query in sorted(self.replies, key=len, reverse=True):
                if pending.endswith(query):
                    pending = b""
                    if self._matches_settings(settings):
                        with self._lock:
                            self.answered.append((settings[0], settings[1], query))
                        self._answer(self.replies[query])
                    break

    def _answer(self, reply):
        if isinstance(reply, (bytes, bytearray)):
            self._send(reply)
            return
        start = time.monotonic()

        def send_pieces():
            for delay, piece in reply:
                time.sleep(max(0.0, start + delay - time.monotonic()))
                if self._stop.is_set() or self.peer.master is None:
                    return
                self._send(piece)

        threading.Thread(target=send_pieces, daemon=True).start()

    def _send(self, data):
        try:
            self.peer.write(data)
        except OSError:
            pass  # the tool closed the port before the answer came: like a real line, it is lost

    def received_bytes(self):
        with self._lock:
            return b"".join(chunk for _, _, chunk in self.received)

    def received_log(self):
        with self._lock:
            return list(self.received)

    def wait_received(self, n, timeout=20.0):
        """Waits until at least n bytes arrived; gives all bytes received so far."""
        harness.wait_until(lambda: len(self.received_bytes()) >= n, timeout)
        return self.received_bytes()

    def stop(self):
        self._stop.set()
        self._thread.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def stream(peer, frames, gap=0.05):
    """Sends frames one after another with `gap` seconds between them, as a console that streams
    its results does."""
    for i, frame in enumerate(frames):
        if i:
            time.sleep(gap)
        peer.write(frame)


FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")


def console_stream():
    """61,440 bytes of a real timing console's scoreboard output: no delimiter and no pause
    (fixtures/console-streams/README.md)."""
    with open(os.path.join(FIXTURES, "console-streams", "cts-scoreboard-meet.bin"), "rb") as f:
        return f.read()


def play(peer, data, bytes_per_second):
    """Sends `data` at a steady line speed, as a console that keeps its line full does."""
    start = time.monotonic()
    sent = 0
    while sent < len(data):
        due = min(len(data), int((time.monotonic() - start) * bytes_per_second) + 1)
        if due > sent:
            peer.write(data[sent:due])
            sent = due
        time.sleep(0.01)

