"""The serial proxy: forwarding both ways, frames on the console and in the shared log, ends."""

import re
import termios
import threading
import time
import unittest

import harness
from harness import EVENT_TIME, LOG_STAMP, ON_WINE, SEP, PtyPeer, Tool, run, wait_until

LABELS = (b"MM->CTS6", b"CTS6->MM")
RULE = b"=" * 60 + b"\n"
CONSOLE_HEADER = re.compile(rb"\[(" + EVENT_TIME + rb") (MM->CTS6|CTS6->MM)\] \((\d+) bytes\)")
LOG_RECORD = re.compile(rb"\[(" + EVENT_TIME + rb") (MM->CTS6|CTS6->MM)\] (\d+) bytes\n"
                        rb"  TEXT: (.*?)\n  HEX:  ([0-9a-f ]*)\n\n", re.DOTALL)


def setUpModule():
    harness.start_wine()


def banner(listen, forward, settings, log_name):
    listen, forward = listen.encode(), forward.encode()
    return (b"=== Serial Proxy ===\n"
            b"MM side (listen):  " + listen + b" @ " + settings + b"\n"
            b"CTS6 side (real):  " + forward + b" @ " + settings + b"\n"
            b"Logging to:        captures" + SEP.encode() + log_name.encode() + b"\n"
            b"\n"
            b"Setup:\n"
            b"  1. Install com0com and create a virtual port pair (e.g., " + listen +
            b" <-> COM5)\n"
            b"  2. In Meet Manager: Setups > Timing Console INTERFACE > CTS6\n"
            b"     Set COM Port = the OTHER virtual port (COM5 in example)\n"
            b"  3. Both halves of com0com pair speak to each other\n"
            b"  4. This proxy opens " + listen + b" (one half) + " + forward + b" (real CTS6)\n"
            b"  5. Press F3 in MM - you'll see every byte in both directions\n"
            b"\n"
            b"Ctrl+C to stop.\n\n" + RULE)


def escape(data):
    """How the console TEXT line shows bytes (valid UTF-8 or lone ill-formed bytes only)."""
    out = []
    for ch in data.decode("utf-8", "replace"):
        code = ord(ch)
        if (code < 0x20 and ch not in "\t\n\r") or 0x7F <= code <= 0x9F:
            out.append("\\x%02x" % code)
        else:
            out.append(ch)
    return "".join(out).replace("\n", "\\n").replace("\r", "\\r").encode()


def console_frames(stdout):
    """The frames on the console after the banner: (label, bytes), checking each line's form."""
    body = stdout.split(RULE, 1)[1]
    lines = body.split(b"\n")
    assert lines[-1] == b"", "console output ends inside a line: %r" % lines[-1]
    lines.pop()
    assert len(lines) % 3 == 0, "console frames are not three lines each:\n%r" % body
    frames = []
    for i in range(0, len(lines), 3):
        header = CONSOLE_HEADER.fullmatch(lines[i])
        assert header, "not a frame header: %r" % lines[i]
        assert lines[i + 1].startswith(b"  TEXT: "), lines[i + 1]
        assert lines[i + 2].startswith(b"  HEX:  "), lines[i + 2]
        data = bytes.fromhex(lines[i + 2][8:].decode())
        assert len(data) == int(header.group(3)), "count and HEX differ: %r" % lines[i]
        assert lines[i + 1][8:] == escape(data), "TEXT line %r for %r" % (lines[i + 1], data)
        frames.append((header.group(2), data))
    return frames


def log_frames(log):
    """The log as a sequence of whole records, nothing before, between or after them."""
    frames = []
    pos = 0
    while pos < len(log):
        record = LOG_RECORD.match(log, pos)
        assert record, "no whole record at offset %d: %r" % (pos, log[pos:pos + 200])
        data = bytes.fromhex(record.group(5).decode())
        assert len(data) == int(record.group(3)), record.group(0)[:80]
        # The decoded text, control characters as they are.
        assert record.group(4) == data.decode("utf-8", "replace").encode(), record.group(0)[:200]
        frames.append((record.group(2), data))
        pos = record.end()
    return frames


def joined(frames, label):
    return b"".join(data for lab, data in frames if lab == label)


