"""`export` and `replay`: captures made by the tool, opened by tshark and sent onto the wire again.

tshark is the judge of the exported files: every payload, sender, direction and time must be what
the tool recorded, and tshark must read the file without a warning. What `replay` sends is captured
by the tool itself, with a `udp` capture and a `serial` capture on the other end of a
pseudo-terminal pair.
"""

import datetime
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import termios
import threading
import time
import unittest

import harness
from harness import (EVENT_TIME, LOG_STAMP, ON_WINE, SEP, PtyPeer, Tool, UdpSender, free_udp_port,
                     run)
from test_proxy import ProxyRun, console_frames

TSHARK = shutil.which("tshark")
# tshark says this on every start as root; it is about tshark, not the file.
TSHARK_ROOT_NOTICE = re.compile(rb'^Running as user "root" and group "root"\. This could be '
                                rb'dangerous\.\n', re.M)
BIN = r"%s_\d{4}_\d{6}(_\d+)?\.bin"
UDP_SHOWN = re.compile(rb"\n\[#(\d+) (" + EVENT_TIME + rb") from UDP (\S+) \((\d+) bytes\)\]\n")

EXPORT_USAGE = (b"Usage: kelp-capture export LOG... [--out FILE] [--port P]\n"
                b"Writes the records of udp, serial, probe and proxy logs to one pcapng file for "
                b"Wireshark\nor tshark, in time order, one interface per log.\n")
REPLAY_USAGE = b"Usage: kelp-capture replay LOG [--to HOST:PORT | --port P [--baud B] [--parity P]\n"

# Datagrams that a careless reader would get wrong: empty, line breaks, ill-formed UTF-8, and a
# payload that holds a whole record and a hex line of its own.
PAYLOADS = [
    b"LANE 4;1:02.37;2\r\nLANE 5;1:03.10;3\r\n",
    b"",
    b"\xff\xfe\x1b[2J",
    b"x\nRAW_HEX: 78\n\n--- #9 at 00:00:00.000 from udp/1.2.3.4:5 (1 bytes) ---\n"
    b"RAW_TEXT: y\nRAW_HEX: 79\n\n",
    bytes(range(256)),
]


def setUpModule():
    harness.start_wine()


def tshark_fields(path, *fields):
    """The packets of a file as tuples of field texts; fails on any word from tshark on stderr."""
    args = [TSHARK, "-r", path, "-T", "fields", "-E", "separator=|"]
    for field in fields:
        args += ["-e", field]
    proc = subprocess.run(args, capture_output=True, timeout=120)
    if proc.returncode != 0 or TSHARK_ROOT_NOTICE.sub(b"", proc.stderr):
        raise AssertionError("tshark: status %d, %r" % (proc.returncode, proc.stderr))
    return [tuple(line.split("|")) for line in proc.stdout.decode().splitlines()]


def epoch(log_name, time_text, days=0):
    """The time a record of this log was taken: the date of the log's name, local time."""
    stamp = re.search(r"(\d{8})_\d{6}", log_name).group(1)
    day = datetime.date(int(stamp[:4]), int(stamp[4:6]), int(stamp[6:])) + datetime.timedelta(days)
    hours, minutes, seconds = time_text.decode().split(":")
    local = datetime.datetime(day.year, day.month, day.day, int(hours), int(minutes),
                              int(float(seconds)))
    return time.mktime(local.timetuple()) + round(float(seconds) % 1, 3)


def record(number, time_text, source, payload):
    """A log record as the tool writes it (ASCII payloads)."""
    return (b"--- #%d at %s from %s (%d bytes) ---\nRAW_TEXT: %s\nRAW_HEX: %s\n\n"
            % (number, time_text, source, len(payload), payload, payload.hex(" ").encode()))


def frame(time_text, label, payload):
    return (b"[%s %s] %d bytes\n  TEXT: %s\n  HEX:  %s\n\n"
            % (time_text, label, len(payload), payload, payload.hex(" ").encode()))


# The autumn change of 2026 in New York: at 06:00 UTC, 02:00 summer time becomes 01:00 again.
NEW_YORK = dict(os.environ, TZ="America/New_York")
AUTUMN_CHANGE = 1793512800


def write_log(workdir, name, content):
    os.makedirs(workdir.captures, exist_ok=True)
    with open(os.path.join(workdir.captures, name), "wb") as f:
        f.write(content)
    return "captures/" + name


