"""The command line: help, dispatch, option rules and argument checks."""

import os
import subprocess
import unittest

import harness
from harness import ON_WINE, Tool, run

HELP_LINES = [
    "=== Glidepath Scoreboard/Timing Capture Tool ===",
    "",
    "Usage:",
    "  kelp-capture udp    [--port 12000]                   Listen to MM Generic scoreboard UDP",
    "  kelp-capture serial [--port /dev/cu.usbserial-2120]  Read CTS6 serial port",
    "                      [--baud 9600] [--parity none|odd|even]",
    "  kelp-capture probe  [--port ...] [--baud 9600]       Send a payload and wait for response",
    "                      [--parity none|odd|even]",
    "                      [--preset NAME | --hex HEX | --text TEXT]",
    "                      [--wait-ms 2000]",
    "  kelp-capture scan   [--port ...] [--wait-ms 800]     Auto-scan baud \u00d7 parity \u00d7 probes",
    "                      [--parities none,odd]            (default: none,odd)",
    "  kelp-capture proxy  --listen COMx --forward COMy     MITM between MM and CTS6",
    "                      [--baud 9600] [--parity none|odd|even]",
    "  kelp-capture list                                     List available serial ports",
    "",
    "Probe presets:",
    "  enq       ENQ (0x05) \u2014 classic 'are you there'",
    "  cr        CR (0x0D)",
    "  lf        LF (0x0A)",
    "  crlf      CRLF",
    "  question  '?\\r\\n'",
    "  ver       'VER\\r\\n'",
    "  status    'STATUS\\r\\n'",
    "  cts-qry   STX + 'SWIM,QRY' + ETX \u2014 guess at CTS framing",
    "  break     Serial break signal (for line-wakeup devices)",
    "",
    "Parity options: none (default), odd, even",
    "  HyTek MM opens CTS6 COM at 9600-O-8-1 (ODD parity, confirmed in decompiled source).",
    "  Use --parity odd when talking to CTS4/CTS5/CTS6/BEST timers.",
    "",
    "Data is logged to ./captures/ as timestamped files.",
    "",
    "Serial port notes:",
    "  CTS6 COM1 (to MM):  9600-O-8-1, SWIM,RUN,/SWIM,SPLT, protocol (pull model)",
    "  CTS6 COM2 (TV):     baud unknown \u2014 try scan mode",
    "",
]
HELP = ("\n".join(HELP_LINES) + "\n").encode("utf-8")


def setUpModule():
    harness.start_wine()


class HelpTest(unittest.TestCase):
    def test_help_is_printed_for_anything_that_is_not_a_mode(self):
        for args in ([], ["help"], ["--help"], ["-h"], ["UDP"], ["bogus", "--port", "1"]):
            with self.subTest(args=args):
                result = run(args)
                self.assertEqual(result.stdout, HELP)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.status, 0)
                # The capture folder is made before the subcommand is looked at, and stays empty.
                self.assertTrue(os.path.isdir(result.workdir.captures))
                self.assertEqual(result.workdir.files(), [])

    def test_help_has_37_lines_and_no_carriage_return(self):
        self.assertEqual(HELP.count(b"\n"), 37)
        self.assertNotIn(b"\r", run(["help"]).stdout)

    def test_a_file_in_the_way_of_captures_is_a_fatal_stop(self):
        workdir = harness.Workdir()
        with open(workdir.captures, "w") as f:
            f.write("not a folder")
        result = run(["help"], workdir=workdir)
        self.assertEqual(result.status, 101)
        self.assertIn(b"Failed to create captures/ directory: ", result.stderr)
        self.assertEqual(result.stdout, b"")


@unittest.skipIf(ON_WINE, "POSIX argument bytes; the Windows build takes UTF-16 arguments")
class ArgumentEncodingTest(unittest.TestCase):
    def test_an_argument_that_is_not_utf8_stops_before_anything_is_created(self):
        workdir = harness.Workdir()
        proc = subprocess.run([harness.BINARY, "udp", "--port", b"\xff5000"], cwd=workdir.path,
                              capture_output=True, timeout=30)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn(b"not valid UTF-8", proc.stderr)
        self.assertEqual(proc.stdout, b"")
        self.assertFalse(os.path.exists(workdir.captures))


class UdpPortOptionTest(unittest.TestCase):
    """Which port `udp` listens on shows in its banner."""

    def listening_port(self, *option_args):
        with Tool(["udp", *option_args]) as tool:
            out = tool.wait_stdout(b"Press Ctrl+C to stop.\n")
            tool.kill()
        first = out.split(b"\n")[1]
        self.assertTrue(first.startswith(b"Listening on 0.0.0.0:"), out)
        return int(first.rsplit(b":", 1)[1])

    def test_unusable_values_fall_back_to_12000(self):
        for args in ([], ["--port"], ["--port", "70000"], ["--port", "-1"], ["--port", " 5000"],
                     ["--port", "12a"], ["--port", ""], ["--port", "+"], ["--port", "5000.0"],
                     ["--port=5000"]):
            with self.subTest(args=args):
                self.assertEqual(self.listening_port(*args), 12000)

    def test_usable_values(self):
        self.assertEqual(self.listening_port("--port", "+5000"), 5000)
        self.assertEqual(self.listening_port("--port", "005001"), 5001)
        self.assertEqual(self.listening_port("--port", "65535"), 65535)
        self.assertEqual(self.listening_port("--port", "0"), 0)

    def test_only_the_first_occurrence_counts(self):
        self.assertEqual(self.listening_port("--port", "5000", "--port", "6000"), 5000)


class ProxyOptionTest(unittest.TestCase):
    def test_missing_ports_are_reported_in_order(self):
        cases = [
            (["proxy"], b"ERROR: --listen COM_PORT is required (the virtual port MM connects to)\n"),
            (["proxy", "--forward", "COM5"],
             b"ERROR: --listen COM_PORT is required (the virtual port MM connects to)\n"),
            (["proxy", "--listen", "COM6"],
             b"ERROR: --forward COM_PORT is required (the real CTS6 port)\n"),
            (["proxy", "--forward", "COM5", "--listen"],
             b"ERROR: --listen COM_PORT is required (the virtual port MM connects to)\n"),
        ]
        for args, error in cases:
            with self.subTest(args=args):
                result = run(args)
                self.assertEqual(result.stderr, error)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.status, 1)
                self.assertEqual(result.workdir.files(), [])


if __name__ == "__main__":
    unittest.main()
