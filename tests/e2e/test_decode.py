"""`decode`: a real CTS scoreboard recording (a 25-yard race) read as the board changes, live from a
port and afterwards from the file, from the tool's own serial log of it and from its .bin files;
and in tshark, through the Lua dissector shipped with the tool.

What the decoder derives is checked against a reading of the bytes made here, by the stream's
rules alone: frames begin at bytes of 0x80 and up, and each digit frame sets the cells it sends.
"""

import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest

import harness
import sim_device
from harness import EVENT_TIME, LOG_STAMP, PtyPeer, Tool, run

FIXTURE = os.path.join(sim_device.FIXTURES, "console-streams", "cts-scoreboard-meet.bin")
DISSECTOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "wireshark",
                         "cts_scoreboard.lua")
TSHARK = shutil.which("tshark")
GLYPHS = "0123456789ABCDE "


def setUpModule():
    harness.start_wine()


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


def changes(stdout):
    """The JSON objects of a --json run, without their times (a log's or a read's)."""
    objects = [json.loads(line) for line in stdout.decode().splitlines()]
    for o in objects:
        o.pop("time", None)
    return objects


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


def tshark_rows(capture):
    """(cts.channel, cts.text) of each packet, read with the dissector. tshark loads Lua scripts
    as root only when its init.lua allows it (Debian 12's does); otherwise it runs as nobody."""
    def command(script, path):
        return [TSHARK, "-X", "lua_script:" + script, "-r", path, "-Y", "cts", "-T", "fields",
                "-e", "cts.channel", "-e", "cts.text"]
    wrapper, script, path = [], DISSECTOR, capture
    if not lua_loads([]) and os.geteuid() == 0:
        shared = tempfile.mkdtemp(prefix="kelp-tshark-")
        os.chmod(shared, 0o755)
        script = shutil.copy(DISSECTOR, shared)
        path = shutil.copy(capture, shared)
        for name in (script, path):
            os.chmod(name, 0o644)
        wrapper = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    proc = subprocess.run(wrapper + command(script, path), capture_output=True, timeout=120,
                          cwd=tempfile.gettempdir())
    if proc.returncode != 0:
        raise AssertionError("tshark: status %d, %r" % (proc.returncode, proc.stderr))
    return [tuple(line.split("\t")) for line in proc.stdout.decode().splitlines()]


def lua_loads(wrapper):
    fields = subprocess.run(wrapper + [TSHARK, "-G", "fields", "-X", "lua_script:" + DISSECTOR],
                            capture_output=True, timeout=120).stdout
    return b"\tcts.channel\t" in fields


if __name__ == "__main__":
    unittest.main()