@unittest.skipUnless(TSHARK, "tshark is not installed (tools/install-deps --all installs it)")
class ExportTest(unittest.TestCase):
    def capture_udp(self):
        port = free_udp_port()
        tool = Tool(["udp", "--port", str(port)])
        self.addCleanup(tool.__exit__)
        harness.wait_for_udp_listener(tool, port)
        with UdpSender() as sender:
            for payload in PAYLOADS:
                sender.send(port, payload)
                time.sleep(0.05)
            shown = [m for m in UDP_SHOWN.finditer(tool.wait_stdout(b"(256 bytes)]"))]
        # A record is in the log before its raw file is made.
        harness.wait_until(lambda: len(tool.workdir.matching(BIN % "udp")) == 5)
        tool.interrupt()
        tool.wait()
        self.assertEqual([int(m.group(4)) for m in shown], [len(p) for p in PAYLOADS])
        log_name, _ = tool.workdir.only(r"udp_%s\.log" % LOG_STAMP)
        return tool.workdir, log_name, [(m.group(2), m.group(3).decode()) for m in shown]

    def capture_proxy(self):
        p = ProxyRun(self)
        conversation = [(b"MM->CTS6", b"\x02SWIM,QRY,\x03"), (b"CTS6->MM", b"\x02SIM,OK\r\n\x03"),
                        (b"MM->CTS6", b"STATUS\r\n\x03"), (b"CTS6->MM", b"\xffOK\x03")]
        for count, (label, data) in enumerate(conversation, 1):
            sender, receiver = (p.mm, p.cts) if label == b"MM->CTS6" else (p.cts, p.mm)
            sender.write(data)
            self.assertEqual(receiver.read_exactly(len(data)), data)
            p.wait_for(p.console, lambda frames, count=count: len(frames) == count)
        self.assertEqual(p.console(), conversation)
        times = re.findall(rb"\[(" + EVENT_TIME + rb") (?:MM->CTS6|CTS6->MM)\]", p.tool.stdout)
        p.wait_for(p.logged, lambda frames: len(frames) == 4)
        p.tool.interrupt()
        p.tool.wait()
        log_name, _ = p.tool.workdir.only(r"proxy_%s\.log" % LOG_STAMP)
        return p.tool.workdir, log_name, list(zip(times, conversation))

    def test_udp_and_proxy_captures_read_in_tshark_as_recorded(self):
        udp_dir, udp_log, shown = self.capture_udp()
        proxy_dir, proxy_log, frames = self.capture_proxy()
        shutil.copy(os.path.join(proxy_dir.captures, proxy_log), udp_dir.captures)
        udp_path, proxy_path = "captures/" + udp_log, "captures/" + proxy_log

        result = run(["export", udp_path, proxy_path, "--out", "meet.pcapng"], workdir=udp_dir)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout, b"%s: udp log, 5 records\n%s: proxy log, 4 records\n"
                                        b"Wrote meet.pcapng (9 packets)\n"
                         % (udp_path.encode(), proxy_path.encode()))

        packets = tshark_fields(os.path.join(udp_dir.path, "meet.pcapng"), "frame.interface_id",
                                "frame.time_epoch", "ip.src", "udp.srcport", "ip.dst",
                                "udp.dstport", "udp.payload", "rtacser.eventtype",
                                "rtacser.timestamp", "data.data")
        epochs = [float(p[1]) for p in packets]
        self.assertEqual(epochs, sorted(epochs))
        udp = [p for p in packets if p[0] == "0"]
        serial = [p for p in packets if p[0] == "1"]
        self.assertEqual([bytes.fromhex(p[6]) for p in udp], PAYLOADS)
        for packet, (time_text, sender) in zip(udp, shown):
            self.assertEqual("%s:%s" % (packet[2], packet[3]), sender)
            self.assertEqual((packet[4], packet[5]), ("0.0.0.0", "12000"))
            self.assertAlmostEqual(float(packet[1]), epoch(udp_log, time_text), places=3)
        self.assertEqual(len(serial), 4)
        for packet, (time_text, (label, data)) in zip(serial, frames):
            self.assertEqual(packet[7], "0x01" if label == b"MM->CTS6" else "0x02")
            self.assertEqual(bytes.fromhex(packet[9]), data)
            self.assertAlmostEqual(float(packet[1]), epoch(proxy_log, time_text), places=3)
            self.assertEqual(packet[8], packet[1])

        # Each log on its own, to the default name in captures/; a second export takes _2.
        for log, packets in ((udp_log, 5), (proxy_log, 4)):
            first = run(["export", "captures/" + log], workdir=udp_dir)
            again = run(["export", "captures/" + log], workdir=udp_dir)
            stem = "captures" + SEP + log[:-len(".log")]
            self.assertTrue(first.stdout.endswith(b"Wrote %s.pcapng (%d packets)\n"
                                                  % (stem.encode(), packets)), first.stdout)
            self.assertIn(b"Wrote %s_2.pcapng (" % stem.encode(), again.stdout)
            self.assertEqual(tshark_fields(os.path.join(udp_dir.captures, log[:-4] + "_2.pcapng"),
                                           "frame.number")[-1], (str(packets),))

    def test_damaged_renamed_and_unusable_logs(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        good = [record(1, b"23:59:59.900", b"udp/10.0.0.7:40000", b"SWIM"),
                record(2, b"00:00:00.100", b"udp/10.0.0.7:40000", b"RUN")]
        cut = record(3, b"00:00:00.200", b"udp/10.0.0.7:40000", b"LANE")[:-12]
        damaged = write_log(workdir, "udp_20261206_231705.log", b"".join(good) + cut)
        result = run(["export", damaged, "--out", "cut", "--port", "5000"], workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stderr, b"Warning: %s:9: record #3 cut short: the file ends before "
                                        b"its 4 bytes are complete\n" % damaged.encode())
        self.assertTrue(result.stdout.endswith(b"\nWrote cut (2 packets)\n"))
        packets = tshark_fields(os.path.join(workdir.path, "cut"), "frame.time_epoch",
                                "udp.dstport", "udp.payload")
        self.assertEqual([(p[1], bytes.fromhex(p[2])) for p in packets],
                         [("5000", b"SWIM"), ("5000", b"RUN")])
        # Past midnight: the second record is on the next day.
        self.assertAlmostEqual(float(packets[0][0]), epoch(damaged, b"23:59:59.900"), places=3)
        self.assertAlmostEqual(float(packets[1][0]), epoch(damaged, b"00:00:00.100", 1), places=3)
        # --out is never overwritten either: a name without extension gets _2 at its end.
        self.assertTrue(run(["export", damaged, "--out", "cut"], workdir=workdir).stdout.endswith(
            b"\nWrote cut_2 (2 packets)\n"))

        # Mailed from the meet computer: CR LF line ends. The log reads as it was written, line by
        # line, also when a header lost its CR and a note was added with a lone LF, and when it
        # was cut between the CR and the LF after its last record.
        crlf = b"".join(good).replace(b"\n", b"\r\n")
        mailed = write_log(workdir, "udp_20261206_231706.log", crlf)
        lost_cr = write_log(workdir, "udp_20261206_231707.log",
                            crlf.replace(b" ---\r\n", b" ---\n", 1) + b"heat 3 re-swum\n")
        cut = write_log(workdir, "udp_20261206_231708.log", crlf[:-1])
        for log, warning in ((mailed, b""), (cut, b""),
                             (lost_cr, b"Warning: %s:9: not part of any record, skipped to the "
                                       b"end\n" % lost_cr.encode())):
            result = run(["export", log, "--out", "mailed.pcapng"], workdir=workdir)
            self.assertEqual((result.status, result.stderr), (0, warning))
            packets = tshark_fields(os.path.join(workdir.path, "mailed.pcapng"), "udp.payload")
            self.assertEqual([bytes.fromhex(p[0]) for p in packets], [b"SWIM", b"RUN"])
            os.remove(os.path.join(workdir.path, "mailed.pcapng"))

        # Renamed: the content says what it is; the date comes from the file's last change.
        renamed = os.path.join(workdir.path, "final heat.log")
        shutil.copy(os.path.join(workdir.path, damaged), renamed)
        when = datetime.datetime(2027, 3, 14, 0, 0, 5)
        os.utime(renamed, (time.mktime(when.timetuple()),) * 2)
        result = run(["export", "final heat.log"], workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertIn(b"Warning: final heat.log: no date in the file name (YYYYMMDD_HHMMSS): dated "
                      b"from the file's last change, first record on 2027-03-13\n", result.stderr)
        self.assertTrue(result.stdout.endswith(b"Wrote captures%sfinal heat.pcapng (2 packets)\n"
                                               % SEP.encode()))
        packets = tshark_fields(os.path.join(workdir.captures, "final heat.pcapng"), "frame.time")
        self.assertTrue(packets[0][0].startswith("Mar 13, 2027 23:59:59.9"), packets)

        # Nothing to export: the error, status 1 and no file.
        scan = write_log(workdir, "scan_20261206_231705.log",
                         b"[10:00:00.000] baud=4800-N-8-1 preset=enq -> NO_RESPONSE\n")
        probe = write_log(workdir, "probe_20261206_231705.log",
                          b"[10:00:00.000] probe=preset=enq baud=9600-N-8-1 NO_RESPONSE\n")
        empty = write_log(workdir, "udp_20261207_000000.log", b"")
        notes = write_log(workdir, "notes.txt", b"heat 3 was re-swum\n")
        cases = [
            ([scan], b"ERROR: %s is a scan log: it holds no packets to export\n" % scan.encode()),
            ([probe], b"ERROR: %s: the probe got no response, so its log holds no bytes\n"
             % probe.encode()),
            ([empty], b"ERROR: %s is empty\n" % empty.encode()),
            ([notes], b"ERROR: %s is not a log of kelp-capture\n" % notes.encode()),
            ([damaged, notes], b"ERROR: %s is not a log of kelp-capture\n" % notes.encode()),
        ]
        cases.append(([empty, scan], b"Warning: %s is empty, skipped\nWarning: %s is a scan log: "
                                     b"it holds no packets to export, skipped\nERROR: nothing to "
                                     b"export: none of the 2 files given holds anything to read\n"
                       % (empty.encode(), scan.encode())))
        before = workdir.files()
        for logs, error in cases:
            result = run(["export"] + logs, workdir=workdir)
            self.assertEqual((result.status, result.stdout), (1, b""), logs)
            self.assertTrue(result.stderr.endswith(error), result.stderr)
        # Among several, the logs that hold nothing are skipped and the others exported.
        result = run(["export", empty, damaged, probe, scan, "--out", "some.pcapng"],
                     workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stderr, (
            b"Warning: %s is empty, skipped\n"
            b"Warning: %s:9: record #3 cut short: the file ends before its 4 bytes are complete\n"
            b"Warning: %s: the probe got no response, so its log holds no bytes, skipped\n"
            b"Warning: %s is a scan log: it holds no packets to export, skipped\n")
            % (empty.encode(), damaged.encode(), probe.encode(), scan.encode()))
        self.assertTrue(result.stdout.endswith(b"Wrote some.pcapng (2 packets)\n"))
        os.remove(os.path.join(workdir.path, "some.pcapng"))
        result = run(["export", "missing.log", "--out", "x.pcapng"], workdir=workdir)
        self.assertEqual(result.status, 1)
        self.assertRegex(result.stderr, rb"^ERROR: cannot read missing\.log: .+ \(os error \d+\)\n$")
        self.assertFalse(os.path.exists(os.path.join(workdir.path, "x.pcapng")))
        self.assertEqual(workdir.files(), before)

        result = run(["export", "--out", "x.pcapng"], workdir=workdir)
        self.assertEqual((result.status, result.stdout), (1, b""))
        self.assertTrue(result.stderr.startswith(EXPORT_USAGE), result.stderr)

    def test_to_the_standard_output_and_never_onto_a_directory_or_device(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        log = write_log(workdir, "udp_20261206_120000.log",
                        record(1, b"12:00:00.000", b"udp/10.0.0.7:40000", b"SWIM") +
                        record(2, b"12:00:00.500", b"udp/10.0.0.7:40000", b"RUN"))
        before = workdir.files()

        # kelp-capture export LOG --out - | tshark -r -
        tool = subprocess.Popen(harness.command(["export", log, "--out", "-"]), cwd=workdir.path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        shark = subprocess.run([TSHARK, "-r", "-", "-T", "fields", "-e", "udp.payload"],
                               stdin=tool.stdout, capture_output=True, timeout=120)
        tool.stdout.close()
        self.assertEqual(tool.wait(60), 0)
        self.assertEqual(tool.stderr.read(), b"%s: udp log, 2 records\nWrote the standard output "
                                             b"(2 packets)\n" % log.encode())
        tool.stderr.close()
        self.assertEqual(shark.returncode, 0, shark.stderr)
        self.assertEqual([bytes.fromhex(line) for line in shark.stdout.decode().split()],
                         [b"SWIM", b"RUN"])
        self.assertEqual(workdir.files(), before)

        # A standard output closed at the start (>&-): an error, never a hang, nothing made.
        proc = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh"] +
                              harness.command(["export", log, "--out", "-"]), cwd=workdir.path,
                              stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((proc.returncode, proc.stderr), (1, (
            b"ERROR: --out - writes the pcapng file to the standard output, which is closed "
            b"here: send it to a program or a file (kelp-capture export LOG --out - | tshark -r "
            b"-)\n")))
        self.assertEqual(workdir.files(), before)

        # Not into a directory, not onto a device: an error, and nothing made.
        os.mkdir(os.path.join(workdir.path, "meet"))
        device = "NUL" if ON_WINE else "/dev/null"
        cases = [("meet", b"ERROR: --out meet is a directory: name the file to write\n"),
                 (device, b"ERROR: --out %s is not a regular file (a device or a pipe): name a "
                          b"file, or write to the standard output with --out -\n" % device.encode())]
        for out, error in cases:
            result = run(["export", log, "--out", out], workdir=workdir)
            self.assertEqual((result.status, result.stdout, result.stderr), (1, b"", error))
        self.assertEqual(workdir.files(), before)
        self.assertEqual(os.listdir(os.path.join(workdir.path, "meet")), [])

    @harness.skip_on_wine("a pseudo-terminal is no Windows console")
    def test_not_onto_a_terminal(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        log = write_log(workdir, "udp_20261206_120000.log",
                        record(1, b"12:00:00.000", b"udp/10.0.0.7:40000", b"SWIM"))
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        try:
            result = run(["export", log, "--out", "-"], workdir=workdir)  # not a terminal: fine
            self.assertEqual(result.status, 0)
            proc = subprocess.run(harness.command(["export", log, "--out", "-"]), cwd=workdir.path,
                                  stdin=subprocess.DEVNULL, stdout=slave,
                                  stderr=subprocess.PIPE, timeout=60)
        finally:
            os.close(slave)
        self.assertEqual(proc.returncode, 1)
        self.assertTrue(proc.stderr.startswith(b"ERROR: --out - writes the pcapng file to the "
                                               b"standard output, which is a terminal"), proc.stderr)

    @harness.skip_on_wine("a Windows port name holds no line break")
    def test_a_port_name_with_a_line_break_keeps_its_log_readable(self):
        # A link named so (Linux allows it) would split the record's header: the name is written
        # spelled out, as the console shows control characters.
        peer = PtyPeer()
        self.addCleanup(peer.close)
        links = harness.Workdir()
        self.addCleanup(links.remove)
        name = os.path.join(links.path, "tty\nCOM3\r")
        os.symlink(peer.slave_path, name)
        tool = Tool(["serial", "--port", name])
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(b"DTR and RTS asserted.\n")
        peer.write(b"SWIM,RUN,1\x03")
        log_name = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)[0]
        harness.wait_until(lambda: tool.workdir.read(log_name).endswith(b"\n\n"))
        tool.interrupt()
        tool.wait()
        source = ("serial/" + name.replace("\n", "\\n").replace("\r", "\\r") + "@9600").encode()
        self.assertEqual(tool.workdir.read(log_name).split(b" (11 bytes)")[0].split(b" from ")[1],
                         source)
        result = run(["export", "captures/" + log_name, "--out", "port.pcapng"],
                     workdir=tool.workdir)
        self.assertEqual((result.status, result.stderr), (0, b""))
        packets = tshark_fields(os.path.join(tool.workdir.path, "port.pcapng"), "data.data")
        self.assertEqual([bytes.fromhex(p[0]) for p in packets], [b"SWIM,RUN,1\x03"])

    def test_ctrl_c_while_the_reader_takes_nothing(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        log = write_log(workdir, "udp_20261206_120000.log", b"".join(
            record(n, b"12:00:%02d.%03d" % (n // 1000, n % 1000), b"udp/10.0.0.7:40000",
                   b"LANE %04d;" % n * 20) for n in range(1, 3000)))
        read_end, write_end = os.pipe()
        proc = subprocess.Popen(harness.command(["export", log, "--out", "-"]), cwd=workdir.path,
                                stdin=subprocess.DEVNULL, stdout=write_end,
                                stderr=subprocess.PIPE, start_new_session=True)
        os.close(write_end)
        self.addCleanup(os.close, read_end)
        self.addCleanup(lambda: proc.poll() is None and (os.killpg(proc.pid, 9), proc.wait(10)))

        def pending():
            return int.from_bytes(fcntl.ioctl(read_end, termios.FIONREAD, b"\0" * 4), "little")
        # The pipe is full and the tool waits for its reader.
        self.assertTrue(harness.wait_until(lambda: pending() >= 65536, 60), pending())
        time.sleep(0.2)
        started = time.monotonic()
        os.killpg(proc.pid, signal.SIGINT)
        self.assertEqual(proc.wait(30), harness.INTERRUPTED_STATUS)
        self.assertLess(time.monotonic() - started, 4.0 if ON_WINE else 2.0)
        self.assertNotIn(b"Wrote", proc.stderr.read())
        proc.stderr.close()

    @harness.skip_on_wine("a Unix FIFO is no Windows file")
    def test_ctrl_c_while_an_input_never_ends(self):
        # A pipe whose writer stays open and silent: export, replay and decode read it until Ctrl+C.
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        fifo = os.path.join(workdir.path, "endless")
        os.mkfifo(fifo)
        for mode in ("export", "replay", "decode"):
            proc = subprocess.Popen(harness.command([mode, fifo]), cwd=workdir.path,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, start_new_session=True)
            self.addCleanup(lambda p=proc: p.poll() is None and (os.killpg(p.pid, 9), p.wait(10)))
            writer = os.open(fifo, os.O_WRONLY)  # returns once the tool has opened it
            time.sleep(0.3)
            os.killpg(proc.pid, signal.SIGINT)
            self.assertEqual(proc.wait(10), harness.INTERRUPTED_STATUS, mode)
            os.close(writer)

    def test_the_repeated_hour_of_the_autumn_change_keeps_its_order(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        # Summer time, then the same hour again in winter time.
        times = [b"01:30:00.000", b"01:59:59.000", b"01:00:00.500", b"01:30:00.000"]
        log = write_log(workdir, "udp_20261101_012959.log", b"".join(
            record(n, t, b"udp/10.0.0.7:40000", b"%d" % n) for n, t in enumerate(times, 1)))
        result = run(["export", log, "--out", "fold.pcapng"], workdir=workdir, env=NEW_YORK)
        self.assertEqual((result.status, result.stderr), (0, b""))
        packets = tshark_fields(os.path.join(workdir.path, "fold.pcapng"), "frame.time_epoch",
                                "udp.payload")
        self.assertEqual([bytes.fromhex(p[1]) for p in packets], [b"1", b"2", b"3", b"4"])
        for packet, expected in zip(packets, [-1800, -1, 0.5, 1800]):
            self.assertAlmostEqual(float(packet[0]), AUTUMN_CHANGE + expected, places=3)


class Relay:
    """Two pseudo-terminals joined like a null-modem cable: what is written to the first one's
    port comes out of the second one's port."""

    def __init__(self, test):
        self.near = PtyPeer()
        self.far = PtyPeer()
        test.addCleanup(self.far.close)
        test.addCleanup(self.near.close)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        test.addCleanup(self.stop)

    def _run(self):
        while self.running:
            ready, _, _ = select.select([self.near.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.near.master, 65536)
            except (BlockingIOError, OSError):
                time.sleep(0.01)
                continue
            self.far.write(data)

    def stop(self):
        self.running = False
        self.thread.join(5)


class ReplayTest(unittest.TestCase):
    def received(self, tool, mode, expected):
        """The times (seconds into the day) at which a capture got the expected chunks, checking
        its raw files, which hold exactly the bytes received."""
        def chunks():
            return [tool.workdir.read(name) for name in tool.workdir.matching(BIN % mode)]
        harness.wait_until(lambda: chunks() == expected)
        self.assertEqual(chunks(), expected)
        log = tool.workdir.read(tool.workdir.only(r"%s_%s\.log" % (mode, LOG_STAMP))[0])
        times = re.findall(rb"^--- #\d+ at (" + EVENT_TIME + rb") from ", log, re.M)
        return [int(t[:2]) * 3600 + int(t[3:5]) * 60 + float(t[6:]) for t in times]

    def check_spacing(self, times, recorded_gaps):
        gaps = [b - a for a, b in zip(times, times[1:])]
        for gap, recorded in zip(gaps, recorded_gaps):
            # Generous: the machines are small and busy, and Wine adds its own delays.
            self.assertGreater(gap, recorded - 0.1, gaps)
            self.assertLess(gap, recorded + 1.0, gaps)

    def test_udp_log_is_sent_again_as_recorded(self):
        sender = b"udp/192.168.1.20:50123"
        payloads = [b"SWIM,RUN,1", b"", b"LANE 4;1:02.37;2\r\n", b"x\nRAW_HEX: 78\n\n"]
        times = [b"23:59:59.500", b"23:59:59.900", b"00:00:00.400", b"00:00:00.400"]
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        log = write_log(workdir, "udp_20261206_235959.log", b"".join(
            record(n + 1, t, sender, p) for n, (t, p) in enumerate(zip(times, payloads))))

        port = free_udp_port()
        capture = Tool(["udp", "--port", str(port)])
        self.addCleanup(capture.__exit__)
        harness.wait_for_udp_listener(capture, port)
        result = run(["replay", log, "--to", "127.0.0.1:%d" % port], workdir=workdir)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.status, 0)
        self.assertRegex(result.stdout, re.escape(
            b"=== Replay ===\nLog:      %s (udp log)\nTo:       127.0.0.1:%d\n"
            b"Records:  #1 to #4, 4 of 4 records\nSpeed:    1 (as recorded)\n"
            b"Press Ctrl+C to stop.\n\n#1 23:59:59.500 10 bytes\n#2 23:59:59.900 0 bytes\n"
            b"#3 00:00:00.400 18 bytes\n#4 00:00:00.400 15 bytes\n\nSent 4 of 4 records "
            b"(43 bytes) in " % (log.encode(), port)) + rb"\d+\.\d{3} s\.\n\Z")
        self.check_spacing(self.received(capture, "udp", payloads), [0.4, 0.5, 0.0])

        # A part of it, back to back.
        result = run(["replay", log, "--to", "127.0.0.1:%d" % port, "--from", "3", "--count", "1",
                      "--speed", "0"], workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertIn(b"Records:  #3 to #3, 1 of 4 records\nSpeed:    0 (back to back)\n",
                      result.stdout)
        self.received(capture, "udp", payloads + [payloads[2]])
        result = run(["replay", log, "--to", "127.0.0.1:%d" % port, "--from", "4", "--speed",
                      "0.3"], workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertIn(b"Speed:    0.3 (0.3 times as fast)\n", result.stdout)
        self.received(capture, "udp", payloads + [payloads[2], payloads[3]])

    def test_the_repeated_hour_of_the_autumn_change_keeps_its_spacing(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        # 01:59:59 summer time, then 1.5 s later 01:00:00.500 winter time.
        log = write_log(workdir, "udp_20261101_015959.log",
                        record(1, b"01:59:59.000", b"udp/10.0.0.7:40000", b"SUMMER") +
                        record(2, b"01:00:00.500", b"udp/10.0.0.7:40000", b"WINTER"))
        port = free_udp_port()
        capture = Tool(["udp", "--port", str(port)])
        self.addCleanup(capture.__exit__)
        harness.wait_for_udp_listener(capture, port)
        result = run(["replay", log, "--to", "127.0.0.1:%d" % port], workdir=workdir, env=NEW_YORK)
        self.assertEqual((result.status, result.stderr), (0, b""))
        self.check_spacing(self.received(capture, "udp", [b"SUMMER", b"WINTER"]), [1.5])

    def test_serial_log_and_a_proxy_direction_go_onto_a_serial_port(self):
        relay = Relay(self)
        capture = Tool(["serial", "--port", relay.far.port_name, "--baud", "19200"])
        self.addCleanup(capture.__exit__)
        capture.wait_stdout(b"DTR and RTS asserted.\n\n")
        chunks = [b"\x02SWIM,RUN,1\x03", b"\x02LANE,4,1:02.37\r\n\x03"]
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        serial = write_log(workdir, "serial_20261206_120000.log",
                           record(1, b"12:00:00.000", b"serial/COM3@19200", chunks[0]) +
                           record(2, b"12:00:00.600", b"serial/COM3@19200", chunks[1]))
        result = run(["replay", serial, "--port", relay.near.port_name, "--baud", "19200"],
                     workdir=workdir)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.status, 0)
        self.assertIn(b"To:       %s @ 19200-N-8-1\n" % relay.near.port_name.encode(),
                      result.stdout)
        self.check_spacing(self.received(capture, "serial", chunks), [0.6])

        # One direction of a proxy conversation: only its frames go out.
        proxy = write_log(workdir, "proxy_20261206_120000.log",
                          frame(b"12:00:01.000", b"MM->CTS6", b"\x02SWIM,QRY,\x03") +
                          frame(b"12:00:01.050", b"CTS6->MM", b"\x02SIM,OK\x03") +
                          frame(b"12:00:01.300", b"MM->CTS6", b"STATUS\r\n\x03"))
        result = run(["replay", proxy, "--port", relay.near.port_name, "--baud", "19200",
                      "--direction", "mm->cts6"], workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertIn(b"(proxy log, MM->CTS6 frames)\n", result.stdout)
        self.assertIn(b"\n#1 12:00:01.000 11 bytes\n#2 12:00:01.300 9 bytes\n", result.stdout)
        times = self.received(capture, "serial", chunks + [b"\x02SWIM,QRY,\x03", b"STATUS\r\n\x03"])
        self.check_spacing(times[2:], [0.3])

    def test_ctrl_c_stops_between_records(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        log = write_log(workdir, "udp_20261206_120000.log",
                        record(1, b"12:00:00.000", b"udp/10.0.0.7:40000", b"A") +
                        record(2, b"12:01:00.000", b"udp/10.0.0.7:40000", b"B"))
        tool = Tool(["replay", log, "--to", "127.0.0.1:%d" % free_udp_port()], workdir=workdir)
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(b"#1 12:00:00.000 1 bytes\n")
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        self.assertRegex(tool.stdout, rb"\n\nStopped by Ctrl\+C: sent 1 of 2 records \(1 bytes\) in "
                                      rb"\d+\.\d{3} s\.\n\Z")

    def test_what_cannot_be_replayed(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        udp = write_log(workdir, "udp_20261206_120000.log",
                        record(1, b"12:00:00.000", b"udp/10.0.0.7:40000", b"A"))
        serial = write_log(workdir, "serial_20261206_120000.log",
                           record(1, b"12:00:00.000", b"serial/COM3@9600", b"A"))
        proxy = write_log(workdir, "proxy_20261206_120000.log",
                          frame(b"12:00:00.000", b"CTS6->MM", b"OK"))
        probe = write_log(workdir, "probe_20261206_120000.log",
                          record(1, b"12:00:00.000", b"probe/COM3@9600-N-8-1 [preset=enq]", b"A"))
        cases = [
            ([], REPLAY_USAGE),
            ([udp, serial], b"ERROR: replay takes one log at a time\n" + REPLAY_USAGE),
            ([udp, "--to", "localhost"], b"ERROR: --to takes HOST:PORT (for example "
                                         b"127.0.0.1:12000), not localhost\n"),
            ([udp, "--port", "COM7"], b"ERROR: %s is a udp log: it replays to --to HOST:PORT, not "
                                      b"onto a serial port\n" % udp.encode()),
            ([serial, "--to", "127.0.0.1:5"], b"ERROR: %s is a serial log: it replays onto a "
                                              b"serial port (--port), not to --to\n"
             % serial.encode()),
            ([proxy, "--port", "COM7", "--direction", "both"],
             b"ERROR: %s is a proxy log: choose the direction to replay with --direction "
             b"\"MM->CTS6\" or --direction \"CTS6->MM\" (in quotes: the shell takes > for a "
             b"redirection)\n" % proxy.encode()),
            ([proxy, "--port", "COM7", "--direction", "MM->CTS6"],
             b"ERROR: %s: no MM->CTS6 frame in this proxy log\n" % proxy.encode()),
            ([probe], b"ERROR: %s is a probe log: replay takes udp, serial and proxy logs\n"
             % probe.encode()),
            # Never onto a port it picks itself: at a meet that may be the live console.
            ([serial], b"ERROR: %s is a serial log: name the serial port to send it onto with "
                       b"--port (replay never picks one itself; `kelp-capture list` shows the "
                       b"ports)\n" % serial.encode()),
            ([proxy, "--direction", "CTS6->MM"], b"ERROR: %s is a proxy log: name the serial port "
                                                 b"to send it onto with --port" % proxy.encode()),
            ([udp, "--from", "2"], b"ERROR: %s: no record from #2 on (the last is #1)\n"
             % udp.encode()),
        ]
        for args, error in cases:
            result = run(["replay"] + args, workdir=workdir)
            self.assertEqual((result.status, result.stdout), (1, b""), args)
            self.assertTrue(result.stderr.startswith(error), result.stderr)


if __name__ == "__main__":
    unittest.main()
