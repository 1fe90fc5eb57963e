"""`udp`: every datagram is shown, logged and saved."""

import re
import socket
import time
import unittest

import harness
from harness import EVENT_TIME, LOG_STAMP, ON_WINE, SEP, Tool, UdpSender, free_udp_port, run


def setUpModule():
    harness.start_wine()


def banner(port, log_path):
    return ("=== UDP Capture ===\n"
            "Listening on 0.0.0.0:%d\n"
            "Logging to %s\n"
            "Press Ctrl+C to stop.\n\n"
            "In Meet Manager:\n"
            "  Set-up > Alpha Scoreboard Interface > Generic > UDP Ethernet\n"
            "  Run > Interfaces > Scoreboard > Set UDP Port = %d\n"
            "  Run > Interfaces > Scoreboard > Open/Close Serial Port for GENSER\n"
            "%s\n\n" % (port, log_path, port, "=" * 60)).encode()


class UdpCaptureTest(unittest.TestCase):
    def start(self, port):
        tool = Tool(["udp", "--port", str(port)])
        self.addCleanup(tool.__exit__)
        harness.wait_for_udp_listener(tool, port)
        return tool

    def test_banner_names_the_port_and_the_log(self):
        port = free_udp_port()
        tool = self.start(port)
        log_name, log = tool.workdir.only(r"udp_%s\.log" % LOG_STAMP)
        self.assertEqual(tool.stdout, banner(port, "captures" + SEP + log_name))
        self.assertEqual(log, b"")

    def test_datagrams_are_shown_logged_and_saved(self):
        port = free_udp_port()
        tool = self.start(port)
        with UdpSender() as sender:
            sender.send(port, b"")
            tool.wait_stdout(b"(0 bytes)]\n")
            sender.send(port, b"Hi\r\n\xff")
            tool.wait_stdout(b"(5 bytes)]\n")
            sender.send(port, b"SWIM,RUN\r\n")
            out = tool.wait_stdout(b"COMMA-FIELDS")
        source = sender.address.encode()
        analyses = out.split(b"=" * 60 + b"\n\n", 1)[1]
        expected = (
            rb"\n\[#1 (?P<t1>%s) from UDP %s \(0 bytes\)\]\nTEXT: \nHEX:\n  \n"
            rb"\n\[#2 (?P<t2>%s) from UDP %s \(5 bytes\)\]\nTEXT: Hi\\r\\n\xef\xbf\xbd\n"
            rb"HEX:\n  48 69 0d 0a ff\n"
            rb"LINES \(2\):\n  \[0\] Hi\n  \[1\] \xef\xbf\xbd\n"
            rb"\n\[#3 (?P<t3>%s) from UDP %s \(10 bytes\)\]\nTEXT: SWIM,RUN\\r\\n\n"
            rb"HEX:\n  53 57 49 4d 2c 52 55 4e 0d 0a\n"
            rb'COMMA-FIELDS \(2, first 8\): \["SWIM", "RUN\\r\\n"\]\n'
            % (EVENT_TIME, re.escape(source), EVENT_TIME, re.escape(source), EVENT_TIME,
               re.escape(source)))
        match = re.fullmatch(expected, analyses)
        self.assertIsNotNone(match, analyses)

        # The console shows a datagram before it is logged and saved: wait for the last raw file.
        harness.wait_until(lambda: [tool.workdir.read(name) for name in tool.workdir.matching(
            r"udp_\d{4}_\d{6}(_\d+)?\.bin")] == [b"", b"Hi\r\n\xff", b"SWIM,RUN\r\n"])

        # The log holds the same three records, with the same times, unescaped.
        _, log = tool.workdir.only(r"udp_%s\.log" % LOG_STAMP)
        times = [match.group(name) for name in ("t1", "t2", "t3")]
        self.assertEqual(log, (
            b"--- #1 at %s from udp/%s (0 bytes) ---\nRAW_TEXT: \nRAW_HEX: \n\n"
            b"--- #2 at %s from udp/%s (5 bytes) ---\nRAW_TEXT: Hi\r\n\xef\xbf\xbd\n"
            b"RAW_HEX: 48 69 0d 0a ff\n\n"
            b"--- #3 at %s from udp/%s (10 bytes) ---\nRAW_TEXT: SWIM,RUN\r\n\n"
            b"RAW_HEX: 53 57 49 4d 2c 52 55 4e 0d 0a\n\n"
            % (times[0], source, times[1], source, times[2], source)))

        # One raw file per datagram, numbered like the records, holding exactly the bytes.
        bins = tool.workdir.matching(r"udp_\d{4}_\d{6}(_\d+)?\.bin")
        self.assertEqual([name[:8] for name in bins], ["udp_0001", "udp_0002", "udp_0003"])
        self.assertEqual([tool.workdir.read(name) for name in bins],
                         [b"", b"Hi\r\n\xff", b"SWIM,RUN\r\n"])
        self.assertEqual(tool.stderr, b"")

    def test_large_and_hostile_datagrams_are_kept_whole(self):
        port = free_udp_port()
        tool = self.start(port)
        big = bytes(range(256)) * 255 + bytes(range(227))  # 65,507 bytes, the largest UDP payload
        with UdpSender() as sender:
            sender.send(port, big)
            out = tool.wait_stdout(b"(65507 bytes)]\n")
            tool.wait_stdout(b"LINES (")
        self.assertNotIn(b"\x1b", out)  # no escape sequence from the wire reaches the terminal
        bins = harness.wait_until(lambda: tool.workdir.matching(r"udp_0001_\d{6}\.bin"))
        harness.wait_until(lambda: len(tool.workdir.read(bins[0])) == len(big))
        self.assertEqual(tool.workdir.read(bins[0]), big)

    def test_a_taken_port_is_an_error_after_the_banner(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            port = holder.getsockname()[1]
            result = run(["udp", "--port", str(port)])
        log_name, log = result.workdir.only(r"udp_%s\.log" % LOG_STAMP)
        self.assertEqual(result.stdout, banner(port, "captures" + SEP + log_name))
        self.assertTrue(result.stderr.startswith(b"ERROR: Failed to bind to port %d: " % port),
                        result.stderr)
        self.assertRegex(result.stderr, rb" \(os error \d+\)\n\Z")
        self.assertEqual(result.status, 1)
        self.assertEqual(log, b"")

    def test_a_second_run_in_the_same_second_keeps_the_first_log(self):
        workdir = harness.Workdir()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", 0))
            port = holder.getsockname()[1]
            for _ in range(3):
                run(["udp", "--port", str(port)], workdir=workdir)
        logs = workdir.matching(r"udp_%s\.log" % LOG_STAMP)
        self.assertEqual(len(logs), 3, workdir.files())
        stems = {re.fullmatch(r"(udp_\d{8}_\d{6})(_\d+)?\.log", name).group(1) for name in logs}
        if len(stems) == 1:  # all three in one second: the names took _2 and _3
            stem = stems.pop()
            self.assertEqual(logs, sorted([stem + ".log", stem + "_2.log", stem + "_3.log"]))


class UdpInterruptTest(unittest.TestCase):
    def test_ctrl_c_leaves_complete_records_and_ends_as_interrupted(self):
        port = free_udp_port()
        tool = Tool(["udp", "--port", str(port)])
        self.addCleanup(tool.__exit__)
        harness.wait_for_udp_listener(tool, port)
        with UdpSender() as sender:
            for i in range(200):
                sender.send(port, b"frame %03d;" % i * 50)
            tool.wait_stdout(b"[#5 ")
            tool.interrupt()
            status = tool.wait()
        self.assertEqual(status, harness.INTERRUPTED_STATUS)
        _, log = tool.workdir.only(r"udp_%s\.log" % LOG_STAMP)
        records = log.split(b"--- #")[1:]
        self.assertGreaterEqual(len(records), 5)
        for number, record in enumerate(records, start=1):
            self.assertTrue(record.startswith(b"%d at " % number))
            self.assertTrue(record.endswith(b"\n\n"), record[-80:])
        # Every datagram the console showed was also logged and saved.
        shown = tool.stdout.count(b"\n[#")
        self.assertEqual(shown, len(records))
        self.assertEqual(len(tool.workdir.matching(r"udp_\d{4}_\d{6}(_\d+)?\.bin")), len(records))
        self.assertEqual(tool.stderr, b"")


if __name__ == "__main__":
    unittest.main()
