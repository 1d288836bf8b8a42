"""vuart's command line, exit statuses, pass-through and the child's safety."""

import json
import os
import shutil
import socket
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from testlib import as_bytes, host_abilities, is_running, program_pid, run, tool, vuart

SYS_RAWIO_BIT = 1 << 17


class CommandLine(unittest.TestCase):
    def test_help_and_version(self):
        done = run([tool("VUART"), "--help"])
        self.assertEqual(done.returncode, 0)
        for option in (b"--com1", b"--trace", b"--refuse", b"--pty", b"--quiet"):
            self.assertIn(option, done.stdout)
        done = run([tool("VUART"), "--version"])
        self.assertRegex(done.stdout.decode(), r"^vuart \d+\.\d+\.\d+\n$")

    def test_own_failures(self):
        with tempfile.TemporaryDirectory() as scratch:
            not_executable = os.path.join(scratch, "data")
            open(not_executable, "w").close()
            cases = {
                "bad option": (["--bogus", "--", "true"], 125, "unknown option '--bogus'"),
                "bad refusal": (["--refuse=EIO", "--", "true"], 125, "--refuse takes EPERM or ENOSYS"),
                "no program": (["--pty"], 125, "no program given"),
                "missing value": (["--trace"], 125, "option '--trace' needs a value"),
                "unwritable trace": (["--trace", "/nonexistent/t", "--", "true"], 125, "open trace file"),
                "missing program": (["--", "no-such-program-here"], 127, "no-such-program-here: No such file"),
                "not executable": (["--", not_executable], 126, "Permission denied"),
                "not a directory on the way": (["--", "/dev/null/x"], 126, "/dev/null/x: Not a directory"),
            }
            for name, (arguments, status, message) in cases.items():
                with self.subTest(name):
                    done = run([tool("VUART"), *arguments])
                    self.assertEqual(done.returncode, status)
                    lines = done.stderr.decode().splitlines()
                    self.assertEqual(len(lines), 1, lines)
                    self.assertTrue(lines[0].startswith("vuart: "))
                    self.assertIn(message, lines[0])
                    self.assertEqual(done.stdout, b"")

    def test_exit_status_is_the_programs(self):
        self.assertEqual(run([tool("VUART"), "-q", "--", "sh", "-c", "exit 7"]).returncode, 7)
        done = run([tool("VUART"), "-q", "--", "sh", "-c", "kill -TERM $$"])
        self.assertEqual(done.returncode, 128 + signal.SIGTERM)
        self.assertEqual(done.stderr, b"")

    def test_standard_streams_pass_through(self):
        done = subprocess.run([tool("VUART"), "-q", "--", "sh", "-c", "cat; echo err >&2"],
                              input=b"\x00\xffdata", capture_output=True, timeout=30)
        self.assertEqual((done.stdout, done.stderr, done.returncode), (b"\x00\xffdata", b"err\n", 0))

    def test_writes_of_any_bytes_round_trip_in_the_trace(self):
        everything = bytes(range(256))
        result = vuart(["python3", "-c",
                        "import os; os.write(1, bytes(range(256))); os.writev(2, [b'ab', b'', b'cd'])"])
        writes = [(e["fd"], e["bytes"].encode("latin-1")) for e in result.of("write")]
        self.assertIn((1, everything), writes)
        self.assertIn((2, b"abcd"), writes)
        self.assertEqual(result.done.stdout, everything)

    def test_output_by_any_call_and_abi_is_recorded(self):
        with tempfile.TemporaryDirectory() as scratch:
            source = os.path.join(scratch, "source")
            with open(source, "wb") as file:
                file.write(b"copied\n")
            script = ("import os, sys; f = os.open(sys.argv[1], os.O_RDONLY); os.sendfile(1, f, 0, 7); "
                      "r, w = os.pipe(); os.write(w, b'spliced\\n'); os.splice(r, 1, 8); os.write(os.dup(1), b'dup\\n'); "
                      "os.dup2(os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT), 1); os.write(1, b'elsewhere')")
            result = vuart([sys.executable, "-c", script, source, os.path.join(scratch, "elsewhere")])
        self.assertEqual(result.done.stdout, b"copied\nspliced\ndup\n")
        # Standard output is a file, not a number: a copy of fd 1 writes it, fd 1 made another file does not.
        self.assertEqual([(event["fd"], event["bytes"]) for event in result.of("write")], [(1, "dup\n")])
        copies = [(event["fd"], event["call"], event["from"], event["count"]) for event in result.of("copy")]
        self.assertEqual(copies[0], (1, "sendfile", source, 7))
        self.assertEqual((copies[1][1], copies[1][2].startswith("pipe:"), copies[1][3]), ("splice", True, 8))
        if host_abilities()["i386"]:
            i386 = vuart([tool("I386_PORTS")])  # write through int 0x80
            self.assertEqual(b"".join(as_bytes(event["bytes"]) for event in i386.of("write")), i386.done.stdout)


    def test_one_file_for_both_streams_keeps_their_numbers(self):  # as with 2>&1
        with tempfile.TemporaryDirectory() as scratch:
            trace = os.path.join(scratch, "trace")
            done = subprocess.run([tool("VUART"), "-q", "--trace", trace, "--", sys.executable, "-c",
                                   "import os; os.write(1, b'out\\n'); os.write(2, b'err\\n')"],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
            with open(trace, encoding="utf-8") as lines:
                writes = [(event["fd"], event["bytes"]) for event in map(json.loads, lines) if event["event"] == "write"]
        self.assertEqual((done.stdout, writes), (b"out\nerr\n", [(1, "out\n"), (2, "err\n")]))

    def test_two_threads_writing_then_exec_as_without_vuart(self):
        """Two threads' large writes, then the descriptors the process holds, then exec and more writes:
        standard output as without vuart, and the trace holds it, thread by thread."""
        script = ("import os, sys, threading\n"
                  "def write(byte):\n"
                  "    left = 3_000_000\n"
                  "    while left:\n"
                  "        left -= os.write(1, byte * min(left, 300_000))\n"
                  "threads = [threading.Thread(target=write, args=(byte,)) for byte in (b'a', b'b')]\n"
                  "[thread.start() for thread in threads]; [thread.join() for thread in threads]\n"
                  "print(sorted(os.listdir('/proc/self/fd')), flush=True)\n"
                  "os.execv('/bin/sh', ['sh', '-c', 'echo one; exec /bin/echo two'])\n")
        native = run([sys.executable, "-c", script])
        result = vuart([sys.executable, "-c", script])
        self.assertEqual((result.done.returncode, result.done.stdout.count(b"a"), result.done.stdout.count(b"b")),
                         (0, 3_000_000, 3_000_000))
        self.assertEqual(result.done.stdout.lstrip(b"ab"), native.stdout.lstrip(b"ab"))
        by_thread = {}
        for event in result.of("write"):
            by_thread[event["tid"]] = by_thread.get(event["tid"], b"") + as_bytes(event["bytes"])
        self.assertEqual(sorted(written for written in by_thread.values() if len(written) >= 3_000_000),
                         [b"a" * 3_000_000, b"b" * 3_000_000])

class AsUser(unittest.TestCase):
    """As an ordinary user (nobody, when the tests run as root)."""
    user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []

    def routes(self, stdout, traced=True):
        """The trace's write and send events of output-routes, run as the user."""
        with tempfile.TemporaryDirectory() as scratch:
            os.chmod(scratch, 0o777)
            trace = os.path.join(scratch, "trace")
            subprocess.run([*self.user, tool("VUART"), "-q", *(["--trace", trace] if traced else []), "--",
                            tool("HOSTILE_FIXTURE"), "output-routes"], stdout=stdout, timeout=60, check=True)
            with open(trace if traced else os.devnull, encoding="utf-8") as lines:
                return [event for event in map(json.loads, lines) if event["event"] in ("write", "send")]

    def test_routes_past_the_trace_are_refused_or_named(self):
        found = {}
        for traced in (True, False):  # without the trace, nothing to record and nothing refused
            with tempfile.TemporaryFile() as output:
                os.fchmod(output.fileno(), 0o666)  # for the user to open it again, read and write
                self.routes(output, traced)
                output.seek(0)
                found[traced] = dict(line.split("=") for line in output.read().decode().splitlines())
        self.assertEqual(found[False]["mmap-shared-stdout"], "0/-")
        self.assertEqual(found[True], {"io_uring_setup": "-1/ENOSYS", "io_setup": "-1/ENOSYS",
                                 "mmap-shared-stdout": "-1/EACCES", "ficlone-stdout": "-1/EOPNOTSUPP",
                                 "sendmsg": "-1/ENOTSOCK", "sendto": "-1/ENOTSOCK"})
        ours, theirs = socket.socketpair()  # a socket as standard output: sendto's bytes, sendmsg's count
        with ours, theirs:
            events = self.routes(theirs)
        self.assertIn(("write", "sendto\n"), [(event["event"], event.get("bytes")) for event in events])
        self.assertIn(("send", 1, "sendmsg", 8), [(event["event"], event["fd"], event.get("call"), event.get("count"))
                                                  for event in events])

    def test_a_program_vuart_cannot_read_is_refused(self):
        with tempfile.TemporaryDirectory() as scratch:
            os.chmod(scratch, 0o755)
            hidden = os.path.join(scratch, "port_fixture")
            shutil.copy(tool("PORT_FIXTURE"), hidden)
            os.chmod(hidden, 0o711 if self.user else 0o111)  # its user may run it but not read it
            done = subprocess.run([*self.user, tool("VUART"), "-q", "--", hidden, "widths"], capture_output=True,
                                  timeout=60)
            nested = subprocess.run([*self.user, tool("VUART"), "-q", "--", "sh", "-c", f"{hidden} widths; echo $?"],
                                    capture_output=True, timeout=60)
        self.assertEqual((done.returncode, done.stdout), (126, b""))
        self.assertRegex(done.stderr.decode(), r"^vuart: \S+port_fixture: the kernel hides its memory from vuart "
                                               r"\(its user may run it but not read it\), so vuart cannot carry out "
                                               r"its port instructions and does not run it\n$")
        self.assertEqual(nested.stdout, b"139\n")  # its port instruction faults as without vuart
        self.assertRegex(nested.stderr.decode(), r"^vuart: process \d+ runs a program whose memory the kernel "
                                                 r"hides from vuart")

class Safety(unittest.TestCase):
    def test_child_has_no_raw_io_and_no_new_privileges(self):
        result = vuart(["cat", "/proc/self/status"])
        fields = dict(line.split(":\t", 1) for line in result.done.stdout.decode().splitlines() if ":\t" in line)
        for key in ("CapBnd", "CapPrm", "CapEff", "CapInh", "CapAmb"):
            self.assertFalse(int(fields[key], 16) & SYS_RAWIO_BIT, key)
        self.assertEqual(fields["NoNewPrivs"].strip(), "1")
        self.assertEqual(fields["Seccomp"].strip(), "2")

    def test_traced_tree_dies_with_vuart(self):
        with tempfile.TemporaryDirectory() as scratch:
            pid_file = os.path.join(scratch, "pid")
            tracer = subprocess.Popen([tool("VUART"), "-q", "--", "sh", "-c", f"echo $$ > {pid_file}; exec sleep 60"])
            self.assertTrue(wait_until(lambda: os.path.exists(pid_file) and os.path.getsize(pid_file)))
            with open(pid_file) as text:
                traced = program_pid(tracer.pid, int(text.read()))
            self.assertTrue(is_running(traced))
            tracer.kill()
            tracer.wait()
            self.assertTrue(wait_until(lambda: not is_running(traced)))


def wait_until(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


if __name__ == "__main__":
    unittest.main()