def is_raw(peer):
    lflag = termios.tcgetattr(peer.master)[3]
    return not lflag & (termios.ICANON | termios.ECHO)


class ProxyRun:
    """Two pseudo-terminal peers (MM and the console) with the proxy between them."""

    def __init__(self, test, extra=()):
        self.mm = PtyPeer()
        self.cts = PtyPeer()
        test.addCleanup(self.mm.close)
        test.addCleanup(self.cts.close)
        self.tool = Tool(["proxy", "--listen", self.mm.port_name, "--forward", self.cts.port_name]
                         + list(extra))
        test.addCleanup(self.tool.__exit__)
        self.tool.wait_stdout(RULE)
        # Both ports are open once both are raw; bytes written from then on wait for the reads.
        if not wait_until(lambda: is_raw(self.mm) and is_raw(self.cts)):
            raise AssertionError("the proxy never made its ports raw; stderr %r" % self.tool.stderr)
        time.sleep(0.3 if ON_WINE else 0.05)

    def log(self):
        return self.tool.workdir.only(r"proxy_%s\.log" % LOG_STAMP)[1]

    def wait_frames(self, label, count=1, timeout=20.0):
        return self.tool.wait_stdout(b" " + label + b"] (", timeout, count)

    def console(self):
        return console_frames(self.tool.stdout)

    def logged(self):
        return log_frames(self.log())

    def wait_for(self, parse, done, timeout=20.0):
        """Waits until parse() satisfies done(); a record still on its way does not count yet.
        Gives the final strict parse."""
        def ready():
            try:
                return done(parse())
            except AssertionError:
                return False
        wait_until(ready, timeout)
        return parse()


