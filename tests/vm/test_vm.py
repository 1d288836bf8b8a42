"""The diagnostic on a real Linux kernel with QEMU's 16550 UART: refused as an
unprivileged user, and a full run as root whose COM1 bytes are checked exactly
and against what the virtual serial port records. A driver-style probe of the
UART gets the same answers from QEMU's 16550A as from the virtual one."""

import os
import signal
import subprocess
import sys
import tempfile
import unittest

import vm
from testlib import COM1_BYTES, PROGRESS_LINES, expected_report, run, tool

SCRIPT = """
step probe /uart_probe
step unprivileged su -s /outsb nobody
step root /outsb
"""


class RealKernel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.boot = vm.boot({"outsb": tool("OUTSB"), "uart_probe": tool("UART_PROBE")}, SCRIPT)
        print(f"boot to result: {cls.boot.seconds:.1f} s", file=sys.stderr)

    def setUp(self):
        self.assertTrue(self.boot.finished, "the guest never reached the end of its script:\n" + self.boot.console)
        self.steps = self.boot.steps()

    def test_unprivileged_run_is_refused(self):
        step = self.steps["unprivileged"]
        self.assertEqual(step.status, 128 + signal.SIGABRT, self.boot.console)
        self.assertEqual(step.stdout, b"init\n")
        self.assertEqual(step.stderr, expected_report())

    def test_root_run_sends_the_522_bytes(self):
        step = self.steps["root"]
        self.assertEqual(step.status, 0, self.boot.console)
        self.assertEqual(step.stdout, PROGRESS_LINES)
        self.assertEqual(step.stderr, b"")
        # All runs wrote to the same COM1: the refused one and the probe's loopback must have added nothing.
        self.assertEqual(self.boot.com1, COM1_BYTES)

    def test_virtual_serial_port_agrees(self):
        with tempfile.TemporaryDirectory() as scratch:
            com1 = os.path.join(scratch, "com1")
            subprocess.run([tool("VUART"), "-q", "--com1", com1, "--", tool("OUTSB")], check=True,
                           capture_output=True, timeout=60)
            with open(com1, "rb") as received:
                self.assertEqual(received.read(), self.boot.com1)

    def test_uart_answers_a_probe_as_qemus_16550a(self):
        step = self.steps["probe"]
        self.assertEqual((step.status, step.stderr), (0, b""), self.boot.console)
        probed = run([tool("VUART"), "-q", "--com1", "/dev/null", "--", tool("UART_PROBE")])
        self.assertEqual(probed.returncode, 0, probed.stderr)
        self.assertEqual(probed.stdout.decode().splitlines(), step.stdout.decode().splitlines())


if __name__ == "__main__":
    try:
        vm.requirements()
    except vm.Unavailable as missing:
        print(f"skipped: {missing}")
        sys.exit(vm.SKIP)
    unittest.main()
