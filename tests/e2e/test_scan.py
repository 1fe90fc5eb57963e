"""`scan`: every baud rate, parity and preset in turn, and a summary of what answered."""

import re
import time
import unittest

import harness
import sim_device
from harness import EVENT_TIME, LOG_STAMP, ON_WINE, SEP, PtyPeer, Tool, run
from sim_device import SimDevice

BAUDS = [4800, 9600, 19200, 38400, 57600, 115200, 2400, 1200]
PRESETS = [("enq", b"\x05"), ("cr", b"\r"), ("lf", b"\n"), ("crlf", b"\r\n"),
           ("question", b"?\r\n"), ("ver", b"VER\r\n"), ("status", b"STATUS\r\n"),
           ("cts-qry", b"\x02SWIM,QRY,\x03"), ("break", b"")]
ADVICE = ("No response at ANY baud/parity/probe combination.\n"
          "This strongly suggests:\n"
          "  - The CTS6 needs a more specific query format (not just ENQ/CR/etc.), OR\n"
          "  - A required command was missed \u2014 consider capturing MM traffic via serial proxy,\n"
          "  - Or the cable/adapter chain has an issue (verify with loopback).\n")


def setUpModule():
    harness.start_wine()


def header(port, letters, wait, log_path):
    return ("=== Scan ===\n"
            "Port:     %s\n"
            "Parities: %s\n"
            "Wait:     %dms per probe\n"
            "Logging:  %s\n"
            "\n"
            "Scanning 8 baud rates \u00d7 %d parities \u00d7 9 probes = %d combinations...\n\n"
            % (port, ",".join(letters), wait, log_path, len(letters), 72 * len(letters)))


def line_start(name, baud, letter):
    return "  %-16s @ %6d-%s-8-1 ... " % ("preset=" + name, baud, letter)


def preview(data):
    return "".join(chr(b) if 0x20 <= b <= 0x7E else "\\x%02x" % b for b in data[:64])