class ForwardingTest(unittest.TestCase):
    def test_query_and_reply_are_forwarded_and_recorded(self):
        p = ProxyRun(self, ["--baud", "19200", "--parity", "odd"])
        self.assertEqual(p.mm.baud(), 19200)
        self.assertEqual(p.cts.baud(), 19200)

        query = b"SWIM,QRY\x03"
        p.mm.write(query)
        self.assertEqual(p.cts.read_exactly(len(query)), query)
        p.wait_frames(b"MM->CTS6")
        reply = b"\x02SWIM,RUN,1\r\nLANE\t4\x03"
        p.cts.write(reply)
        self.assertEqual(p.mm.read_exactly(len(reply)), reply)
        expected = [(b"MM->CTS6", query), (b"CTS6->MM", reply)]
        self.assertEqual(p.wait_for(p.console, lambda frames: len(frames) == 2), expected)
        out = p.tool.stdout

        log_name, _ = p.tool.workdir.only(r"proxy_%s\.log" % LOG_STAMP)
        head = banner(p.mm.port_name, p.cts.port_name, b"19200-O-8-1", log_name)
        self.assertEqual(out[:len(head)], head)
        lines = out[len(head):].split(b"\n")
        self.assertRegex(lines[0], rb"^\[" + EVENT_TIME + rb" MM->CTS6\] \(9 bytes\)$")
        self.assertEqual(lines[1:3],
                         [b"  TEXT: SWIM,QRY\\x03", b"  HEX:  53 57 49 4d 2c 51 52 59 03"])
        self.assertEqual(lines[4], b"  TEXT: \\x02SWIM,RUN,1\\r\\nLANE\t4\\x03")

        # The log: the same two records, CR LF written as they are, each followed by an empty line.
        self.assertEqual(p.wait_for(p.logged, lambda frames: len(frames) == 2), expected)
        log = p.log()
        self.assertRegex(log, rb"^\[" + EVENT_TIME + rb" MM->CTS6\] 9 bytes\n"
                         rb"  TEXT: SWIM,QRY\x03\n"
                         rb"  HEX:  53 57 49 4d 2c 51 52 59 03\n\n"
                         rb"\[" + EVENT_TIME + rb" CTS6->MM\] 20 bytes\n"
                         rb"  TEXT: \x02SWIM,RUN,1\r\nLANE\t4\x03\n"
                         rb"  HEX:  02 53 57 49 4d 2c 52 55 4e 2c 31 0d 0a 4c 41 4e 45 09 34 03\n"
                         rb"\n$")
        # Both records carry the times the console showed.
        console_times = re.findall(rb"\[(" + EVENT_TIME + rb") ", out[len(head):])
        self.assertEqual(re.findall(rb"^\[(" + EVENT_TIME + rb") ", log, re.M), console_times)
        self.assertEqual(p.tool.stderr, b"")
        self.assertIsNone(p.tool.proc.poll())

    def test_a_reply_without_etx_is_logged_after_the_silence(self):
        p = ProxyRun(self)
        sent_at = time.monotonic()
        p.cts.write(b"ACK")
        # Forwarded at once, whatever the framing.
        self.assertEqual(p.mm.read_exactly(3), b"ACK")
        wait_until(lambda: b"CTS6->MM] (" in p.tool.stdout, interval=0.005)
        seen_after = time.monotonic() - sent_at
        # The proxy read the bytes after they were written, so the record cannot come sooner.
        self.assertGreater(seen_after, 0.1)
        self.assertEqual(p.wait_for(p.console, lambda frames: frames), [(b"CTS6->MM", b"ACK")])
        self.assertEqual(p.wait_for(p.logged, lambda frames: frames), [(b"CTS6->MM", b"ACK")])

    def test_a_long_frame_in_several_reads_is_one_record(self):
        p = ProxyRun(self)
        text = b"".join(b"LANE %04d \xc3\xa9 time 1:02.34\r\n" % i for i in range(400))
        data = (text + b"\xff tail")[:9000]
        self.assertEqual(len(data), 9000)
        self.assertNotIn(b"\x03", data)
        for start in range(0, len(data), 3000):
            p.mm.write(data[start:start + 3000])
            time.sleep(0.01)
        self.assertEqual(p.cts.read_exactly(len(data)), data)
        self.assertEqual(p.wait_for(p.console, lambda frames: frames), [(b"MM->CTS6", data)])
        self.assertIn(b"] (9000 bytes)\n", p.tool.stdout)
        self.assertEqual(p.wait_for(p.logged, lambda frames: frames), [(b"MM->CTS6", data)])
        log = p.log()
        self.assertEqual(log.count(b"  HEX:  "), 1)

    def test_both_directions_at_once_lose_and_mix_nothing(self):
        p = ProxyRun(self)
        streams = {
            b"MM->CTS6": b"".join(b"SWIM,QRY,%04d\x03" % i for i in range(300)),
            b"CTS6->MM": b"".join(b"\x02RUN,%04d,LANE,%d,0:%02d.%02d\x03" % (i, i % 10, i % 60, i)
                                  for i in range(300)),
        }

        def send(peer, data):
            for start in range(0, len(data), 700):
                peer.write(data[start:start + 700])
                time.sleep(0.002)

        senders = [threading.Thread(target=send, args=(p.mm, streams[b"MM->CTS6"])),
                   threading.Thread(target=send, args=(p.cts, streams[b"CTS6->MM"]))]
        for sender in senders:
            sender.start()
        got_cts = bytearray()
        got_mm = bytearray()
        deadline = time.monotonic() + 30
        while (len(got_cts) < len(streams[b"MM->CTS6"]) or len(got_mm) < len(streams[b"CTS6->MM"])
               ) and time.monotonic() < deadline:
            got_cts += p.cts.read_for(0.02)
            got_mm += p.mm.read_for(0.02)
        for sender in senders:
            sender.join()
        self.assertEqual(bytes(got_cts), streams[b"MM->CTS6"])
        self.assertEqual(bytes(got_mm), streams[b"CTS6->MM"])

        def complete(frames):
            return all(joined(frames, label) == streams[label] for label in LABELS)

        console = p.wait_for(p.console, complete)
        logged = p.wait_for(p.logged, complete)
        for label in LABELS:
            self.assertEqual(joined(console, label), streams[label])
            self.assertEqual(joined(logged, label), streams[label])
        # A frame ends with the read that brought an ETX, taking what followed it in that read.
        for _, data in console:
            self.assertIn(b"\x03", data)
        self.assertEqual(sorted(console), sorted(logged))
        self.assertEqual(p.tool.stderr, b"")


HANG_UP_ON_WINE = ("Wine reads a hung-up pseudo-terminal as a read that timed out, so the far end "
                   "going away cannot be seen")


