"""The emulator on small programs of our own, one scenario each, and on port
I/O programs from Debian's packages."""

import datetime
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from measure import peak_memory_mib
from testlib import as_bytes, run, tool, vuart

SI_KERNEL = 0x80
SEGV_MAPERR = 1


def fixture(case, *options):
    result = vuart([tool("PORT_FIXTURE"), case], *options)
    return result, result.done.stdout.decode(errors="replace")


def port_events(result):
    return [(e["kind"], e["rep"], e["port"], e["width"], e["count"], as_bytes(e["bytes"])) for e in result.ports()]


class Instructions(unittest.TestCase):
    def test_each_width_and_form(self):
        result, output = fixture("widths")
        self.assertEqual(result.done.returncode, 0, result.done.stderr)
        self.assertEqual(port_events(result), [
            ("out", False, 0x80, 1, 1, b"A"),
            ("out", False, 0x3F8, 1, 1, b"B"),
            ("out", False, 0x3F8, 2, 1, b"CD"),
            ("out", False, 0x3F8, 4, 1, b"EFGH"),
            ("in", False, 0x3FD, 1, 1, b"\x60"),
            ("in", False, 0x2F0, 2, 1, b"\xff\xff"),
            ("in", False, 0x2F0, 4, 1, b"\xff\xff\xff\xff"),
            ("out", False, 0x3FF, 1, 1, b"Z"),
            ("in", False, 0x3FF, 1, 1, b"Z"),
            ("ins", True, 0x3FD, 1, 4, b"\x60" * 4),
            ("outs", True, 0x3F8, 2, 2, b"IJKL"),
            ("outs", True, 0x3F8, 4, 1, b"MNOP"),
        ])
        # in al and in ax keep the rest of RAX; in eax clears its upper half, as the processor does.
        self.assertIn("inb lsr rax=0x1122334455667760\n", output)
        self.assertIn("inw unclaimed rax=0x112233445566ffff\n", output)
        self.assertIn("inl unclaimed rax=0xffffffff\n", output)
        self.assertIn("scratch=0x5a\n", output)
        self.assertIn("insb lsr=60606060\n", output)
        # Only bytes written to the data register are transmitted; 0x3F9-0x3FF keep theirs.
        self.assertEqual(result.com1, b"BCEIKM")

    def test_string_forms(self):
        cases = {
            "descending": ([("outs", True, 0x3F8, 1, 6, b"fedcba")], "rsi=start-1 rcx=0\n", b"fedcba"),
            "count-zero": ([("outs", True, 0x3F8, 1, 0, b"")], "rsi=start+0 rcx=0\n", b""),
            "addr32": ([("outs", True, 0x3F8, 1, 6, b"addr32")], "rsi=start+6 rcx=0\n", b"addr32"),
        }
        for case, (events, registers, com1) in cases.items():
            with self.subTest(case):
                result, output = fixture(case)
                self.assertEqual(result.done.returncode, 0, result.done.stderr)
                self.assertEqual(port_events(result)[:len(events)], events)
                self.assertIn(registers, output)
                self.assertEqual(result.com1, com1)
        result, _ = fixture("descending")
        self.assertEqual(result.ports()[0]["direction"], "down")

    def test_fs_segment_override(self):
        result, output = fixture("fs-segment")
        self.assertEqual(result.done.returncode, 0)
        thread_pointer = result.done.stdout[:8]  # the program's pthread_self(), as it sees it
        self.assertEqual(result.com1, thread_pointer)

    def test_source_running_into_unmapped_memory(self):
        result, output = fixture("unmapped")
        page_end = int(re.search(r"page end=(0x[0-9a-f]+)", output).group(1), 16)
        self.assertEqual(result.com1, b"0123456789")
        (event,) = result.ports()
        self.assertEqual((event["count"], event["fault"]), (10, page_end))
        self.assertIn(f"SIGSEGV code={SEGV_MAPERR} addr={page_end:#x} rsi={page_end:#x} rcx=10\n", output)
        self.assertTrue(output.endswith("done\n"))


