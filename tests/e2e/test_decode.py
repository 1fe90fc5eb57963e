"""`decode`: a real CTS scoreboard recording (a 25-yard race) read as the board changes, live from a
port and afterwards from the file, from the tool's own serial log of it and from its .bin files;
and in tshark, through the Lua dissector shipped with the tool.

What the decoder derives is checked against a reading of the bytes made here, by the stream's
rules alone: frames begin at bytes of 0x80 and up, and each digit frame sets the cells it sends.
"""

import csv
import io
import doctest
import json
import os
import random
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request
from xml.etree import ElementTree

import harness
import screen
import sim_device
from harness import EVENT_TIME, LOG_STAMP, PtyPeer, Tool, run

FIXTURE = os.path.join(sim_device.FIXTURES, "console-streams", "cts-scoreboard-meet.bin")
START_LISTS = os.path.join(sim_device.FIXTURES, "start-lists")
DISSECTOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "wireshark",
                         "cts_scoreboard.lua")
BYTE_CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "unit",
                          "cts_byte_cases.inc")
TSHARK = shutil.which("tshark")
GLYPHS = "0123456789ABCDE "


def setUpModule():
    harness.start_wine()


def load_tests(loader, tests, ignore):
    tests.addTests(doctest.DocTestSuite(screen))  # the screen model reads as its example says
    return tests


def reading(data):
    """(the running times channel 0 shows, in order, as its cells 2-7; each lane's last cells)."""
    frames = re.findall(rb"([\x80-\xff])([\x00-\x7f]*)", data)
    if len(frames[-1][1]) < 8:
        frames.pop()  # the recording ends inside it: it may not be whole
    board, clocks = {}, []
    for control, cells in frames:
        if control[0] & 1:
            continue  # format frames light punctuation only
        channel = ((control[0] >> 1) & 0x1F) ^ 0x1F
        line = board.setdefault(channel, [" "] * 8)
        for b in cells:
            line[b >> 4] = GLYPHS[(b & 15) ^ 15]
        if channel == 0 and (not clocks or clocks[-1] != "".join(line[2:])):
            clocks.append("".join(line[2:]))
    return clocks, {ch: "".join(board[ch]) for ch in range(1, 11)}


def tenths(cells):
    """Cells 2-7 of channel 0 (minutes, seconds, tenths, hundredths) as tenths of a second."""
    digits = lambda s: int(s.strip() or "0")
    return (digits(cells[0:2]) * 60 + digits(cells[2:4])) * 10 + digits(cells[4])