class EndingTest(unittest.TestCase):
    @unittest.skipIf(ON_WINE, HANG_UP_ON_WINE)
    def test_one_side_closed_ends_that_direction_and_the_other_goes_on(self):
        p = ProxyRun(self)
        p.cts.write(b"PART")
        self.assertEqual(p.mm.read_exactly(4), b"PART")
        p.cts.close()  # the console's adapter is pulled out
        err = p.tool.wait_stderr(b"[CTS6->MM] read error: ")
        self.assertRegex(err, rb"^\[CTS6->MM\] read error: [^\n]+\n$")
        p.wait_frames(b"CTS6->MM")
        time.sleep(0.3)
        self.assertIsNone(p.tool.proc.poll(), "the other direction must go on")

        # MM's next bytes are read and logged; they cannot reach the console any more.
        p.mm.write(b"SWIM,QRY\x03")
        self.assertEqual(p.tool.wait(), 0)
        self.assertRegex(p.tool.stderr, rb"^\[CTS6->MM\] read error: [^\n]+\n"
                                        rb"\[MM->CTS6\] write error: [^\n]+\n$")
        expected = [(b"CTS6->MM", b"PART"), (b"MM->CTS6", b"SWIM,QRY\x03")]
        self.assertEqual(console_frames(p.tool.stdout), expected)
        self.assertEqual(log_frames(p.log()), expected)

    @unittest.skipIf(ON_WINE, HANG_UP_ON_WINE)
    def test_reconnect_reopens_the_failed_side_only(self):
        mm, console = PtyPeer(), harness.PluggablePeer()
        self.addCleanup(mm.close)
        self.addCleanup(console.close)
        tool = Tool(["proxy", "--listen", mm.port_name, "--forward", console.port_name,
                     "--reconnect"])
        self.addCleanup(tool.__exit__)
        self.assertTrue(wait_until(lambda: is_raw(mm) and is_raw(console.peer)))
        console.pull()
        tool.wait_stdout(b"[CTS6->MM] Waiting for %s to come back" % console.port_name.encode())
        # Meet Manager goes on talking: recorded, not forwarded, counted when the console is back.
        mm.write(b"LOST\x03")
        tool.wait_stdout(b" MM->CTS6] (5 bytes)")
        self.assertTrue(harness.held_open(tool.proc.pid, mm.slave_path))
        console.plug()
        tool.wait_stdout(b"[MM->CTS6] 5 bytes for %s arrived while it was away: recorded, not "
                         b"forwarded.\n" % console.port_name.encode())
        self.assertTrue(wait_until(lambda: is_raw(console.peer)))
        mm.write(b"Q2\x03")
        self.assertEqual(console.peer.read_exactly(3), b"Q2\x03")
        # Bytes are forwarded before they are logged: answer once the query is on record.
        tool.wait_stdout(b" MM->CTS6] (3 bytes)")
        console.peer.write(b"A2\x03")
        self.assertEqual(mm.read_exactly(3), b"A2\x03")
        tool.wait_stdout(b" CTS6->MM] (3 bytes)")
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        # Only the console's side failed; Meet Manager's never saw an error.
        self.assertRegex(tool.stderr, rb"\A\[CTS6->MM\] read error: [^\n]+\n\Z")
        logged = log_frames(tool.workdir.only(r"proxy_%s\.log" % LOG_STAMP)[1])
        self.assertEqual(logged, [(b"MM->CTS6", b"LOST\x03"), (b"MM->CTS6", b"Q2\x03"),
                                  (b"CTS6->MM", b"A2\x03")])

    def test_a_failed_write_ends_that_direction_with_what_it_read_logged(self):
        p = ProxyRun(self)
        p.cts.close()
        # MM's bytes are read but can no longer reach the console; they are still recorded.
        p.mm.write(b"SWIM,QRY")
        err = p.tool.wait_stderr(b"[MM->CTS6] write error: ")
        self.assertRegex(err, rb"(^|\n)\[MM->CTS6\] write error: [^\n]+\n")
        self.assertEqual(p.wait_for(p.console, lambda frames: frames), [(b"MM->CTS6", b"SWIM,QRY")])
        self.assertEqual(p.wait_for(p.logged, lambda frames: frames), [(b"MM->CTS6", b"SWIM,QRY")])

    @unittest.skipIf(ON_WINE, HANG_UP_ON_WINE)
    def test_both_sides_closed_end_with_status_0(self):
        p = ProxyRun(self)
        p.mm.write(b"HALF")
        self.assertEqual(p.cts.read_exactly(4), b"HALF")
        p.mm.close()
        p.cts.close()
        self.assertEqual(p.tool.wait(), 0)
        errors = sorted(p.tool.stderr.splitlines())
        self.assertEqual(len(errors), 2, p.tool.stderr)
        self.assertRegex(errors[0], rb"^\[CTS6->MM\] read error: .+$")
        self.assertRegex(errors[1], rb"^\[MM->CTS6\] read error: .+$")
        # The pending bytes are logged when the direction ends, if the silence did not log them.
        self.assertEqual(console_frames(p.tool.stdout), [(b"MM->CTS6", b"HALF")])
        self.assertEqual(log_frames(p.log()), [(b"MM->CTS6", b"HALF")])

    def test_ctrl_c_logs_the_pending_frames(self):
        p = ProxyRun(self)
        p.cts.write(b"STATUS")
        self.assertEqual(p.mm.read_exactly(6), b"STATUS")
        # MM keeps its frame open: a byte every 20 ms, never 100 ms of silence.
        forwarded = bytearray()
        for i in range(20):
            time.sleep(0.02)
            p.mm.write(bytes([0x61 + i]))
            forwarded += p.cts.read_exactly(1)
        p.tool.interrupt()
        self.assertEqual(p.tool.wait(), harness.INTERRUPTED_STATUS)
        forwarded += p.cts.read_for(0.2)
        console = console_frames(p.tool.stdout)
        logged = log_frames(p.log())
        self.assertEqual(sorted(console), sorted(logged))
        self.assertEqual(joined(logged, b"MM->CTS6"), bytes(forwarded))
        self.assertEqual(joined(logged, b"CTS6->MM"), b"STATUS")
        self.assertEqual(p.tool.stderr, b"")