class Permissions(unittest.TestCase):
    def test_without_permission_the_kernel_signal_arrives(self):
        result, output = fixture("no-permission")
        self.assertEqual(result.ports(), [])
        self.assertEqual(output.count(f"SIGSEGV code={SI_KERNEL} addr=0 "), 3, output)
        self.assertNotIn("not reached", output)
        self.assertEqual([(e["from"], e["num"], e["turn_on"]) for e in result.of("ioperm")],
                         [(0x3F8, 1, 1), (0x3F8, 1, 0)])
        self.assertEqual([(e["kind"], e["port"], e["width"]) for e in result.of("refused")],
                         [("out", 0x3F9, 1), ("out", 0x3F8, 2), ("out", 0x3F8, 1)])

    def test_iopl_3_grants_every_port(self):
        result, output = fixture("iopl")
        self.assertEqual([(e["level"], e["result"]) for e in result.of("iopl")], [(3, 0)])
        self.assertEqual(port_events(result), [("out", False, 0x3F8, 1, 1, b"I"), ("out", False, 0x80, 1, 1, b"!"),
                                               ("in", False, 0x80, 1, 1, b"\xff")])
        self.assertIn("iopl inb unclaimed=0xff\n", output)

    def test_other_faults_pass_through(self):
        result, output = fixture("unrelated-fault")
        self.assertEqual(result.ports(), [])
        self.assertIn(f"SIGSEGV code={SEGV_MAPERR} addr=0x10 ", output)  # a null-page store
        self.assertIn(f"SIGSEGV code={SI_KERNEL} addr=0 ", output)  # hlt: privileged, not a port instruction
        self.assertTrue(output.endswith("done\n"))

    def test_permissions_are_per_thread_and_inherited(self):
        result, output = fixture("threads")
        self.assertEqual(result.com1, b"TTM")
        self.assertEqual(output.count(f"SIGSEGV code={SI_KERNEL}"), 1, output)
        thread_ids = {e["tid"] for e in result.ports()}
        self.assertEqual(len(thread_ids), 3)  # two granted threads and the main thread

    def test_bad_ranges_are_refused_like_the_kernel(self):
        result = vuart(["python3", "-c", """
import ctypes, errno
libc = ctypes.CDLL(None, use_errno=True)
for args in ((0xFFFF, 2, 1), (0, 0, 1), (0x10000, 1, 1), (0xFFF8, 8, 1)):
    ctypes.set_errno(0)
    print(libc.ioperm(*args), ctypes.get_errno())
print(libc.iopl(4), ctypes.get_errno())
"""])
        self.assertEqual(result.done.stdout, b"-1 22\n-1 22\n-1 22\n0 0\n-1 22\n")
        self.assertEqual([e.get("errno") for e in result.of("ioperm") + result.of("iopl")],
                         ["EINVAL", "EINVAL", "EINVAL", None, "EINVAL"])


