"""The guest image as a virtual machine monitor's tester would boot it, on three
QEMU machine types: the diagnostic refused as an unprivileged user, then its
full run as root, whose COM1 capture must pass outsb-check and equal what vuart
records. Mutated captures must fail with the right diagnosis. On Bochs, whose
UART sends at 9600 baud, the console report still arrives whole and
outsb-check tells the paced UART from a fault."""

import os
import signal
import subprocess
import sys
import tempfile
import unittest

import bochs
import vm
from testlib import BEGIN_MARKER, COM1_BYTES, END_MARKER, PROGRESS_LINES, expected_report, tool, vuart

IMAGE = os.path.join(os.environ["PROJECT_BINARY_DIR"], "guest", "outsb-guest.cpio.gz")


def outsb_check(capture):
    with tempfile.NamedTemporaryFile() as file:
        file.write(capture)
        file.flush()
        return subprocess.run([tool("OUTSB_CHECK"), file.name], capture_output=True, timeout=30)


class GuestImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.boots = {machine: vm.boot_image(IMAGE, machine) for machine in vm.MACHINES}
        for machine, booted in cls.boots.items():
            print(f"{machine}: boot to power-off {booted.seconds:.1f} s", file=sys.stderr)

    def test_each_machine_refuses_then_sends_the_522_bytes(self):
        for machine, booted in self.boots.items():
            with self.subTest(machine):
                self.assertTrue(booted.finished, booted.console)
                runs = booted.guest_runs()
                refused = runs["unprivileged"]
                self.assertEqual((refused.status, refused.stdout, refused.stderr),
                                 (128 + signal.SIGABRT, b"init\n", expected_report()))
                root = runs["root"]
                self.assertEqual((root.status, root.stdout, root.stderr), (0, PROGRESS_LINES, b""))
                checked = outsb_check(booted.com1)
                self.assertEqual(checked.returncode, 0, checked.stdout)
                self.assertIn(b"between the markers", checked.stdout)

    def test_vuart_records_the_same_bytes(self):
        capture = self.boots["pc"].com1
        between = capture.split(BEGIN_MARKER)[1].split(END_MARKER)[0]
        self.assertEqual(between, COM1_BYTES)
        self.assertEqual(vuart([tool("OUTSB")]).com1, between)

    def test_mutated_captures_get_the_right_diagnosis(self):
        capture = self.boots["microvm"].com1  # console lines and all
        start = capture.index(BEGIN_MARKER) + len(BEGIN_MARKER)
        in_seventh_line = start + 5 + 6 * 47 + 20
        cases = {
            "a byte dropped": (capture[:in_seventh_line] + capture[in_seventh_line + 1:],
                               [b"1 byte missing", b"in rep outsb line 7 of 11", b"one byte dropped"]),
            "CR before every LF": (capture.replace(b"\n", b"\r\n"),
                                   [b"11 bytes extra", b"looks like newline translation"]),
            "a FIFO burst lost": (capture[:in_seventh_line] + capture[in_seventh_line + 16:],
                                  [b"16 bytes missing", b"dropped FIFO burst: 16 consecutive bytes"]),
        }
        for name, (mutated, diagnosis) in cases.items():
            with self.subTest(name):
                checked = outsb_check(mutated)
                self.assertEqual(checked.returncode, 1)
                for words in diagnosis:
                    self.assertIn(words, checked.stdout)


class PacedUart(unittest.TestCase):
    def test_bochs_reports_whole_and_its_uart_is_told_from_a_fault(self):
        try:
            booted = bochs.boot_image(IMAGE)
        except vm.Unavailable as missing:
            self.skipTest(str(missing))
        print(f"bochs: boot to power-off {booted.seconds:.1f} s", file=sys.stderr)
        self.assertTrue(booted.finished, booted.console)
        runs = booted.guest_runs()
        self.assertEqual((runs["unprivileged"].status, runs["unprivileged"].stderr),
                         (128 + signal.SIGABRT, expected_report()))
        self.assertEqual((runs["root"].status, runs["root"].stdout), (0, PROGRESS_LINES))
        checked = outsb_check(booted.com1)
        self.assertEqual(checked.returncode, 3, checked.stdout)
        self.assertIn(b"no fault of the VMM's", checked.stdout)


class CheckerInput(unittest.TestCase):
    def test_bad_input_is_one_line_and_status_2(self):
        with tempfile.TemporaryDirectory() as scratch:
            empty = os.path.join(scratch, "empty")
            open(empty, "w").close()
            for argv, message in (([scratch], b"Is a directory"), ([empty], b"empty capture"),
                                  ([os.path.join(scratch, "missing")], b"No such file")):
                done = subprocess.run([tool("OUTSB_CHECK"), *argv], capture_output=True, timeout=30)
                self.assertEqual((done.returncode, done.stdout), (2, b""))
                self.assertEqual(len(done.stderr.splitlines()), 1)
                self.assertIn(message, done.stderr)


if __name__ == "__main__":
    vm.main(busybox=False)