def clock_text(t):
    """How the board reads `t` tenths: the seconds cells stay dark for the first second."""
    minutes, seconds = divmod(t // 10, 60)
    if minutes:
        return "%d:%02d.%d" % (minutes, seconds, t % 10)
    return "%s.%d" % (seconds or "", t % 10)


def lane_time(cells):
    minutes, seconds, hundredths = (cells[i:i + 2].replace(" ", "") for i in (2, 4, 6))
    return (minutes + ":" if minutes else "") + seconds + "." + hundredths


def lane_digits(control):
    """A lane's digit control byte (channels 1-10, not running)."""
    return control & 0x41 == 0 and 1 <= ((control >> 1) & 0x1F) ^ 0x1F <= 10


def state(o):
    """What a change says the channel holds, without where or when."""
    return (o["channel"], o["text"], o["running"], tuple(o["cells"]), tuple(o["format"]),
            o["format_running"])


def invented(shown, intact):
    """The changes in `shown` that say what the channel never held in `intact`. A cell never sent
    since reading began (null) says nothing, nor does the format's running flag before any format
    cell came: a reading that began later, or again after a gap, knows less, and says so."""
    had = {}
    for o in intact:
        had.setdefault(o["channel"], set()).add(state(o))

    def agrees(o, h):
        cells = list(o["cells"]) + list(o["format"])
        known_format = any(v is not None for v in o["format"])
        return (all(a is None or a == b for a, b in zip(cells, list(h[3]) + list(h[4])))
                and o["running"] == h[2] and (o["format_running"] == h[5] or not known_format))

    return [o for o in shown if state(o) not in had.get(o["channel"], ())
            and not any(agrees(o, h) for h in had.get(o["channel"], ()))]


def ms_of(text):
    hours, minutes, seconds = text.split(":")
    return (int(hours) * 60 + int(minutes)) * 60000 + round(float(seconds) * 1000)


def last_states(objects):
    return {o["channel"]: state(o) for o in objects}


def changes(stdout):
    """The JSON objects of a --json run, without their times (a log's or a read's)."""
    objects = [json.loads(line) for line in stdout.decode().splitlines()]
    for o in objects:
        o.pop("time", None)
    return objects


def start_list(path):
    """{heat: {lane: (name, team)}} of a start list file, read by its layout alone."""
    with open(path, "rb") as f:
        lines = f.read().decode("cp1252").splitlines()[1:]
    heats = {}
    for i, line in enumerate(lines):
        name, team = line[:20].rstrip(), line[22:].rstrip()
        if name:
            heats.setdefault(i // 10 + 1, {})[i % 10 + 1] = (name, team)
    return heats


def results_rows(content):
    """The rows of a results file, as dicts of its columns."""
    return list(csv.DictReader(io.StringIO(content.decode("utf-8"), newline="")))


def board_json(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/board.json" % port, timeout=5) as answer:
        return json.loads(answer.read())


class DecodeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(FIXTURE, "rb") as f:
            cls.data = f.read()
        cls.clocks, cls.lanes = reading(cls.data)
        result = run(["decode", "--json", FIXTURE])
        assert result.status == 0 and result.stderr == b"", (result.status, result.stderr)
        cls.from_file = changes(result.stdout)

    def test_the_race_as_the_recording_shows_it(self):
        # The stream itself: the clock counts from .0 to 1:01.6 in tenths without a gap, and six
        # lanes finished, places 1 to 6, lanes 7 to 10 dark.
        start = self.clocks.index("    0 ")
        end = self.clocks.index(" 1016 ")
        self.assertEqual([tenths(c) for c in self.clocks[start:end + 1]], list(range(617)))
        self.assertEqual(sorted(self.lanes[ch][1] for ch in range(1, 7)), list("123456"))
        self.assertEqual([self.lanes[ch] for ch in range(7, 11)], [" " * 8] * 4)

        # What the decoder makes of it.
        clock = [o for o in self.from_file if o["channel"] == 0 and o["frame"] == "digits"]
        self.assertEqual([o["text"] for o in clock], ["  " + c for c in self.clocks])
        shown = [o["clock"] for o in clock]
        self.assertEqual(shown[start:end + 1], [clock_text(t) for t in range(617)])
        for ch in range(1, 7):
            last = [o for o in self.from_file if o["channel"] == ch][-1]
            text = self.lanes[ch]
            self.assertEqual((last["text"], last["running"]), (text, False))
            self.assertEqual((last["lane"], last["place"], last["lane_time"]),
                             (ch, int(text[1]), lane_time(text)))
        offsets = [o["offset"] for o in self.from_file]
        self.assertEqual(offsets, sorted(set(offsets)))
        self.assertTrue(all(self.data[o] >= 0x80 for o in offsets))

        # For a person: one line per change; each lane's last line says how it finished.
        text = run(["decode", FIXTURE])
        self.assertEqual((text.status, text.stderr), (0, b""))
        lines = text.stdout.decode().splitlines()
        for ch in range(1, 7):
            cells = self.lanes[ch]
            last = [line for line in lines if line.startswith("lane %d " % ch)][-1]
            self.assertEqual(last, "lane %d  place %s  %s  [%s]" % (ch, cells[1], lane_time(cells),
                                                                  cells))
        self.assertIn("clock 1:01.6  [   1016 ]", lines)
        self.assertIn("event 27  heat 1  [ 27    1]", lines)

    @harness.skip_on_wine("Wine shows a pseudo-terminal as a console of its own, which it draws "
                          "with bytes of its own")
    def test_on_a_terminal_the_board_stays_in_place(self):
        # In a pipe: a line per change, most of them the clock's; each lane's last one says how
        # it finished.
        piped = run(["decode", FIXTURE])
        lines = piped.stdout.decode().splitlines()
        self.assertGreater(sum(line.startswith("clock ") for line in lines), 600)
        finished = {}
        for line in lines:
            lane = re.match(r"lane (\d+)  place (\d+)  (\S+)  \[", line)
            if lane:
                finished[int(lane.group(1))] = (lane.group(2), lane.group(3))
        self.assertEqual(sorted(finished), list(range(1, 7)))

        for columns, rows in (80, 24), (50, 12):
            shown = harness.run_on_terminal(["decode", FIXTURE], columns, rows)
            self.assertEqual((shown.status, shown.stderr), (0, b""))
            self.assertIn(b"\x1b[J", shown.stdout)
            terminal = screen.Screen(columns, rows)
            terminal.feed(shown.stdout)
            everything = terminal.lines()  # a line too long for the terminal joined again
            # One board, drawn again in place: the clock never scrolled a line.
            self.assertEqual(sum(" Clock " in row for row in everything), 1, everything)
            self.assertEqual(sum(row.startswith("Lane Place") for row in everything), 1)
            top = everything.index(next(row for row in everything if row.startswith("Event ")))
            board = everything[top:-1]
            self.assertEqual(len(board), min(rows - 1, 5 + 10))
            self.assertTrue(all(len(row) < columns for row in board), board)
            # Left on the screen at the end, the prompt below it.
            self.assertEqual(terminal.rows()[terminal.row - len(board):terminal.row], board)
            self.assertEqual(terminal.cursor, (terminal.row, 0))
            self.assertEqual(everything[-1], "")
            self.assertTrue(board[0].endswith("Signal: ended" if columns == 80 else "…"), board)
            for lane in range(1, 7):
                if 4 + lane > len(board):
                    continue  # below what the terminal shows
                place, time = finished[lane]
                self.assertEqual([row for row in board if re.match(r"\s*%d " % lane, row)],
                                 ["%4d%6s  %s" % (lane, place, time)])
            # Above it, whole: the table of each race as it ended, the last one as the lanes
            # finished.
            results = everything.index("Results: event 27 heat 1")
            self.assertLess(results, top)
            table = everything[results + 2:results + 8]
            self.assertEqual(sorted(table), sorted("%7s%6d  %s" % (place, lane, time)
                                                   for lane, (place, time) in finished.items()))

    @harness.skip_on_wine("Wine shows a pseudo-terminal as a console of its own, which it draws "
                          "with bytes of its own")
    def test_on_a_terminal_a_warning_goes_above_the_board_or_to_its_file(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        with open(os.path.join(workdir.path, "damaged.bin"), "wb") as f:
            f.write(self.data[:2310] + self.data[2311:])
        warning = run(["decode", "damaged.bin"], workdir=workdir).stderr
        self.assertTrue(warning.startswith(b"Warning: offset 2303: damaged digit frame"), warning)
        line = warning.decode().rstrip("\n")
        for stderr_too in True, False:
            shown = harness.run_on_terminal(["decode", "damaged.bin"], stderr_too=stderr_too,
                                            workdir=workdir)
            self.assertEqual(shown.stderr, b"" if stderr_too else warning)
            terminal = screen.Screen(80, 24)
            terminal.feed(shown.stdout)
            everything = terminal.lines()
            # The board's last line holds the warning, cut to the terminal.
            self.assertEqual(everything[-2], line[:78] + "…")
            self.assertEqual(everything.count(line), 1 if stderr_too else 0, everything)
            if stderr_too:
                self.assertLess(everything.index(line), everything.index("Results: event 27 heat 1"))

    def test_live_from_the_port_and_again_from_what_it_recorded(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        tool = Tool(["decode", "--port", peer.port_name, "--json"])
        self.addCleanup(tool.__exit__)
        tool.wait_stderr(b"DTR and RTS asserted.\n\n")
        self.assertTrue(tool.stderr.startswith(b"=== CTS Scoreboard Decode ===\nPort:  %s\n"
                                               b"Baud:  9600 (8-E-1)\n" % peer.port_name.encode()))
        # Faster than the console's 873 bytes a second: seconds, not the race's 70.
        player = threading.Thread(target=sim_device.play, args=(peer, self.data, 20000))
        player.start()
        player.join()
        bins = lambda: tool.workdir.matching(r"serial_\d{4}_\d{6}(_\d+)?\.bin")
        harness.wait_until(lambda: b"".join(map(tool.workdir.read, bins())) == self.data, 30)
        self.assertEqual(b"".join(map(tool.workdir.read, bins())), self.data)
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        live = [json.loads(line) for line in tool.stdout.decode().splitlines()]
        self.assertTrue(all(re.fullmatch(EVENT_TIME.decode(), o.pop("time")) for o in live))
        self.assertEqual(live, self.from_file)

        # The capture's own files: its log and its raw files, in order, say the same.
        log, content = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)
        self.assertRegex(content, rb"^--- #1 at " + EVENT_TIME + rb" from serial/")
        from_log = run(["decode", "--json", "captures/" + log], workdir=tool.workdir)
        self.assertEqual((from_log.status, from_log.stderr), (0, b""))
        self.assertEqual(changes(from_log.stdout), self.from_file)
        from_bins = run(["decode", "--json"] + ["captures/" + b for b in bins()],
                        workdir=tool.workdir)
        self.assertEqual((from_bins.status, from_bins.stderr), (0, b""))
        self.assertEqual(changes(from_bins.stdout), self.from_file)
        self.check_in_tshark(tool.workdir, log)

    @harness.skip_on_wine("Wine reports a hung-up pseudo-terminal as a silent line, never as a "
                          "read error")
    def test_live_through_a_pulled_adapter(self):
        # Pulled out in the middle of a lane's frame: the part before the pull is never joined
        # to the bytes after the return, live or from the log, which marks the outage.
        split = next(m.start() + 4 for m in re.finditer(rb"[\x80-\xff][\x00-\x7f]{8}", self.data)
                     if m.start() > len(self.data) // 2 and lane_digits(self.data[m.start()]))
        adapter = harness.PluggablePeer()
        self.addCleanup(adapter.close)
        tool = Tool(["decode", "--port", adapter.port_name, "--json", "--reconnect"])
        self.addCleanup(tool.__exit__)
        tool.wait_stderr(b"DTR and RTS asserted.\n\n")
        sim_device.play(adapter.peer, self.data[:split], 20000)
        bins = lambda: tool.workdir.matching(r"serial_\d{4}_\d{6}(_\d+)?\.bin")
        recorded = lambda: b"".join(map(tool.workdir.read, bins()))
        self.assertTrue(harness.wait_until(lambda: recorded() == self.data[:split], 30))
        before = len(bins())
        adapter.pull()
        tool.wait_stderr(b"Waiting for %s to come back; press Ctrl+C to stop.\n"
                         % adapter.port_name.encode())
        adapter.plug()
        tool.wait_stderr(b" is back after ")
        sim_device.play(adapter.peer, self.data[split:], 20000)
        self.assertTrue(harness.wait_until(lambda: recorded() == self.data, 30))
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        channel = ((self.data[split - 4] >> 1) & 0x1F) ^ 0x1F
        self.assertRegex(tool.stderr, rb"\nWarning: offset %d \(%s\): digit frame of channel %d "
                                      rb"cut off by a gap \(the port was away\), skipped\n"
                         % (split - 4, EVENT_TIME, channel))
        live = [json.loads(line) for line in tool.stdout.decode().splitlines()]
        for o in live:
            o.pop("time")

        # The log: the first record after the return says so; its number follows on.
        log, content = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)
        marked = re.findall(rb"--- #(\d+) at [^\n]* from serial/[^\n]*@9600 \[reconnected\] \(",
                            content)
        self.assertEqual(marked, [b"%d" % (before + 1)])
        from_log = run(["decode", "--json", "captures/" + log], workdir=tool.workdir)
        self.assertEqual(from_log.status, 0)
        gap = rb"captures.%s: the port was away before record #%d" % (re.escape(log.encode()),
                                                                     before + 1)
        self.assertRegex(from_log.stderr, rb"^Warning: offset %d \(%s\): digit frame of channel %d "
                                          rb"cut off by a gap \(%s\), skipped\n$"
                         % (split - 4, EVENT_TIME, channel, gap))
        self.assertEqual(changes(from_log.stdout), live)

        # Every state shown is one the race had, and the race ends as it did.
        self.assertEqual(invented(live, self.from_file), [])
        self.assertEqual(last_states(live), last_states(self.from_file))

    def check_in_tshark(self, workdir, log):
        if not TSHARK:
            self.skipTest("tshark is not installed (tools/install-deps --all installs it)")
        exported = run(["export", "captures/" + log, "--out", "meet.pcapng"], workdir=workdir)
        self.assertEqual(exported.status, 0, exported.stderr)
        rows = tshark_rows(os.path.join(workdir.path, "meet.pcapng"))
        last = {}
        for channels, texts in rows:
            self.assertEqual(len(channels.split(",")), len(texts.split(",")))
            for channel, text in zip(channels.split(","), texts.split(",")):
                last[int(channel)] = text
        self.assertEqual([last[ch] for ch in range(1, 11)], [self.lanes[ch] for ch in range(1, 11)])

    def test_the_dissector_reads_the_byte_cases_as_decode_does(self):
        # Each case of the decoder's own table is a log of its own (one record a piece), all of
        # them exported into one capture: one interface, one stream each.
        if not TSHARK:
            self.skipTest("tshark is not installed (tools/install-deps --all installs it)")
        cases = [c for c in byte_cases() if "gap" not in c["steps"] and "end" not in c["steps"]]
        self.assertGreaterEqual(len(cases), 20)
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        names = []
        for i, case in enumerate(cases):
            names.append("serial_20261208_120000_%d.log" % (i + 1))
            pieces = [bytes.fromhex(step) for step in case["steps"]]
            with open(os.path.join(workdir.path, names[-1]), "wb") as f:
                f.write(serial_log(pieces, [43200000 + 1000 * (n + 1) for n in range(len(pieces))]))
        exported = run(["export"] + names + ["--out", "cases.pcapng"], workdir=workdir)
        self.assertEqual(exported.status, 0, exported.stderr)
        changes = dissected_changes(os.path.join(workdir.path, "cases.pcapng"))
        for i, case in enumerate(cases):
            expected = [e.split(" ")[0] if e.startswith("!") else e for e in case["events"]]
            self.assertEqual(by_channel(changes.get(i, [])), by_channel(expected), case["name"])

    def test_a_lost_control_byte_costs_only_the_frames_it_touches(self):
        # The control byte of lane 1's digit frame at 2310 lost: its 8 cells land on the
        # channel-0 frame before it.
        self.assertEqual(self.data[2303:2311:7], b"\xbe\xbc")
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        with open(os.path.join(workdir.path, "damaged.bin"), "wb") as f:
            f.write(self.data[:2310] + self.data[2311:])
        result = run(["decode", "--json", "damaged.bin"], workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stderr, b"Warning: offset 2303: damaged digit frame of channel 0 "
                                        b"(more than 8 data bytes: a control byte was lost), "
                                        b"skipped\n")
        damaged = changes(result.stdout)
        for o in damaged:
            o["offset"] += o["offset"] >= 2310
        self.assertEqual(damaged, self.from_file)

    def test_a_gap_in_a_log_is_never_read_across(self):
        # Lane 3's second frame begins in record 1; record 2, which held its end and lane 4's
        # start, is damaged; record 3 goes on with lane 4's cells. Nothing is joined: lane 3's cut
        # frame and lane 4's cells are dropped, and reading starts again at lane 5's frame.
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        pieces = [bytes.fromhex("b8 0c 1d 20 3f 46 59 6d 7a b8 0b 1e"),
                  bytes.fromhex("2f 3f 4f 5f 6f 7f b6 0f 1f"),
                  bytes.fromhex("2a 3a 4a 5a 6a 7a b4 0d 1e 2f 3f 4f 5f 6f 7f b6")]
        log = serial_log(pieces, [43200000, 43201000, 43202000])
        log = log.replace(b"RAW_HEX: 2f 3f", b"RAW_HEX: 2f 3g")
        with open(os.path.join(workdir.path, "serial_20261208_120000.log"), "wb") as f:
            f.write(log)
        result = run(["decode", "serial_20261208_120000.log"], workdir=workdir)
        self.assertEqual(result.status, 0)
        # Each change at the time its control byte arrived: 11 bits a byte at 9600 baud, counted
        # back from the end of its record.
        self.assertEqual(result.stdout, b"11:59:59.987  lane 3  place 2  0:96.25  [32 09625]\n"
                                        b"12:00:01.990  lane 5  place 1  00:00.00  [21000000]\n")
        warnings = result.stderr.decode().splitlines()
        self.assertEqual(len(warnings), 2, warnings)
        self.assertTrue(warnings[0].startswith("Warning: serial_20261208_120000.log:5: "))
        self.assertEqual(warnings[1], "Warning: offset 9 (11:59:59.998): digit frame of channel 3 "
                         "cut off by a gap (serial_20261208_120000.log: record #3 follows #1), "
                         "skipped")

    def test_the_race_with_any_one_record_damaged_or_lost(self):
        # The race's serial log in 63 records: with any one of them damaged (its hex line) or
        # gone (its number skipped), every state shown is one the race had, and once the stream
        # has gone on past the gap the board ends as the race did.
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        size = -(-len(self.data) // 63)
        pieces = [self.data[at:at + size] for at in range(0, len(self.data), size)]
        self.assertEqual(len(pieces), 63)
        records = serial_log(pieces, [36000000 + 1000 * n for n in range(63)]).split(b"\n\n--- #")
        for k in range(63):
            damaged = list(records)
            if k % 2:
                head, hex_line = damaged[k].split(b"RAW_HEX: ")
                damaged[k] = head + b"RAW_HEX: " + hex_line.replace(b" ", b"  ", 1)
            else:
                del damaged[k]
            log = b"\n\n--- #".join(damaged)
            if k == 0:
                log = b"--- #" + log
            name = "serial_20261208_100000_%d.log" % k
            with open(os.path.join(workdir.path, name), "wb") as f:
                f.write(log)
            result = run(["decode", "--json", name], workdir=workdir)
            self.assertEqual(result.status, 0, k)
            shown = changes(result.stdout)
            self.assertEqual(invented(shown, self.from_file), [], k)
            if k < 61:
                self.assertEqual(last_states(shown), last_states(self.from_file), k)
            if 0 < k < 62 and pieces[k - 1][-1] < 0x80:  # a frame was being read at the gap
                self.assertIn(b"cut off by a gap (%s: " % name.encode(), result.stderr, k)

    def test_raw_files_of_two_runs_in_one_folder(self):
        # Two runs' chunks in one folder, given in the order a shell sorts them: interleaved by
        # number. No frame is read across two files that are not one run's consecutive chunks.
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        os.makedirs(workdir.captures)
        pieces = [self.data[at:at + 1000] for at in range(0, len(self.data), 1000)]
        for start in (10, 9):  # run B started 30 minutes before run A
            for n, piece in enumerate(pieces, 1):
                seconds = start * 3600 + 1800 * (start == 9) + n
                name = "serial_%04d_%02d%02d%02d.bin" % (n, seconds // 3600, seconds // 60 % 60,
                                                         seconds % 60)
                with open(os.path.join(workdir.captures, name), "wb") as f:
                    f.write(piece)
        names = ["captures/" + name for name in sorted(os.listdir(workdir.captures))]
        both = run(["decode", "--json"] + names, workdir=workdir)
        self.assertEqual(both.status, 0)
        self.assertEqual(invented(changes(both.stdout), self.from_file), [])
        self.assertRegex(both.stderr, rb"cut off by a gap \(captures.serial_0002_093\d\d\d\.bin "
                                      rb"does not continue captures.serial_0001_100\d\d\d\.bin\)")

        # One run's chunks in order read as the stream they were cut from.
        run_a = [name for name in names if "_10" in name[-11:]]
        self.assertEqual(len(run_a), len(pieces))
        alone = run(["decode", "--json"] + run_a, workdir=workdir)
        self.assertEqual((alone.status, alone.stderr), (0, b""))
        self.assertEqual(changes(alone.stdout), self.from_file)

    def test_times_of_the_changes_from_a_serial_log(self):
        # Records cut every 873 bytes, each stamped when its last byte arrived: every change's
        # control byte is given the time it arrived, not its record's.
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        byte_ms = 11 * 1000 / 9600
        start = 16 * 3600000
        ends = list(range(873, len(self.data), 873)) + [len(self.data)]
        pieces = [self.data[a:b] for a, b in zip([0] + ends, ends)]
        times = [start + int(end * byte_ms) for end in ends]
        with open(os.path.join(workdir.path, "serial_20261208_160000.log"), "wb") as f:
            f.write(serial_log(pieces, times))
        result = run(["decode", "--json", "serial_20261208_160000.log"], workdir=workdir)
        self.assertEqual((result.status, result.stderr), (0, b""))
        shown = [json.loads(line) for line in result.stdout.decode().splitlines()]
        arrived = [start + (o["offset"] + 1) * byte_ms for o in shown]
        given = [ms_of(o["time"]) for o in shown]
        self.assertLessEqual(max(abs(a - g) for a, g in zip(arrived, given)), 2)
        self.assertEqual(given, sorted(given))

    def test_empty_files_and_logs_without_records_among_others(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        open(os.path.join(workdir.path, "empty.bin"), "wb").close()
        with open(os.path.join(workdir.path, "serial_20261208_090000.log"), "wb") as f:
            f.write(serial_log([b"\xbc\x0e"], [0]).replace(b"RAW_HEX: bc 0e", b"RAW_HEX: bc"))
        shutil.copy(FIXTURE, os.path.join(workdir.path, "race.bin"))
        result = run(["decode", "--json", "empty.bin", "race.bin", "serial_20261208_090000.log"],
                     workdir=workdir)
        self.assertEqual(result.status, 0)
        self.assertEqual(changes(result.stdout), self.from_file)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(lines[-2:], ["Warning: empty.bin is empty, skipped",
                                      "Warning: serial_20261208_090000.log: no readable record in "
                                      "this serial log, skipped"])
        self.assertTrue(all(line.startswith("Warning: serial_20261208_090000.log:")
                            for line in lines[:-2]), lines)

        alone = run(["decode", "empty.bin"], workdir=workdir)
        self.assertEqual((alone.status, alone.stdout, alone.stderr),
                         (1, b"", b"ERROR: empty.bin is empty\n"))
        none = run(["decode", "empty.bin", "empty.bin"], workdir=workdir)
        self.assertEqual((none.status, none.stdout), (1, b""))
        self.assertEqual(none.stderr, b"Warning: empty.bin is empty, skipped\n" * 2 +
                         b"ERROR: nothing to decode: none of the 2 files given holds anything "
                         b"to read\n")

    def test_a_file_that_is_no_stream_is_said_to_be_one_in_a_few_lines(self):
        # The program itself: a few damaged frames listed, then a count, and one line that says
        # what the file is not. Every change it makes of the bytes is still shown.
        result = run(["decode", harness.BINARY])
        self.assertEqual(result.status, 0)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(lines), 7, lines)
        self.assertTrue(all(" damaged " in line for line in lines[:5]), lines)
        self.assertRegex(lines[5], r"^Warning: \d+ more damaged frames skipped, not listed one by "
                                   r"one \(\d+ in all\)$")
        self.assertRegex(lines[6], r"^Warning: only \d+ % of these \d+ bytes are frames of a CTS "
                                   r"scoreboard stream ")
        # Random bytes, as a line read at the wrong baud rate gives, are about half frames.
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        with open(os.path.join(workdir.path, "noise.bin"), "wb") as f:
            f.write(random.Random(7).randbytes(20000))
        noise = run(["decode", "noise.bin"], workdir=workdir)
        self.assertRegex(noise.stderr, rb"\nWarning: only [4-6]\d % of these 20000 bytes ")

    def test_what_cannot_be_decoded(self):
        workdir = harness.Workdir()
        self.addCleanup(workdir.remove)
        os.makedirs(workdir.captures)
        udp = os.path.join("captures", "udp_20261206_120000.log")
        with open(os.path.join(workdir.path, udp), "wb") as f:
            f.write(b"--- #1 at 12:00:00.000 from udp/10.0.0.7:40000 (1 bytes) ---\nRAW_TEXT: A\n"
                    b"RAW_HEX: 41\n\n")
        with open(os.path.join(workdir.path, "notes.txt"), "wb") as f:
            f.write(b"heat 3 was re-swum\n")
        cases = [
            (["missing.bin"], 1, rb"^ERROR: cannot read missing\.bin: .+\n$"),
            ([udp, FIXTURE], 1, re.escape(b"ERROR: %s is a udp log: decode reads serial and probe "
                                          b"logs and raw recordings\n" % udp.encode()) + b"$"),
            ([FIXTURE, "--port", "COM9"], 1,
             rb"^ERROR: decode reads files or a port \(--port\), not both\nUsage: "),
            (["notes.txt"], 0, rb"^Warning: no control byte \(0x80 and up\) in these 19 bytes: "
                               rb"they hold no frame of a CTS scoreboard stream\n$"),
        ]
        for args, status, error in cases:
            result = run(["decode"] + args, workdir=workdir)
            self.assertEqual((result.status, result.stdout), (status, b""), args)
            self.assertRegex(result.stderr, error)


    def expected_results(self):
        """The race's rows as the stream and the start list give them, in place order."""
        names = start_list(os.path.join(START_LISTS, "E027.scb"))[1]
        rows = [{"event": "27", "heat": "1", "lane": str(ch), "place": self.lanes[ch][1],
                 "time": lane_time(self.lanes[ch]), "name": names[ch][0], "team": names[ch][1],
                 "after_the_fact": "false"} for ch in range(1, 7)]
        return sorted(rows, key=lambda row: int(row["place"]))

    def check_results(self, content, seen_times):
        rows = results_rows(content)
        race = [row for row in rows if (row["event"], row["heat"]) == ("27", "1")]
        columns = ("event", "heat", "lane", "place", "time", "name", "team", "after_the_fact")
        self.assertEqual([{c: row[c] for c in columns} for row in race], self.expected_results())
        for row in race:
            minutes, _, seconds = row["time"].rpartition(":")
            self.assertEqual(float(row["seconds"]), int(minutes or 0) * 60 + float(seconds))
            self.assertEqual(bool(re.fullmatch(EVENT_TIME.decode(), row["seen"])), seen_times)
        # The lines left from the race before are never taken for this one's.
        self.assertTrue(all(row["after_the_fact"] == "true" for row in rows if row not in race))
        self.assertNotIn(("27", "1"), [(r["event"], r["heat"]) for r in rows if r not in race])
        return race

    def test_names_and_results_from_the_file_live_and_from_its_log(self):
        # From the recording itself.
        result = run(["decode", FIXTURE, "--start-lists", START_LISTS])
        self.assertEqual((result.status, result.stderr), (0, b""))
        name, content = result.workdir.only(r"results_%s\.csv" % LOG_STAMP)
        self.assertTrue(content.startswith(b"event,heat,lane,place,time,seconds,name,team,"))
        self.check_results(content, seen_times=False)
        lines = result.stdout.decode().splitlines()
        names = start_list(os.path.join(START_LISTS, "E027.scb"))[1]
        for ch in range(1, 7):
            last = [line for line in lines if line.startswith("lane %d " % ch)][-1]
            self.assertTrue(last.endswith("]  %s  %s" % names[ch]), last)
        table = lines.index("Results: event 27 heat 1")
        for row, line in zip(self.expected_results(), lines[table + 2:table + 8]):
            self.assertEqual(line.split()[:3], [row["place"], row["lane"], row["time"]])
        # Without the option, nothing of it.
        plain = run(["decode", FIXTURE])
        self.assertEqual(plain.workdir.files(), [])
        self.assertEqual(plain.stdout.decode().splitlines(),
                         [re.sub(r"\]  .*$", "]", line) for line in lines
                          if line.startswith(("lane", "clock", "event", "channel", "time", "length"))])

        # Live through a pseudo-terminal, then from the tool's own log.
        peer = PtyPeer()
        self.addCleanup(peer.close)
        tool = Tool(["decode", "--port", peer.port_name, "--json", "--start-lists", START_LISTS])
        self.addCleanup(tool.__exit__)
        tool.wait_stderr(b"DTR and RTS asserted.\n\n")
        sim_device.play(peer, self.data, 20000)
        def race_written():
            found = tool.workdir.matching(r"results_.*\.csv")
            return found and b"\n27,1," in tool.workdir.read(found[0])
        harness.wait_until(race_written, 30)
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        log, _ = tool.workdir.only(r"serial_%s\.log" % LOG_STAMP)
        results, live = tool.workdir.only(r"results_%s\.csv" % LOG_STAMP)
        self.assertEqual(results[len("results_"):-4], log[len("serial_"):-4])  # the run's stamp
        self.check_results(live, seen_times=True)
        lane_objects = [json.loads(l) for l in tool.stdout.decode().splitlines()]
        lane_objects = [o for o in lane_objects if "lane" in o]
        # Each lane's line names its swimmer once the race is known; none names another's.
        self.assertTrue(all(o["name"] in (None, names.get(o["channel"], (None,))[0])
                            for o in lane_objects))
        self.assertEqual([[o for o in lane_objects if o["channel"] == ch][-1]["name"]
                          for ch in range(1, 7)], [names[ch][0] for ch in range(1, 7)])
        from_log = run(["decode", "captures/" + log, "--start-lists", START_LISTS],
                       workdir=tool.workdir)
        self.assertEqual((from_log.status, from_log.stderr), (0, b""))
        again = [n for n in tool.workdir.matching(r"results_.*\.csv") if n != results]
        self.assertEqual(len(again), 1)
        # The same rows; when each line was seen is estimated from the log's record times.
        without_seen = lambda rows: [dict(row, seen=None) for row in rows]
        self.assertEqual(without_seen(self.check_results(tool.workdir.read(again[0]), True)),
                         without_seen(self.check_results(live, True)))

    def test_start_lists_rewritten_while_the_board_is_served(self):
        folder = tempfile.mkdtemp(prefix="kelp-start-lists-")
        self.addCleanup(shutil.rmtree, folder, True)
        shutil.copy(os.path.join(START_LISTS, "E027.scb"), folder)
        path = os.path.join(folder, "E027.scb")
        with open(path, "rb") as f:
            good = f.read()
        port = harness.free_tcp_port()
        tool = Tool(["decode", FIXTURE, "--serve", str(port), "--speed", "0",
                     "--start-lists", folder])
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(b"the last board stays served until Ctrl+C.\n")
        self.assertEqual(board_json(port)["lanes"][2]["name"], "OKAFOR, JUNE")

        # A re-export with another swimmer in lane 3 shows without a restart.
        renamed = good.replace(b"OKAFOR, JUNE".ljust(20), b"O\x92NEIL, <b>&amp;".ljust(20))
        self.assertNotEqual(renamed, good)
        with open(path + ".tmp", "wb") as f:
            f.write(renamed)
        os.replace(path + ".tmp", path)
        harness.wait_until(lambda: board_json(port)["lanes"][2]["name"] == "O\u2019NEIL, <b>&amp;",
                           10)
        self.assertEqual(board_json(port)["lanes"][2]["name"], "O\u2019NEIL, <b>&amp;")

        # One written half: one warning that names it, and the names read before stay.
        with open(path, "wb") as f:
            f.write(renamed[:len(renamed) // 2])
        tool.wait_stderr(b"Warning: start list E027.scb: ")
        time.sleep(3)  # a few more readings of the folder: the warning is not repeated
        self.assertEqual(tool.stderr.count(b"Warning: start list E027.scb: "), 1)
        self.assertEqual(board_json(port)["lanes"][2]["name"], "O\u2019NEIL, <b>&amp;")
        tool.interrupt()
        tool.wait()

    def test_the_served_signal_goes_stale_without_bytes_and_live_again_with_them(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        port = harness.free_tcp_port()
        tool = Tool(["decode", "--port", peer.port_name, "--serve", str(port)])
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(b"DTR and RTS asserted.\n\n")
        self.assertIn(b"Board:    http://127.0.0.1:%d/\n" % port, tool.stdout)
        signal = lambda: board_json(port)["signal"]
        half = len(self.data) // 2
        sim_device.play(peer, self.data[:half], 20000)
        harness.wait_until(lambda: board_json(port)["changes"] > 10, 10)
        harness.wait_until(lambda: signal() == "stale", 15)  # 3 s without a byte
        self.assertEqual(signal(), "stale")
        sim_device.play(peer, self.data[half:], 20000)
        harness.wait_until(lambda: signal() == "live", 10)
        self.assertEqual(signal(), "live")
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        bins = tool.workdir.matching(r"serial_\d{4}_\d{6}(_\d+)?\.bin")
        self.assertEqual(b"".join(map(tool.workdir.read, bins)), self.data)

    def test_a_start_lists_folder_that_is_not_there(self):
        result = run(["decode", FIXTURE, "--start-lists", os.path.join(START_LISTS, "missing")])
        self.assertEqual(result.status, 1)
        self.assertRegex(result.stderr, rb"^ERROR: cannot read the start lists in .*missing: ")
        self.assertEqual((result.stdout, result.workdir.files()), (b"", []))


def tshark_rows(capture):
    """(cts.channel, cts.text) of each packet, read with the dissector."""
    out = tshark(capture, ["-Y", "cts", "-T", "fields", "-e", "cts.channel", "-e", "cts.text"])
    return [tuple(line.split("\t")) for line in out.decode().splitlines()]


def tshark(capture, args):
    """tshark's output for the capture, read with the dissector. tshark loads Lua scripts as root
    only when its init.lua allows it (Debian 12's does); otherwise it runs as nobody."""
    wrapper, script, path = [], DISSECTOR, capture
    if not lua_loads([]) and os.geteuid() == 0:
        shared = tempfile.mkdtemp(prefix="kelp-tshark-")
        os.chmod(shared, 0o755)
        script = shutil.copy(DISSECTOR, shared)
        path = shutil.copy(capture, shared)
        for name in (script, path):
            os.chmod(name, 0o644)
        wrapper = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    proc = subprocess.run(wrapper + [TSHARK, "-X", "lua_script:" + script, "-r", path] + args,
                          capture_output=True, timeout=120, cwd=tempfile.gettempdir())
    if proc.returncode != 0:
        raise AssertionError("tshark: status %d, %r" % (proc.returncode, proc.stderr))
    return proc.stdout


def dissected_changes(capture):
    """Per interface, what the dissector's frames report, as the byte cases write it: "1D@0
    [12  5636]" (R when running) for a frame that completed a change, "!1D@0" for a damaged one."""
    changes = {}
    root = ElementTree.fromstring(tshark(capture, ["-T", "pdml"]))
    for packet in root.iter("packet"):
        interface = int(packet.find(".//field[@name='frame.interface_id']").get("show"))
        for item in packet.iter("proto"):
            fields = {}
            for field in item.findall("field"):
                fields.setdefault(field.get("name"), []).append(field.get("show"))
            if "cts.channel" not in fields:
                continue
            head = "%s%s@%s" % (fields["cts.channel"][0],
                                "D" if fields["cts.kind"][0] == "digits" else "F",
                                fields["cts.offset"][0])
            if "damaged" in fields.get("cts.cut", []):
                changes.setdefault(interface, []).append("!" + head)
            elif "cts.changed" in fields:
                if fields["cts.kind"][0] == "digits":
                    text = fields["cts.text"][0]
                else:
                    text = fields["cts.format"][0].replace("F", " ")
                running = " R" if fields["cts.running"][0] == "1" else ""
                changes.setdefault(interface, []).append("%s [%s]%s" % (head, text, running))
    return changes


def byte_cases():
    """The table of byte cases that the decoder's unit test includes."""
    with open(BYTE_CASES) as f:
        text = f.read()
    body = text[text.index('R"cases(') + len('R"cases('):text.index(')cases"')]
    cases = []
    for line in body.splitlines():
        if line.startswith("= "):
            cases.append({"name": line[2:], "steps": [], "events": []})
        elif line.startswith("> "):
            cases[-1]["events"].append(line[2:])
        elif line:
            cases[-1]["steps"].append(line)
    return cases


def by_channel(events):
    """The events of each channel in their order (the dissector shows a packet's frames in byte
    order, decode reports them when they end: across channels the order may differ)."""
    return sorted(events, key=lambda e: int(re.match(r"!?(\d+)", e).group(1)))


def time_text(ms):
    return b"%02d:%02d:%02d.%03d" % (ms // 3600000, ms // 60000 % 60, ms // 1000 % 60, ms % 1000)


def serial_log(pieces, times_ms, source=b"serial/COM3@9600", sources=None):
    """A serial log as the tool writes it: one record per piece, at the times given."""
    log = b""
    for number, (payload, ms) in enumerate(zip(pieces, times_ms), 1):
        label = sources[number - 1] if sources else source
        log += (b"--- #%d at %s from %s (%d bytes) ---\nRAW_TEXT: %s\nRAW_HEX: %s\n\n"
                % (number, time_text(ms), label, len(payload),
                   payload.decode("utf-8", "replace").encode(), payload.hex(" ").encode()))
    return log


def lua_loads(wrapper):
    fields = subprocess.run(wrapper + [TSHARK, "-G", "fields", "-X", "lua_script:" + DISSECTOR],
                            capture_output=True, timeout=120).stdout
    return b"\tcts.channel\t" in fields


if __name__ == "__main__":
    unittest.main()
