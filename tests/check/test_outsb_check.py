"""outsb-check without a virtual machine: the diagnostic's bytes as vuart records
them (the guest image's test shows QEMU's are the same), between the guest's
markers, changed as a faulty VMM would change them, and outsb-check's whole
verdict on each."""

import subprocess
import unittest

from measure import peak_memory_mib
from testlib import BEGIN_MARKER, END_MARKER, tool, vuart

NAME = "standard input"
# Offsets into the 522 bytes: "hello" is 0-4; line n (from 1) starts at 5 + 47 * (n - 1).
SEVENTH_LINE_E = 5 + 6 * 47 + 8  # the second "e" of "hello there" in line 7, byte 9 of 47


def paced(count):
    return (f"{NAME}: {count} of the diagnostic's 522 bytes, in order, between the markers: what a UART that sends "
            "at its line rate\npasses on when the program does not wait for it (only the first bytes of each burst, "
            "as many as\nthe 16550's shift register and holding register or FIFO take); no fault of the VMM's\n")


def checked_file(path):
    done = subprocess.run([tool("OUTSB_CHECK"), path], capture_output=True, timeout=60)
    return done.returncode, done.stderr


def checked(capture, *arguments):
    done = subprocess.run([tool("OUTSB_CHECK"), *arguments], input=capture, capture_output=True, timeout=30)
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
            "a line replayed": (
                sent[:52] + sent[5:52] + sent[52:], 1, differs + "47 bytes extra: 569 received, 522 expected\n"
                "first difference at offset 522, in after the last transfer\n"
                "offsets 5 to 51 (rep outsb line 1 of 11, byte 1 of 47 to rep outsb line 1 of 11, byte 47 of 47) "
                "arrived twice: replayed\n"),
            "the whole run twice": (
                sent + sent, 1, differs + "522 bytes extra: 1044 received, 522 expected\n"
                "first difference at offset 522, in after the last transfer\nthe whole run arrived twice: replayed\n"),
            # A 16550 sending at 9600 baud keeps what its shift register and holding register (2) or FIFO (17) take.
            "paced, FIFO off": (sent[:2], 3, paced(2)),
            "paced, FIFO on, then a byte each time it had room": (sent[:17] + b"s\ns", 3, paced(20)),
            "paced, and the first burst replayed": (
                sent[:17] * 2, 1, f"{NAME}: 34 of the diagnostic's bytes, in order but for bytes 0 to 16, which "
                                  "arrived again right after them, between the markers: replayed\n"),
        }
        cases["paced, but its first byte lost"] = (
            sent[1:17], 1, differs + "506 bytes missing: 16 received, 522 expected\n"
                                     "first difference at offset 0, in single-byte out 1 of 5\n")
        for name, (received, status, verdict) in cases.items():
            with self.subTest(name):
                capture = b"console noise\n" + BEGIN_MARKER + received + END_MARKER + b"more\n"
                self.assertEqual(checked(capture), (status, verdict))
        # Named "-", standard input is read too; a capture whose markers straddle 64 KiB reads is counted once.
        whole = cases["whole"][2]
        for noise in (65536 - 30, 65536 - 3):
            self.assertEqual(checked(b"n" * noise + BEGIN_MARKER + sent + END_MARKER, "-"), (0, whole))
        self.assertEqual(checked(b"x" + BEGIN_MARKER + BEGIN_MARKER + sent + END_MARKER),
                         (1, f"{NAME}: the guest's markers came 2 and 1 times, where it writes each once: replayed\n"))

    def test_without_markers_or_without_an_end(self):
        self.assertEqual(checked(b"boot\n" + self.sent),
                         (0, f"{NAME}: the diagnostic's 522 bytes, whole and in order, once (no markers)\n"))
        self.assertEqual(checked(b"boot\n"), (1, f"{NAME}: no markers, and not even \"hello\": nothing of the "
                                                 "diagnostic's output arrived\n"))
        status, verdict = checked(b"boot\n" + self.sent + b"login: " + self.sent)
        self.assertEqual((status, verdict.splitlines()[0]),
                         (1, f"{NAME}: \"hello\" came 24 times, where the diagnostic sends it 12 times: replayed"))
        self.assertEqual(checked(BEGIN_MARKER + self.sent)[0], 1)
        self.assertIn("no end marker", checked(BEGIN_MARKER + self.sent)[1])
        # The guest image without the diagnostic: its console says so just after the end marker.
        self.assertEqual(checked(BEGIN_MARKER + END_MARKER + b"outsb-guest: root: exited with status 127\n"),
                         (1, f"{NAME}: nothing between the markers: the diagnostic sent nothing; the guest says: "
                             "outsb-guest: root: exited with status 127\n"))
        # An end marker past the 64 KiB kept of what follows the begin marker is still found.
        status, verdict = checked(BEGIN_MARKER + self.sent + b"z" * 70000 + END_MARKER)
        self.assertEqual((status, verdict.splitlines()[0]),
                         (1, f"{NAME}: 70522 bytes between the markers, where the diagnostic sends 522"))

    def test_endless_input_is_refused_in_bounded_memory(self):
        self.assertEqual(checked_file("/dev/zero"),
                         (2, b"outsb-check: /dev/zero: more than 256 MiB: not the capture of one boot\n"))
        status, peak_mib = peak_memory_mib([tool("OUTSB_CHECK"), "/dev/urandom"])
        self.assertEqual(status, 2)
        self.assertLess(peak_mib, 16)

if __name__ == "__main__":
    unittest.main()