class SerialLine(unittest.TestCase):
    """What arrives on COM1's line reaches a program that polls the UART, byte for byte."""

    DATA = bytes(range(256)) * 3 + b"end"

    def test_input_file_echoed_back(self):
        with tempfile.NamedTemporaryFile() as line:
            line.write(self.DATA)
            line.flush()
            result = vuart([tool("UART_PROBE"), "echo", str(len(self.DATA))], "--com1-input", line.name)
        self.assertEqual(result.done.returncode, 0, result.done.stderr)
        self.assertEqual(result.com1, self.DATA)
        self.assertEqual(b"".join(as_bytes(e["bytes"]) for e in result.of("receive")), self.DATA)
        reads = [as_bytes(e["bytes"]) for e in result.ports() if e["kind"] == "in" and e["port"] == 0x3F8]
        self.assertEqual(b"".join(reads), self.DATA)
        self.assertRegex(result.done.stderr.decode(), rf"; COM1 sent {len(self.DATA)} bytes and received "
                                                      rf"{len(self.DATA)}, in \d+ port instructions\n$")

    def test_an_endless_line_is_counted_only_so_far(self):
        result = vuart([tool("UART_PROBE"), "echo", "3"], "-q", "--com1-input", "/dev/zero")
        self.assertEqual((result.done.returncode, result.com1), (0, b"\0\0\0"))
        self.assertRegex(result.done.stderr.decode(), r"^vuart: the program never read \d+ or more bytes that came on "
                                                      r"COM1's line \(COM1 input file /dev/zero\)\n$")

    def test_socket_peers(self):
        """A TCP client gets the diagnostic's 522 bytes; a Unix socket's client gets COM2's echo of what it sent."""
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "com2")
            with socket.socket(socket.AF_UNIX) as stale:
                stale.bind(path)  # as a run ended by a signal while it waited leaves it: nobody listens
            for spec, program, address in (("tcp::0", [tool("OUTSB")], None),
                                           (f"unix:{path}", [tool("UART_PROBE"), "--base", "0x2f8", "echo",
                                                             str(len(self.DATA))], path)):
                with self.subTest(spec):
                    option = "--com1" if address is None else "--com2"
                    vuart_process = subprocess.Popen([tool("VUART"), "-q", option, spec, "--", *program],
                                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                     stderr=subprocess.PIPE)
                    announced = vuart_process.stderr.readline().decode()
                    if address is None:
                        self.assertRegex(announced, r"^vuart: COM1 waits for a client on tcp:127\.0\.0\.1:\d+\n$")
                        client = socket.create_connection(("127.0.0.1", int(announced.rsplit(":", 1)[1])))
                    else:
                        self.assertEqual(announced, f"vuart: COM2 waits for a client on {spec}\n")
                        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
                        client = socket.socket(socket.AF_UNIX)
                        client.connect(path)
                        client.sendall(self.DATA)
                    with client:
                        received = b""
                        while piece := client.recv(65536):
                            received += piece
                    self.assertEqual(vuart_process.wait(timeout=30), 0)
                    vuart_process.stderr.close()
                    # What COM1 sends to a file, the same way.
                    self.assertEqual(received, self.DATA if address else vuart([tool("OUTSB")]).com1)
                    self.assertEqual(len(received), len(self.DATA) if address else 522)
                    self.assertEqual(os.path.exists(path), address is None)  # the stale one replaced, then removed
        for spec, message in (("tcp:70000", "tcp:70000 needs [HOST]:PORT, PORT from 0 to 65535"),
                              ("unix:", "unix: needs a path of 1 to 107 bytes")):
            done = run([tool("VUART"), "--com3", spec, "--", tool("OUTSB")])
            self.assertEqual((done.returncode, done.stderr.decode()), (125, f"vuart: {message}\n"))

    def test_pseudo_terminal_echoed_back(self):
        vuart_process = subprocess.Popen([tool("VUART"), "-q", "--com1", "pty", "--", tool("UART_PROBE"), "echo",
                                          str(len(self.DATA))], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE)
        try:
            announced = vuart_process.stderr.readline().decode()
            self.assertRegex(announced, r"^vuart: COM1 is /dev/pts/\d+\n$")
            terminal = os.open(announced.split()[-1], os.O_RDWR | os.O_NOCTTY)
            try:
                os.write(terminal, self.DATA)
                echoed = b""
                while len(echoed) < len(self.DATA):
                    echoed += os.read(terminal, 4096)
            finally:
                os.close(terminal)
            self.assertEqual(echoed, self.DATA)
            self.assertEqual(vuart_process.wait(timeout=30), 0)
            self.assertEqual(vuart_process.stdout.read(), b"")
        finally:
            vuart_process.kill()
            vuart_process.wait()


