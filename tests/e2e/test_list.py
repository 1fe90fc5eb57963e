"""`list`, and what the serial modes do when no --port is given and no adapter is found."""

import os
import pty
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import ON_WINE, run

TITLE = b"=== Available Serial Ports ===\n\n"

BLOCK = re.compile(
    rb"(?P<name>[^\n]*)\n"
    rb"(?:  Type: USB\n  VID:PID: [0-9a-f]{4}:[0-9a-f]{4}\n"
    rb"(?:  Serial: [^\n]*\n)?(?:  Mfr: [^\n]*\n)?(?:  Product: [^\n]*\n)?"
    rb"(?:  Latency timer: \d+ ms\n)?"
    rb"|  Type: (?P<other>PciPort|BluetoothPort|Unknown)\n)"
    rb"\n")


def parse_listing(test, stdout):
    """The (name, type) pairs of a listing; fails the test when any byte is out of place."""
    test.assertTrue(stdout.startswith(TITLE), stdout)
    body = stdout[len(TITLE):]
    if body == b"(none found)\n":
        return []
    entries = []
    pos = 0
    while pos < len(body):
        match = BLOCK.match(body, pos)
        test.assertIsNotNone(match, "malformed listing at byte %d: %r" % (pos, body[pos:]))
        entries.append((match.group("name").decode(), (match.group("other") or b"USB").decode()))
        pos = match.end()
    test.assertTrue(entries, "a listing with neither ports nor (none found): %r" % stdout)
    return entries


class ListTest(unittest.TestCase):
    def test_list_prints_a_well_formed_listing_and_creates_captures(self):
        result = run(["list"])
        try:
            self.assertEqual(result.status, 0)
            self.assertEqual(result.stderr, b"")
            entries = parse_listing(self, result.stdout)
            self.assertTrue(os.path.isdir(result.workdir.captures))
            self.assertEqual(result.workdir.files(), [])
            names = [name for name, _ in entries]
            if ON_WINE:
                # Wine reports no present device of the Ports class: every port comes from the
                # SERIALCOMM map, is named COMn and has no identity.
                for name, kind in entries:
                    self.assertRegex(name, r"^COM[0-9]+$")
                    self.assertEqual(kind, "Unknown")
                self.assertEqual(len(names), len(set(names)))
            else:
                self.assertEqual(names, sorted(names))
                for name in names:
                    self.assertTrue(name.startswith("/dev/"), name)
                    entry = name[len("/dev/"):]
                    self.assertTrue(os.path.exists("/sys/class/tty/%s/device" % entry), name)
                    self.assertFalse(entry.startswith("lp"), name)
                # USB adapters are never left out.
                for entry in os.listdir("/sys/class/tty"):
                    if re.fullmatch(r"tty(USB|ACM)[0-9]+", entry):
                        self.assertIn("/dev/" + entry, names)
        finally:
            result.workdir.remove()

    def test_the_serial_modes_need_a_port_when_no_adapter_is_found(self):
        # Neither COMn names (Windows) nor /dev/tty* names (Linux) ever look like an adapter, so
        # there is nothing to detect here.
        serial_error = (b"ERROR: No --port specified and no USB serial adapter auto-detected.\n"
                        b"Run `kelp-capture list` to see available ports.\n")
        short_error = b"ERROR: no --port and no USB adapter auto-detected. Run `kelp-capture list`.\n"
        cases = [
            (["serial"], serial_error),
            (["serial", "--baud", "9600", "--parity", "odd"], serial_error),
            (["serial", "--port"], serial_error),
            (["probe"], short_error),
            (["probe", "--hex", "zz"], short_error),
            (["probe", "--port"], short_error),
            (["scan"], short_error),
            (["scan", "--parities", "mark"], short_error),
        ]
        for args, error in cases:
            with self.subTest(args=args):
                result = run(args)
                try:
                    self.assertEqual(result.stderr, error)
                    self.assertEqual(result.status, 1)
                    self.assertEqual(result.stdout, b"")
                    self.assertTrue(os.path.isdir(result.workdir.captures))
                    self.assertEqual(result.workdir.files(), [])
                finally:
                    result.workdir.remove()


    def test_an_unknown_usb_serial_number_is_an_error_before_anything_is_created(self):
        usb = "usb:KELP-NO-SUCH"
        for args in (["serial", "--reconnect", "--port", usb], ["probe", "--hex", "zz", "--port", usb],
                     ["scan", "--port", usb], ["proxy", "--listen", "COM5", "--forward", usb],
                     ["replay", "some.log", "--port", usb]):
            result = run(args)
            self.assertRegex(result.stderr, rb"\AERROR: no USB adapter with the serial number "
                             rb"KELP-NO-SUCH is plugged in \([^\n]*\)\nRun `kelp-capture list`")
            self.assertEqual((result.status, result.stdout, result.workdir.files()), (1, b"", []))
            result.workdir.remove()