class ScanTest(unittest.TestCase):
    def test_a_device_that_answers_some_presets_at_one_baud_rate(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        replies = {b"\x05": b"\x06", b"VER\r\n": b"CTS6 V2.1\r\n",
                   b"\x02SWIM,QRY,\x03": b"\x02SWIM,QRY," + bytes(range(0x20, 0x70)) + b"\xff\x03"}
        device = SimDevice(peer, replies=replies, baud=19200, parity=sim_device.PARITY_NONE)
        self.addCleanup(device.stop)
        wait = 150
        result = run(["scan", "--port", peer.port_name, "--wait-ms", str(wait), "--parities",
                      " none ,bogus", "--baud", "19200", "--preset", "ver"], timeout=300)
        self.assertEqual(result.status, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        log_name, log = result.workdir.only(r"scan_%s\.log" % LOG_STAMP)

        expected = header(peer.port_name, ["N"], wait, "captures" + SEP + log_name)
        expected_log = []
        hits = []
        for baud in BAUDS:
            for name, _ in PRESETS:
                expected += line_start(name, baud, "N")
                query = dict(PRESETS)[name]
                answer = replies.get(query) if baud == 19200 and query else None
                if answer:
                    expected += "*** %d bytes ***\n       preview: %s\n" % (len(answer),
                                                                           preview(answer))
                    expected_log.append(rb"\[%s\] baud=%d-N-8-1 preset=%s -> %d bytes\n"
                                        rb"    hex: %s\n" % (EVENT_TIME, baud, name.encode(),
                                                             len(answer),
                                                             answer.hex(" ").encode()))
                    hits.append("  preset=%s @ %d-N-8-1 -> %d bytes\n" % (name, baud, len(answer)))
                else:
                    expected += "no response\n"
                    expected_log.append(rb"\[%s\] baud=%d-N-8-1 preset=%s -> NO_RESPONSE\n"
                                        % (EVENT_TIME, baud, name.encode()))
            expected += "\n"
        expected += "\n=== Scan Summary ===\n%d response(s) captured:\n" % len(hits)
        expected += "".join(hits)
        expected += "\nCheck %s for full captures.\n" % ("captures" + SEP + log_name)
        self.assertEqual(result.stdout.decode(), expected)
        self.assertEqual(len(hits), 3)

        self.assertIsNotNone(re.fullmatch(b"".join(expected_log), log), log)

        # Every byte preset reached the device once at each baud rate, in table order.
        by_baud = {}
        for baud, parity, chunk in device.received_log():
            self.assertEqual(parity, sim_device.PARITY_NONE)
            by_baud[baud] = by_baud.get(baud, b"") + chunk
        everything = b"".join(data for _, data in PRESETS)
        self.assertEqual(by_baud, {baud: everything for baud in BAUDS})
        self.assertEqual(result.workdir.files(), [log_name])  # the scan saves no raw files

    def test_a_port_that_cannot_be_opened_gives_an_error_per_combination(self):
        if ON_WINE:
            port = harness.map_com_port("/dev/kelp-no-such-device")
        else:
            port = "/dev/kelp-no-such-device"
        result = run(["scan", "--port", port, "--wait-ms", "20"], timeout=300)
        self.assertEqual(result.status, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        log_name, log = result.workdir.only(r"scan_%s\.log" % LOG_STAMP)
        out = result.stdout.decode()
        head = header(port, ["N", "O"], 20, "captures" + SEP + log_name)
        self.assertTrue(out.startswith(head), out[:600])
        self.assertTrue(out.endswith("\n\n=== Scan Summary ===\n" + ADVICE), out[-800:])

        lines = out[len(head):-len("\n=== Scan Summary ===\n" + ADVICE)].split("\n")
        self.assertEqual(len([line for line in lines if line]), 144)
        first = line_start("enq", 4800, "N") + "ERROR: open %s@4800-N-8-1: " % port
        self.assertTrue(lines[0].startswith(first), lines[0])
        last = line_start("break", 1200, "O") + "ERROR: open %s@1200-O-8-1: " % port
        self.assertEqual(lines[-2:], ["", ""])
        self.assertTrue(lines[-3].startswith(last), lines[-4:])
        self.assertEqual(lines[18], "")  # an empty line after each baud rate
        log_lines = log.decode().splitlines()
        self.assertEqual(len(log_lines), 144)
        self.assertRegex(log_lines[0], r"\A\[%s\] baud=4800-N-8-1 preset=enq -> ERROR: open "
                         % EVENT_TIME.decode() + re.escape(port) + r"@4800-N-8-1: \S")
        self.assertRegex(log_lines[-1], r"\] baud=1200-O-8-1 preset=break -> ERROR: open ")

    @harness.skip_on_wine("Wine reports a hung-up pseudo-terminal as a silent line, never as a "
                          "read error")
    def test_a_device_that_vanishes_mid_answer_keeps_its_bytes_and_the_scan_goes_on(self):
        adapter = harness.PluggablePeer()
        self.addCleanup(adapter.close)
        tool = Tool(["scan", "--port", adapter.port_name, "--wait-ms", "3000", "--parities", "none"])
        self.addCleanup(tool.__exit__)
        self.assertEqual(adapter.peer.read_exactly(1), b"\x05")
        adapter.peer.write(b"\x06PA\x80")
        time.sleep(0.3)
        adapter.pull()
        self.assertEqual(tool.wait(timeout=120), 0)
        self.assertEqual(tool.stderr, b"")
        log_name, log = tool.workdir.only(r"scan_%s\.log" % LOG_STAMP)
        out = tool.stdout.decode()
        first = re.escape(line_start("enq", 4800, "N")) + r"ERROR: (read: [^\n]*\S)\n"
        head = header(adapter.port_name, ["N"], 3000, "captures" + SEP + log_name)
        match = re.match(re.escape(head) + first + r"       preview: \\x06PA\\x80\n", out)
        self.assertIsNotNone(match, out[:800])
        # The port is gone: every later combination fails to open, and the scan still ends.
        rest = [line for line in out[match.end():].split("\n=== Scan Summary ===\n")[0].split("\n")
                if line]
        self.assertEqual(len(rest), 71)
        self.assertTrue(all(" ... ERROR: open " in line for line in rest), rest)
        self.assertTrue(out.endswith("\n=== Scan Summary ===\n1 response(s) captured:\n"
                                     "  preset=enq @ 4800-N-8-1 -> 4 bytes\n"
                                     "\nCheck %s for full captures.\n" % ("captures" + SEP + log_name)),
                        out[-400:])
        lines = log.decode("latin-1").split("\n")
        self.assertRegex(lines[0], r"\A\[%s\] baud=4800-N-8-1 preset=enq -> ERROR: %s\Z"
                         % (EVENT_TIME.decode(), re.escape(match.group(1))))
        self.assertEqual(lines[1], "    hex: 06 50 41 80")
        self.assertEqual(len(lines), 2 + 71 + 1)


class ScanInterruptTest(unittest.TestCase):
    def test_ctrl_c_keeps_the_lines_written_so_far(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        device = SimDevice(peer)
        self.addCleanup(device.stop)
        tool = Tool(["scan", "--port", peer.port_name, "--wait-ms", "100"])
        self.addCleanup(tool.__exit__)
        tool.wait_stdout(b"no response\n", count=3)
        tool.interrupt()
        status = tool.wait()
        self.assertEqual(status, harness.INTERRUPTED_STATUS)
        self.assertNotIn(b"Scan Summary", tool.stdout)
        _, log = tool.workdir.only(r"scan_%s\.log" % LOG_STAMP)
        self.assertGreaterEqual(log.count(b" -> NO_RESPONSE\n"), 3)
        self.assertTrue(log.endswith(b"\n"))
        self.assertEqual(log.count(b"\n"), tool.stdout.count(b"no response\n"))


if __name__ == "__main__":
    unittest.main()