class Devices(unittest.TestCase):
    """Every device of the port space, each with its backend, and the trace of what they did."""

    def test_every_device_with_its_file_and_events(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = {name: os.path.join(scratch, name) for name in ("com2", "com4", "debugcon", "in2")}
            with open(path["in2"], "wb") as line:
                line.write(b"rx!")
            result, output = fixture("devices", "--com2", path["com2"], "--com2-input", path["in2"], "--com4",
                                     path["com4"], "--debugcon", path["debugcon"])
            sent = {name: pathlib.Path(path[name]).read_bytes() for name in ("com2", "com4", "debugcon")}
        self.assertEqual(result.done.returncode, 0, result.done.stderr)
        self.assertEqual((result.com1, sent), (b"c1\n", {"com2": b"c2\n", "com4": b"c4\n", "debugcon": b"dbg\n"}))
        self.assertEqual(output, "COM2 received rx!\ndebug console reads 0xe9\nRTC register D 0x80\ndone\n")
        device_events = [(e["event"], e["port"], e.get("code"), as_bytes(e.get("bytes", e.get("codes", ""))))
                         for e in result.events if e["event"] in ("receive", "post", "debugcon")]
        self.assertEqual(device_events, [("receive", 0x2F8, None, b"rx!"), ("debugcon", 0xE9, None, b"dbg\n"),
                                         ("post", 0x80, 0x11, b""), ("post", 0x80, 0x33, b"\x22\x33")])
        following = [result.events[result.events.index(e) - 1]["event"] for e in result.events
                     if e["event"] in ("receive", "post", "debugcon")]
        self.assertEqual(following, ["port"] * 4)  # each after its instruction's event
        stderr = result.done.stderr.decode()
        self.assertIn("vuart: COM3 sent 3 bytes to no file; --com3 FILE keeps them\n", stderr)
        self.assertRegex(stderr, r"in \d+ port instructions; COM2 sent 3 bytes and received 3; COM3 sent 3 bytes and "
                                 r"received 0; COM4 sent 3 bytes and received 0; last POST code 0x33\n$")

    def test_trace_narrowed_to_some_ports(self):
        result, _ = fixture("devices", "--trace-ports", "0x80,0x70-0x71")
        self.assertEqual({e["port"] for e in result.ports() + result.of("post")}, {0x80, 0x70, 0x71})
        self.assertEqual(result.of("debugcon"), [])
        self.assertIn("vuart: the debug console got 4 bytes and no file; --debugcon FILE keeps them\n",
                      result.done.stderr.decode())
        self.assertEqual([len(result.of(kind)) for kind in ("iopl", "write", "exit")], [1, 1, 1])  # the others stay

    def test_the_probe_finds_com2_as_com1(self):
        probes = [run([tool("VUART"), "-q", "--", tool("UART_PROBE"), *base]).stdout for base in ([], ["--base", "0x2f8"])]
        self.assertGreater(len(probes[0]), 100)
        self.assertEqual(probes[0], probes[1])


class LargeTransfers(unittest.TestCase):
    """A transfer of any size streams through vuart: its memory stays small, and the trace is whole."""

    def test_a_slow_reader_holds_com2_back(self):
        size = 96 << 20
        reader, writer = os.pipe()
        try:
            program = subprocess.Popen([tool("VUART"), "-q", "--com2", f"/dev/fd/{writer}", "--", tool("PORT_BENCH"),
                                        "rep-com2", str(size)], pass_fds=(writer,), stderr=subprocess.PIPE)
            os.close(writer)
            writer = None
            time.sleep(1)  # the pipe fills before anyone reads
            with open(f"/proc/{program.pid}/status") as status:
                held = int(re.search(r"VmRSS:\s+(\d+) kB", status.read()).group(1)) / 1024
            received = 0
            while piece := os.read(reader, 1 << 20):
                received += len(piece)
            self.assertEqual(program.wait(timeout=60), 0, program.stderr.read())
        finally:
            os.close(reader)
            if writer is not None:
                os.close(writer)
        self.assertLess(held, 64)  # what COM2 sent waits in the program, not in vuart
        self.assertEqual(received, size)

    def test_memory_stays_bounded_with_the_trace_on(self):
        size = 96 << 20  # more than the bound, which vuart stays far below
        with tempfile.TemporaryDirectory() as scratch:
            line, trace = os.path.join(scratch, "line"), os.path.join(scratch, "trace")
            pathlib.Path(line).write_bytes(b"x" * size)
            for mode in ("rep", "write", "rep-in"):
                with self.subTest(mode):
                    status, peak = peak_memory_mib([tool("VUART"), "-q", "--com1", "/dev/null", "--com1-input", line,
                                                    "--trace", trace, "--", tool("PORT_BENCH"), mode, str(size)])
                    self.assertEqual(status, 0)
                    self.assertLess(peak, 64)  # the program itself holds the whole transfer
                    with open(trace, "rb") as lines:
                        events = [json.loads(line) for line in lines if b'"bytes":"xxxx' in line]
                    if mode == "rep":
                        self.assertEqual([(len(event["bytes"]), event["count"]) for event in events], [(size, size)])
                    elif mode == "write":  # a piece at a time, each an event of its own
                        self.assertEqual(sum(len(event["bytes"]) for event in events), size)
                    else:  # in parts, each followed by what it received
                        for kind, measure in (("port", lambda e: e["count"]), ("receive", lambda e: len(e["bytes"]))):
                            self.assertEqual(sum(measure(e) for e in events if e["event"] == kind), size)


class DebianPrograms(unittest.TestCase):
    """Port I/O programs written elsewhere: the ioport tools and lspci's direct configuration access."""

    def need(self, program):
        if not shutil.which(program):
            self.skipTest(f"{program} is not installed")

    def test_ioport_outb_and_inb(self):
        self.need("outb")
        result = vuart(["outb", "0x3f8", "0x41"])
        self.assertEqual(result.done.returncode, 0)
        self.assertEqual(result.com1, b"A")
        self.assertEqual(port_events(result), [("out", False, 0x3F8, 1, 1, b"A")])
        result = vuart(["inb", "0x3fd"])
        self.assertEqual(result.done.stdout, b"96\n")  # THRE and TEMT

    def test_ioport_outb_on_com2(self):
        self.need("outb")
        with tempfile.TemporaryDirectory() as scratch:
            com2 = os.path.join(scratch, "com2")
            result = vuart(["outb", "0x2f8", "0x42"], "--com2", com2)
            self.assertEqual((result.done.returncode, result.com1, pathlib.Path(com2).read_bytes()), (0, b"", b"B"))

    def test_hwclock_reads_the_hosts_time(self):
        self.need("hwclock")
        before = datetime.datetime.now(datetime.timezone.utc)
        result = vuart(["hwclock", "--directisa", "-r", "--utc"])
        after = datetime.datetime.now(datetime.timezone.utc)
        self.assertEqual(result.done.returncode, 0, result.done.stderr)
        read = datetime.datetime.fromisoformat(result.done.stdout.decode().strip())
        # The clock counts whole seconds; hwclock waits for the next one to begin.
        self.assertLessEqual(before - datetime.timedelta(seconds=1), read)
        self.assertLessEqual(read, after + datetime.timedelta(seconds=1))

    def test_picocom_on_com2s_terminal(self):
        self.need("picocom")
        data = b"picocom to COM2\n"
        program = subprocess.Popen([tool("VUART"), "-q", "--com2", "pty", "--", tool("UART_PROBE"), "--base", "0x2f8",
                                    "echo", str(len(data))], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        try:
            announced = program.stderr.readline().decode()
            self.assertRegex(announced, r"^vuart: COM2 is /dev/pts/\d+\n$")
            client = subprocess.run(["picocom", "-q", "--nolock", "-b", "115200", "--exit-after", "2000",
                                     announced.split()[-1]], input=data, capture_output=True, timeout=60)
            self.assertEqual(program.wait(timeout=30), 0)
            self.assertEqual(client.stdout, data)  # what picocom typed, echoed by the program on COM2
        finally:
            program.kill()
            program.wait()

    def test_lspci_probes_an_empty_configuration_space(self):
        self.need("lspci")
        result = vuart(["lspci", "-A", "intel-conf1"])
        self.assertEqual(result.done.returncode, 0)
        self.assertEqual(result.done.stdout, b"")  # nothing answers at 0xCFC
        kinds = {(e["kind"], e["port"], e["width"]) for e in result.ports()}
        self.assertIn(("out", 0xCF8, 4), kinds)
        self.assertIn(("in", 0xCFC, 4), kinds)
        self.assertTrue(all(as_bytes(e["bytes"]) == b"\xff" * 4 for e in result.ports() if e["kind"] == "in"
                            and e["port"] == 0xCFC))


if __name__ == "__main__":
    unittest.main()