@unittest.skipUnless(ON_WINE, "Wine's registry maps COM names only for the Windows build")
class WineRegistryPortsTest(unittest.TestCase):
    """A COM name mapped in HKLM\\Software\\Wine\\Ports shows up once Wine has started afresh.

    Wine's mount manager reads the mapping when the Wine server starts and writes the port, with
    its defaults (COM1 for /dev/ttyS0 and so on, for the devices that exist), into the SERIALCOMM
    map. It has no device of the Ports class, so every port is listed from that map as Unknown.
    A prefix of the test's own keeps the restart away from the other tests' Wine server.
    """

    NAME = "COM150"  # outside the ranges Wine gives its default devices

    def setUp(self):
        self.prefix = tempfile.mkdtemp(prefix="kelp-wine-list-")
        self.env = dict(os.environ, WINEPREFIX=self.prefix)
        self.master, slave = pty.openpty()
        self.slave_path = os.ttyname(slave)
        os.close(slave)

    def tearDown(self):
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False)
        os.close(self.master)
        shutil.rmtree(self.prefix, ignore_errors=True)

    def wine(self, *args):
        """Runs a Wine program; gives its standard output. The output goes through a file: the
        programs Wine starts on the side inherit the streams, and a pipe would stay open for as
        long as they run."""
        with tempfile.TemporaryFile() as out:
            subprocess.run(["wine"] + list(args), env=self.env, stdout=out,
                           stderr=subprocess.DEVNULL, timeout=600, stdin=subprocess.DEVNULL)
            out.seek(0)
            return out.read()

    def add_value(self, key, name, *data):
        """Writes one registry value; `data` is what follows /v NAME on reg.exe's command line."""
        for _ in range(3):  # the very first command in a new prefix may race its set-up
            self.wine("reg.exe", "add", key, "/v", name, *data, "/f")
            if name.encode() in self.wine("reg.exe", "query", key):
                return
        self.fail("could not write %s to the Wine registry" % name)

    def map_port(self):
        self.add_value("HKLM\\Software\\Wine\\Ports", self.NAME, "/d", self.slave_path)

    def test_a_mapped_com_name_is_listed_as_unknown(self):
        self.map_port()
        subprocess.run(["wineserver", "-k"], env=self.env, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False)

        result = run(["list"], timeout=600, env=self.env)
        try:
            self.assertEqual(result.status, 0)
            self.assertEqual(result.stderr, b"")
            entries = parse_listing(self, result.stdout)
            self.assertIn((self.NAME, "Unknown"), entries)
            self.assertIn(b"\n" + self.NAME.encode() + b"\n  Type: Unknown\n\n", result.stdout)
            for name, kind in entries:
                self.assertEqual(kind, "Unknown", name)
            names = [name for name, _ in entries]
            self.assertEqual(len(names), len(set(names)))
            if os.path.exists("/dev/ttyS0"):
                self.assertIn("COM1", names)
        finally:
            result.workdir.remove()

    def test_a_value_that_is_no_port_name_hides_none_after_it(self):
        # The SERIALCOMM map lives in the Wine server's memory only: keep this prefix's server up
        # until tearDown. Values are read back in name order, so the number comes first.
        subprocess.run(["wineserver", "-p"], env=self.env, check=False, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        key = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
        self.add_value(key, "\\Device\\KelpA", "/t", "REG_DWORD", "/d", "1")
        self.add_value(key, "\\Device\\KelpZ", "/d", self.NAME)

        result = run(["list"], timeout=600, env=self.env)
        try:
            self.assertEqual(result.status, 0)
            self.assertEqual(result.stderr, b"")
            self.assertIn((self.NAME, "Unknown"), parse_listing(self, result.stdout))
        finally:
            result.workdir.remove()


if __name__ == "__main__":
    unittest.main()
