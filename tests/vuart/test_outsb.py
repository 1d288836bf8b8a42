"""The diagnostic under the virtual serial port: what it sends, in which order,
and how it stops when access is refused."""

import re
import signal
import unittest

from testlib import (COM1_BYTES, LINE, PROGRESS_LINES, as_bytes, expected_report, run, tool, vuart)


class FullRun(unittest.TestCase):
    def test_sends_hello_and_eleven_lines(self):
        result = vuart([tool("OUTSB")])
        self.assertEqual(result.done.returncode, 0)
        self.assertEqual(result.done.stdout, PROGRESS_LINES)
        self.assertEqual(len(result.done.stdout), 54)
        self.assertEqual(result.program_stderr(), b"")
        self.assertEqual(result.com1, COM1_BYTES)
        self.assertEqual(len(result.com1), 522)

        self.assertEqual([(e["from"], e["num"], e["turn_on"], e["result"]) for e in result.of("ioperm")],
                         [(0x3F8, 8, 1, 0)])
        self.assertEqual(result.of("iopl"), [])
        ports = result.ports()
        self.assertTrue(all(e["port"] == 0x3F8 and e["width"] == 1 for e in ports))
        self.assertTrue(all(e["kind"] in ("out", "outs") for e in ports))  # nothing is read
        singles, strings = ports[:5], ports[5:]
        self.assertEqual([(e["kind"], e["rep"], as_bytes(e["bytes"])) for e in singles],
                         [("out", False, bytes([c])) for c in b"hello"])
        self.assertEqual(len(strings), 11)
        for event in strings:
            self.assertEqual((event["kind"], event["rep"], event["count"], event["direction"]),
                             ("outs", True, 47, "up"))
            self.assertEqual(as_bytes(event["bytes"]), LINE)
        self.assertEqual(result.exit(), {"event": "exit", "status": 0})

    def test_summary_on_standard_error(self):
        done = run([tool("VUART"), "--com1", "/dev/null", "--", tool("OUTSB")])
        self.assertRegex(done.stderr.decode(), r"^vuart: outsb exited with status 0; COM1 sent 522 bytes and received 0, in 16 port instructions\n$")
        self.assertEqual(done.stdout, PROGRESS_LINES)


def timeline(result):
    """Each event as a short label: the text written to fd 1, or the port bytes."""
    labels = []
    for event in result.events:
        if event["event"] == "write" and event["fd"] == 1:
            labels.append(("stdout", as_bytes(event["bytes"])))
        elif event["event"] == "port":
            labels.append(("port", as_bytes(event["bytes"])))
        elif event["event"] in ("ioperm", "iopl"):
            labels.append((event["event"], event["result"]))
    return labels


class Order(unittest.TestCase):
    def test_on_a_terminal_each_line_precedes_its_stage(self):
        result = vuart([tool("OUTSB")], "--pty")
        self.assertEqual(result.done.stdout, PROGRESS_LINES)
        expected = [("stdout", b"init\n"), ("ioperm", 0),
                    ("stdout", b"attempting outb\n"), ("port", b"h"),
                    ("stdout", b"attempting outb\n"), ("port", b"e"), ("port", b"l"), ("port", b"l"), ("port", b"o"),
                    ("stdout", b"attempting outsb\n")] + [("port", LINE)] * 11
        self.assertEqual(timeline(result), expected)

    def test_through_a_pipe_later_lines_come_at_exit(self):
        result = vuart([tool("OUTSB")])
        labels = timeline(result)
        self.assertEqual(labels[:2], [("stdout", b"init\n"), ("ioperm", 0)])
        self.assertEqual([label for label in labels if label[0] == "stdout"][1:],
                         [("stdout", b"attempting outb\nattempting outb\nattempting outsb\n")])
        self.assertEqual(labels[-1][0], "stdout")
        self.assertEqual(len([label for label in labels if label[0] == "port"]), 16)


class Refused(unittest.TestCase):
    def test_refused_requests(self):
        for error in ("EPERM", "ENOSYS"):
            with self.subTest(error):
                result = vuart([tool("OUTSB")], f"--refuse={error}")
                self.assertEqual(result.done.stdout, b"init\n")
                self.assertEqual(result.program_stderr(), expected_report())
                self.assertEqual(result.done.returncode, 128 + signal.SIGABRT)
                self.assertEqual([(e["result"], e["errno"]) for e in result.of("ioperm")], [(-1, error)])
                self.assertEqual(result.ports(), [])
                self.assertEqual(result.com1, b"")
                self.assertEqual(result.exit()["name"], "SIGABRT")
                writes = [(e["fd"], as_bytes(e["bytes"])) for e in result.of("write")]
                self.assertEqual(writes, [(1, b"init\n"), (2, expected_report())])


class Invocation(unittest.TestCase):
    def test_arguments_and_environment_change_nothing(self):
        def shape(result):
            events = [{k: v for k, v in e.items() if k not in ("tid", "rip")} for e in result.events]
            return result.done.stdout, result.com1, result.done.returncode, events

        baseline = shape(vuart([tool("OUTSB")]))
        variants = {
            "many arguments": ([tool("OUTSB"), *[f"a{n}" for n in range(1000)]], None),
            "empty and non-UTF-8": ([tool("OUTSB"), "", b"\xff\xfe", b"\x80"], None),
            "empty environment": ([tool("OUTSB")], {}),
            "argc 0": ([tool("EXEC_ARGV"), tool("OUTSB")], None),
        }
        for name, (argv, env) in variants.items():
            with self.subTest(name):
                self.assertEqual(shape(vuart(argv, env=env)), baseline)


if __name__ == "__main__":
    unittest.main()
