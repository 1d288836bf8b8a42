"""vuart against a real Linux kernel and QEMU's CPU and 16550A UART: a
driver-style probe of the UART gets the same answers, and SIGSEGV's state after
port instructions is the same, and an i386 program's ioperm, iopl, out, rep
outsb and ignored SIGSEGV give what they give there, linked statically and
dynamically. These programs need a shell to run them: they boot under
busybox."""

import json
import sys
import unittest

import vm
from testlib import CAPABILITIES, as_bytes, check_contained, run, tool, vuart

SCRIPT = """
step probe /uart_probe
step segv-state /hostile_fixture segv-state
step i386 /i386_ports
step i386-dynamic /i386_ports_dynamic
step i386-vuart sh -c '/vuart -q --com1 /tmp/i386-com1 --trace /tmp/i386-trace -- /i386_ports && cat /tmp/i386-com1 >&2'
step i386-trace cat /tmp/i386-trace
step i386-dynamic-vuart sh -c '/vuart -q --com1 /tmp/i386-com1 -- /i386_ports_dynamic && cat /tmp/i386-com1 >&2'
step host-abilities /hostile_fixture host-abilities
step untraced-clone /vuart -q --com1 /dev/null -- /hostile_fixture untraced-clone
step contained sh -c 'cd /dev && exec /vuart -q --com1 /tmp/vuart-com1 --trace /tmp/vuart-trace -- /hostile_fixture escape'
step footprint /vuart -q --com1 /dev/null --trace /dev/null -- /hostile_fixture footprint
step footprint-reference /hostile_fixture footprint-reference
step afterwards sh -c 'sleep 3; grep -l left-behind /proc/[0-9]*/stat; cat /proc/sys/kernel/core_pattern'
step cli-sti /hostile_fixture cli-sti
"""


