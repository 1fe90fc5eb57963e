"""`probe`: one payload out, everything that comes back within the window in."""

import os
import re
import shutil
import subprocess
import time
import unittest

import harness
import sim_device
from harness import EVENT_TIME, LOG_STAMP, ON_WINE, SEP, PtyPeer, Tool, run
from sim_device import SimDevice

ENQ_REPLY = b"\x06CTS6,OK\r\n"


def setUpModule():
    harness.start_wine()


def header(port, baud, letter, label, payload, wait, log_path, send_break=False):
    text = ("=== Probe ===\n"
            "Port:    %s\n"
            "Baud:    %d (8-%s-1)\n"
            "Payload: %s (%d bytes)\n" % (port, baud, letter, label, len(payload)))
    if payload and not send_break:
        text += "Hex:     %s\n" % " ".join("%02x" % b for b in payload)
    text += "Wait:    %dms\nLogging: %s\n%s\n\n" % (wait, log_path, "=" * 60)
    return text.encode()


class ProbeTest(unittest.TestCase):
    def device(self, **options):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        device = SimDevice(peer, **options)
        self.addCleanup(device.stop)
        return peer, device

    def probe(self, port, *options):
        return run(["probe", "--port", port] + list(options))

    def log_path(self, result):
        return "captures" + SEP + result.workdir.only(r"probe_%s\.log" % LOG_STAMP)[0]

    def test_the_payload_options_put_these_bytes_on_the_line(self):
        presets = [("enq", b"\x05"), ("cr", b"\r"), ("lf", b"\n"), ("crlf", b"\r\n"),
                   ("question", b"?\r\n"), ("ver", b"VER\r\n"), ("status", b"STATUS\r\n"),
                   ("cts-qry", b"\x02SWIM,QRY,\x03"), ("BREAK", b"")]
        cases = [([], "preset=enq (default)", b"\x05")]
        cases += [(["--preset", name], "preset=" + ("break" if name == "BREAK" else name), data)
                  for name, data in presets]
        cases += [(["--hex", "02 41 03"], "hex=02 41 03", b"\x02A\x03"),
                  (["--hex", ""], "hex=", b""),
                  (["--text", "VER\\r\\n"], "text=VER\\r\\n", b"VER\r\n"),
                  (["--text", "a\\qb\u00e9"], "text=a\\qb\u00e9", "a\\qb\u00e9".encode())]
        for options, label, data in cases:
            with self.subTest(options=options):
                peer, device = self.device()
                result = self.probe(peer.port_name, "--wait-ms", "150", *options)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.status, 0)
                send_break = label == "preset=break"
                self.assertEqual(result.stdout,
                                 header(peer.port_name, 9600, "N", label, data, 150,
                                        self.log_path(result), send_break)
                                 + b"\n>>> NO RESPONSE <<<\n")
                time.sleep(0.1)
                self.assertEqual(device.received_bytes(), data)

    def test_an_answer_is_shown_logged_and_saved(self):
        # The answer comes in two pieces: the window is never cut short by the first one.
        peer, device = self.device(replies={b"\x05": [(0.0, ENQ_REPLY), (0.3, b"MORE\x03")]},
                                   baud=19200, parity=sim_device.PARITY_ODD)
        result = self.probe(peer.port_name, "--baud", "19200", "--parity", "odd", "--wait-ms",
                            "800")
        self.assertEqual(result.status, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        response = ENQ_REPLY + b"MORE\x03"
        settings = "%s@19200-O-8-1" % peer.port_name
        head = header(peer.port_name, 19200, "O", "preset=enq (default)", b"\x05", 800,
                      self.log_path(result))
        self.assertTrue(result.stdout.startswith(head + b"\n>>> RESPONSE (15 bytes) <<<\n"),
                        result.stdout)
        match = re.search(rb"\n\[#1 (%s) from probe-response %s \(15 bytes\)\]\n"
                          % (EVENT_TIME, re.escape(settings.encode())), result.stdout)
        self.assertIsNotNone(match, result.stdout)
        _, log = result.workdir.only(r"probe_%s\.log" % LOG_STAMP)
        self.assertEqual(log, b"--- #1 at %s from probe/%s [preset=enq (default)] (15 bytes) ---\n"
                              b"RAW_TEXT: %s\nRAW_HEX: %s\n\n"
                         % (match.group(1), settings.encode(), response,
                            " ".join("%02x" % b for b in response).encode()))
        name, data = result.workdir.only(r"probe_0001_\d{6}(_\d+)?\.bin")
        self.assertEqual(data, response)

    def test_silence_and_a_zero_wait_give_no_response(self):
        for wait in ("300", "0"):
            with self.subTest(wait=wait):
                # The device answers ENQ at once, but with no window nothing is read.
                replies = {} if wait == "300" else {b"\x05": ENQ_REPLY}
                peer, device = self.device(replies=replies)
                result = self.probe(peer.port_name, "--wait-ms", wait, "--parity", "Odd",
                                    "--preset", "Enq")
                self.assertEqual(result.status, 0)
                self.assertTrue(result.stdout.endswith(b"=" * 60 + b"\n\n\n>>> NO RESPONSE <<<\n"),
                                result.stdout)
                _, log = result.workdir.only(r"probe_%s\.log" % LOG_STAMP)
                self.assertRegex(log, rb"\A\[%s\] probe=preset=Enq baud=9600-O-8-1 NO_RESPONSE\n\Z"
                                 % EVENT_TIME)
                self.assertEqual(result.workdir.matching(r".*\.bin"), [])

    def test_an_unparsable_payload_stops_before_any_file(self):
        for options in (["--hex", "0x05"], ["--hex", "5"], ["--preset", "bogus", "--hex", "05"]):
            with self.subTest(options=options):
                peer, device = self.device()
                result = self.probe(peer.port_name, *options)
                self.assertEqual(result.stderr, b"ERROR: couldn't parse probe payload.\n")
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.status, 1)
                self.assertEqual(result.workdir.files(), [])
                self.assertEqual(device.received_bytes(), b"")

    def test_a_port_that_cannot_be_opened(self):
        if ON_WINE:
            port = harness.map_com_port("/dev/kelp-no-such-device")
        else:
            port = "/dev/kelp-no-such-device"
        result = self.probe(port, "--baud", "4800", "--wait-ms", "100")
        self.assertEqual(result.stdout, header(port, 4800, "N", "preset=enq (default)", b"\x05",
                                               100, self.log_path(result)))
        self.assertRegex(result.stderr, rb"\AERROR: open %s@4800-N-8-1: [^\n]*\S\n\Z"
                         % re.escape(port.encode()))
        self.assertEqual(result.status, 1)
        _, log = result.workdir.only(r"probe_%s\.log" % LOG_STAMP)
        self.assertEqual(log, b"")
        self.assertEqual(len(result.workdir.files()), 1)

    @harness.skip_on_wine("Wine gives a serial port no exclusive flag to leave behind")
    def test_a_refused_open_leaves_the_port_to_other_users(self):
        # The exclusive flag turns away every opener but root, and CI runs as root: both runs of
        # the tool are made as the user nobody, on a pseudo-terminal that user may open.
        if os.geteuid() != 0:
            self.skipTest("running the tool as the user nobody needs root")
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            self.skipTest("setpriv (util-linux) is not installed")
        as_nobody = [setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        if subprocess.run(as_nobody + ["test", "-x", harness.BINARY]).returncode != 0:
            self.skipTest("the user nobody cannot run %s" % harness.BINARY)
        peer = PtyPeer()
        self.addCleanup(peer.close)
        os.chmod(peer.slave_path, 0o666)

        def probe_as_nobody(baud):
            workdir = harness.Workdir()
            self.addCleanup(workdir.remove)
            os.chmod(workdir.path, 0o777)
            return run(["probe", "--port", peer.port_name, "--baud", baud, "--wait-ms", "100"],
                       workdir=workdir, wrapper=as_nobody)

        refused = probe_as_nobody("0")
        self.assertEqual(refused.stderr, b"ERROR: open %s@0-N-8-1: Invalid argument\n"
                         % peer.port_name.encode())
        self.assertEqual(refused.status, 1)
        # The refusal came after the port was taken for exclusive use; it must have let go of it.
        again = probe_as_nobody("9600")
        self.assertEqual(again.stderr, b"")
        self.assertEqual(again.status, 0)

    def test_ctrl_c_abandons_the_exchange_and_keeps_what_was_written(self):
        peer, device = self.device(replies={b"\x05": ENQ_REPLY})
        # The largest wait cannot be added to the clock: the window has no end.
        tool = Tool(["probe", "--port", peer.port_name, "--wait-ms", "18446744073709551615"])
        self.addCleanup(tool.__exit__)
        header = tool.wait_stdout(b"=" * 60 + b"\n\n")
        self.assertIn(b"Wait:    18446744073709551615ms\n", header)
        self.assertTrue(harness.wait_until(lambda: device.answered))
        time.sleep(1.0)
        self.assertIsNone(tool.proc.poll(), tool.stderr)
        tool.interrupt()
        self.assertEqual(tool.wait(), harness.INTERRUPTED_STATUS)
        # Nothing more is printed or recorded for the window that Ctrl+C cut short.
        self.assertEqual(tool.stdout, header)
        self.assertEqual(tool.stderr, b"")
        _, log = tool.workdir.only(r"probe_%s\.log" % LOG_STAMP)
        self.assertEqual(log, b"")
        self.assertEqual(len(tool.workdir.files()), 1)

    @harness.skip_on_wine("Wine reports a hung-up pseudo-terminal as a silent line, never as a "
                          "read error")
    def test_a_device_that_vanishes_mid_answer_is_recorded_then_reported(self):
        peer = PtyPeer()
        self.addCleanup(peer.close)
        tool = Tool(["probe", "--port", peer.port_name, "--wait-ms", "5000"])
        self.addCleanup(tool.__exit__)
        self.assertEqual(peer.read_exactly(1), b"\x05")
        peer.write(b"\x06CTS6,PART")
        time.sleep(0.3)  # read by the tool well inside the window
        peer.close()  # the adapter is pulled out mid-answer
        self.assertEqual(tool.wait(), 1)
        self.assertRegex(tool.stderr, rb"\AERROR: read: [^\n]*\S\n\Z")
        error = tool.stderr[len(b"ERROR: "):-1]

        settings = "%s@9600-N-8-1" % peer.port_name
        self.assertIn(b"\n>>> RESPONSE (10 bytes) <<<\n", tool.stdout)
        match = re.search(rb"\n\[#1 (%s) from probe-response %s \(10 bytes\)\]\n"
                          % (EVENT_TIME, re.escape(settings.encode())), tool.stdout)
        self.assertIsNotNone(match, tool.stdout)
        _, log = tool.workdir.only(r"probe_%s\.log" % LOG_STAMP)
        stamp = match.group(1)
        self.assertEqual(log, b"--- #1 at %s from probe/%s [preset=enq (default)] (10 bytes) ---\n"
                              b"RAW_TEXT: \x06CTS6,PART\nRAW_HEX: 06 43 54 53 36 2c 50 41 52 54\n\n"
                              b"[%s] probe=preset=enq (default) baud=9600-N-8-1 ERROR: %s\n"
                         % (stamp, settings.encode(), stamp, error))
        _, data = tool.workdir.only(r"probe_0001_\d{6}(_\d+)?\.bin")
        self.assertEqual(data, b"\x06CTS6,PART")


if __name__ == "__main__":
    unittest.main()
