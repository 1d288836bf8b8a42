"""outsb-check without a virtual machine: the diagnostic's bytes as vuart records
them (the guest image's test shows QEMU's are the same), between the guest's
markers, changed as a faulty VMM would change them, and outsb-check's whole
verdict on each."""

import subprocess
import unittest

from testlib import tool, vuart

BEGIN, END = b"<<<outsb-guest begin>>>\n", b"<<<outsb-guest end>>>\n"
NAME = "standard input"
# Offsets into the 522 bytes: "hello" is 0-4; line n (from 1) starts at 5 + 47 * (n - 1).
SEVENTH_LINE_E = 5 + 6 * 47 + 8  # the second "e" of "hello there" in line 7, byte 9 of 47


def checked(capture):
    done = subprocess.run([tool("OUTSB_CHECK")], input=capture, capture_output=True, timeout=30)
    return done.returncode, done.stdout.decode()


class Verdicts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sent = vuart([tool("OUTSB")]).com1

    def test_each_fault_gets_its_whole_diagnosis(self):
        sent = self.sent
        differs = f"{NAME}: not the diagnostic's 522 bytes between the markers\n"
        cases = {
            "whole": (sent, 0, f"{NAME}: the diagnostic's 522 bytes, whole and in order, between the markers\n"),
            "a byte changed at offset 5": (
                sent[:5] + b"H" + sent[6:], 1, differs + "the right number of bytes, 522, but not the right ones\n"
                "first difference at offset 5, in rep outsb line 1 of 11, byte 1 of 47\n"),
            "a byte dropped": (
                sent[:SEVENTH_LINE_E] + sent[SEVENTH_LINE_E + 1:], 1, differs +
                "1 byte missing: 521 received, 522 expected\n"
                "first difference at offset 295, in rep outsb line 7 of 11, byte 9 of 47\n"
                "one byte dropped: offset 295\n"),
            "a FIFO burst lost": (
                sent[:SEVENTH_LINE_E] + sent[SEVENTH_LINE_E + 16:], 1, differs +
                "16 bytes missing: 506 received, 522 expected\n"
                "first difference at offset 295, in rep outsb line 7 of 11, byte 9 of 47\n"
                "looks like a dropped FIFO burst: 16 consecutive bytes lost from offset 295 (rep outsb line 7 of 11, "
                "byte 9 of 47) to 310 (rep outsb line 7 of 11, byte 24 of 47)\n"),
            "bytes inserted": (
                sent[:100] + b"XYZ" + sent[100:], 1, differs + "3 bytes extra: 525 received, 522 expected\n"
                "first difference at offset 100, in rep outsb line 3 of 11, byte 2 of 47\n"
                "3 bytes inserted at offset 100\n"),
            "CR before every LF": (
                sent.replace(b"\n", b"\r\n"), 1, differs + "11 bytes extra: 533 received, 522 expected\n"
                "first difference at offset 51, in rep outsb line 1 of 11, byte 47 of 47\n"
                "looks like newline translation: a CR was added before each of the 11 LFs\n"),
        }
        for name, (received, status, verdict) in cases.items():
            with self.subTest(name):
                self.assertEqual(checked(b"console noise\n" + BEGIN + received + END + b"more\n"), (status, verdict))

    def test_without_markers(self):
        self.assertEqual(checked(b"boot\n" + self.sent),
                         (0, f"{NAME}: the diagnostic's 522 bytes, whole and in order, at offset 5 (no markers)\n"))
        self.assertEqual(checked(b"boot\n"), (1, f"{NAME}: no markers, and not the diagnostic's 522 bytes anywhere\n"
                                                 "not even \"hello\": nothing of the diagnostic's output arrived\n"))


if __name__ == "__main__":
    unittest.main()