class RealKernel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The i386 loader and C library by name: ldd cannot list them where this machine runs no 32-bit code.
        cls.boot = vm.boot(vm.with_libraries({"uart_probe": tool("UART_PROBE"), "hostile_fixture": tool("HOSTILE_FIXTURE"),
                                              "i386_ports": tool("I386_PORTS"),
                                              "i386_ports_dynamic": tool("I386_PORTS_DYNAMIC"), "vuart": tool("VUART"),
                                              tool("I386_LOADER").lstrip("/"): tool("I386_LOADER"),
                                              tool("I386_LIBC").lstrip("/"): tool("I386_LIBC")}),
                           SCRIPT)
        print(f"boot to result: {cls.boot.seconds:.1f} s", file=sys.stderr)

    def setUp(self):
        self.assertTrue(self.boot.finished, "the guest never reached the end of its script:\n" + self.boot.console)
        self.steps = self.boot.steps()

    def test_uart_answers_a_probe_as_qemus_16550a(self):
        step = self.steps["probe"]
        self.assertEqual((step.status, step.stderr), (0, b""), self.boot.console)
        probed = run([tool("VUART"), "-q", "--com1", "/dev/null", "--", tool("UART_PROBE")])
        self.assertEqual(probed.returncode, 0, probed.stderr)
        self.assertEqual(probed.stdout.decode().splitlines(), step.stdout.decode().splitlines())

    def test_segv_state_after_port_instructions_as_on_a_real_kernel(self):
        step = self.steps["segv-state"]
        self.assertEqual(step.status, 0, self.boot.console)
        result = vuart([tool("HOSTILE_FIXTURE"), "segv-state"])
        # Nothing wrote to COM1 before; the probe's loopback bytes never reach the line.
        self.assertEqual(result.com1, self.boot.com1[:len(result.com1)])
        expected = step.stdout.decode().splitlines()
        observed = result.done.stdout.decode().splitlines()
        # vuart's one known difference: a blocked SIGSEGV left at its default comes back unblocked
        # (the kernel's reset cannot be told from no change), as in a one-shot handler.
        known = expected.index("in the handler: default, blocked") + 1
        self.assertEqual(expected[known], "after a port write in the handler: default, blocked")
        self.assertEqual(observed[known], "after a port write in the handler: default, unblocked")
        del expected[known], observed[known]
        self.assertEqual(observed, expected)

    def test_an_i386_program_gets_its_ports_as_on_a_real_kernel(self):
        """Under vuart in the guest, which runs 32-bit programs where this machine may not."""
        com1 = b""
        for name in ["i386", "i386-dynamic"]:
            step, under_vuart = self.steps[name], self.steps[name + "-vuart"]
            with self.subTest(name):
                self.assertEqual((under_vuart.status, under_vuart.stdout), (step.status, step.stdout))
                self.assertEqual(step.stdout, b"ioperm 0\niopl 0\nSIGSEGV ignored\n")
                self.assertEqual(under_vuart.stderr, b"Ai386 rep outsb\nSI")
            com1 += under_vuart.stderr
        self.assertIn(com1, self.boot.com1)
        # The static one's trace: what it wrote through int 0x80, and what its port instructions sent.
        events = [json.loads(line) for line in self.steps["i386-trace"].stdout.decode().splitlines()]
        self.assertEqual(b"".join(as_bytes(event["bytes"]) for event in events if event["event"] == "write"),
                         self.steps["i386"].stdout)
        self.assertEqual(b"".join(as_bytes(event.get("bytes", "")) for event in events
                                  if event["event"] == "port" and event["kind"] in ("out", "outs") and event["port"] == 0x3F8),
                         b"Ai386 rep outsb\nSI")

    def test_this_machines_abilities_are_told_where_it_has_them(self):
        self.assertEqual(self.steps["host-abilities"].stdout, b"i386 yes\nbreakpoints yes\n")
        # Where 32-bit code runs: clone through int 0x80, whose flags are in EBX, is refused CLONE_UNTRACED too.
        self.assertIn(b"\nclone-untraced-int80=-1/EPERM\n", self.steps["untraced-clone"].stdout)


    def test_a_root_program_under_vuart_reaches_no_hardware_and_leaves_nothing(self):
        """As root in the VM, where /dev/ttyS0 is the real COM1 and the kernel's helpers are real."""
        contained, afterwards = self.steps["contained"], self.steps["afterwards"]
        self.assertEqual((contained.status, contained.stderr), (0, b""), self.boot.console)
        check_contained(self, contained.stdout.decode(), (1 << len(CAPABILITIES)) - 1)
        self.assertEqual(afterwards.stdout, b"core\n")  # no process left behind, core_pattern as it was
        self.assertNotIn(b"escaped", self.boot.com1)

    def test_cli_and_sti_do_nothing_with_iopl_3_as_on_a_real_kernel(self):
        step = self.steps["cli-sti"]
        result = vuart([tool("HOSTILE_FIXTURE"), "cli-sti"])
        self.assertEqual((result.done.returncode, result.done.stdout), (step.status, step.stdout))
        self.assertEqual((step.stdout, result.com1), (b"cli-sti=ok\n", b"K"))
        self.assertTrue(self.boot.com1.endswith(b"K"), self.boot.com1)
        self.assertRegex(result.done.stderr.decode(), r"^vuart: thread \d+ of process \d+ used CLI/STI with iopl\(3\): "
                                                      r"they do nothing, as under Linux \(at 0x[0-9a-f]+\)\n"
                                                      r"vuart: hostile_fixture exited with status 0; ")

    def test_a_program_that_replaces_vuarts_unsealed_memory_is_noticed(self):
        """This kernel cannot seal memory: the attacks that a newer one refuses succeed, and vuart must see them."""
        attacked, reference = self.steps["footprint"], self.steps["footprint-reference"]
        notes = attacked.stderr.decode()
        if attacked.status == 125:  # the program's page ran as vuart's stub, maybe before the attack was printed
            self.assertRegex(notes, r"\nvuart: process \d+ ran code of its own in place of vuart's; ending the run\n$")
        else:
            self.assertIn("map-over-code=0/-", attacked.stdout.decode(), notes)
            self.assertEqual(attacked.status, 0, notes)
            self.assertEqual(attacked.stdout.splitlines()[-1], reference.stdout.splitlines()[-1])


if __name__ == "__main__":
    vm.main(busybox=True)