class OpenFailureTest(unittest.TestCase):
    def test_the_port_that_fails_is_named_listen_first(self):
        missing = "COM39" if ON_WINE else "/dev/kelp-no-such-port"
        with PtyPeer() as a, PtyPeer() as b:
            cases = [
                (a.port_name, missing, missing),
                (missing, b.port_name, missing),
                (missing, missing + "9", missing),
                # The listen option as the value: the next word is taken as its name.
                ("--forward", a.port_name, "--forward"),
            ]
            for listen, forward, failing in cases:
                with self.subTest(listen=listen, forward=forward):
                    if listen == "--forward":
                        args = ["proxy", "--listen", "--forward", forward]
                    else:
                        args = ["proxy", "--listen", listen, "--forward", forward]
                    result = run(args)
                    self.assertEqual(result.status, 1)
                    self.assertRegex(result.stderr,
                                     rb"^ERROR opening " + re.escape(failing.encode()) +
                                     rb": [^\n]*[^\s]\n$")
                    self.assertNotIn(b"(os error", result.stderr)
                    log_name, log = result.workdir.only(r"proxy_%s\.log" % LOG_STAMP)
                    self.assertEqual(log, b"")
                    self.assertEqual(result.stdout,
                                     banner(listen, forward, b"9600-N-8-1", log_name))

    @unittest.skipIf(ON_WINE, "Wine does not enforce exclusive opens of a serial port")
    def test_the_same_port_twice_fails_on_the_forward_open(self):
        with PtyPeer() as peer:
            result = run(["proxy", "--listen", peer.port_name, "--forward", peer.port_name])
            self.assertEqual(result.status, 1)
            self.assertRegex(result.stderr,
                             rb"^ERROR opening " + re.escape(peer.port_name.encode()) +
                             rb": [^\n]*[^\s]\n$")
            log_name, _ = result.workdir.only(r"proxy_%s\.log" % LOG_STAMP)
            self.assertEqual(result.stdout,
                             banner(peer.port_name, peer.port_name, b"9600-N-8-1", log_name))


if __name__ == "__main__":
    unittest.main()
