"""vuart never blocks where nobody can reach it: signals act while COM1's output
stalls or its input is empty, a terminal client gets what was sent, unusable
files are refused before the program runs, a process group's signal reaches the
program once, and the program's name cannot forge a line."""

import fcntl
import itertools
import os
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
import unittest

from testlib import COM1_BYTES, program_pid, run, tool

VUART = tool("VUART")


class Started(subprocess.Popen):
    """vuart, killed if a test leaves it running."""

    def __init__(self, argv, **kwargs):
        super().__init__([VUART, *argv], stdin=subprocess.DEVNULL, **kwargs)

    def __exit__(self, *exception):
        self.kill()
        super().__exit__(*exception)


def read_exactly(terminal, count):
    received = b""
    while len(received) < count and (piece := os.read(terminal, min(4096, count - len(received)))):
        received += piece
    return received


def announced_pty(process):
    line = process.stderr.readline().decode()
    assert line.startswith("vuart: COM1 is /dev/pts/"), line
    return line.split()[-1]


class Signals(unittest.TestCase):
    def test_signals_act_while_com1_stalls_or_its_input_is_empty(self):
        with tempfile.TemporaryDirectory() as scratch:
            line = os.path.join(scratch, "line")
            os.mkfifo(line)
            writer = os.open(line, os.O_RDWR)  # keeps the line open, and sends nothing
            cases = {
                "a terminal nobody reads": ["--com1", "pty", "--", tool("PORT_BENCH"), "rep", "4000000"],
                "a line with nothing yet": ["--com1", "/dev/null", "--com1-input", line, "--", tool("UART_PROBE"),
                                            "echo", "1"],
            }
            try:
                # Sent to vuart, which passes it on, or to the program itself.
                for (name, argv), to_program in itertools.product(cases.items(), (False, True)):
                    with self.subTest(name, to_program=to_program), Started(argv, stdout=subprocess.DEVNULL,
                                                                            stderr=subprocess.DEVNULL) as process:
                        time.sleep(0.5)
                        os.kill(program_pid(process.pid, name=os.path.basename(argv[-3])) if to_program
                                else process.pid, signal.SIGTERM)
                        self.assertEqual(process.wait(timeout=10), 128 + signal.SIGTERM)
            finally:
                os.close(writer)

    def test_a_group_signal_reaches_the_program_once(self):
        for _ in range(12):
            with Started(["-q", "--", tool("HOSTILE_FIXTURE"), "count-term"], stdout=subprocess.PIPE,
                         start_new_session=True) as process:
                self.assertEqual(process.stdout.readline(), b"ready\n")
                os.killpg(process.pid, signal.SIGTERM)
                self.assertEqual(process.stdout.read(), b"SIGTERM 1\n")
                self.assertEqual(process.wait(timeout=10), 0)


class Terminals(unittest.TestCase):
    def test_a_pty_client_gets_what_was_sent_after_the_program_ended(self):
        with Started(["-q", "--com1", "pty", "--", tool("OUTSB")], stdout=subprocess.DEVNULL,
                     stderr=subprocess.PIPE) as process:
            terminal = os.open(announced_pty(process), os.O_RDWR | os.O_NOCTTY)
            try:
                time.sleep(0.5)  # the program is done before the client reads
                received = read_exactly(terminal, len(COM1_BYTES))
            finally:
                os.close(terminal)
            self.assertEqual(received, COM1_BYTES)
            self.assertEqual(process.wait(timeout=10), 0)
        done = run([VUART, "-q", "--com1", "pty", "--", tool("OUTSB")])  # nobody reads
        self.assertEqual(done.returncode, 0)
        self.assertRegex(done.stderr.decode().splitlines()[1],
                         r"^vuart: the last 522 bytes sent to COM1 were not read from /dev/pts/\d+$")

    def test_a_pty_client_reading_as_the_program_ends_gets_every_byte_and_the_count_of_the_rest_is_exact(self):
        def reading(keep):
            with Started(["-q", "--com1", "pty", "--", tool("PORT_BENCH"), "rep", "100000"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as process:
                terminal = os.open(announced_pty(process), os.O_RDWR | os.O_NOCTTY)
                try:
                    received = read_exactly(terminal, keep)
                    status = process.wait(timeout=30)
                finally:
                    os.close(terminal)
                return status, len(received), process.stderr.read().decode()

        for _ in range(20):
            self.assertEqual(reading(100_000), (0, 100_000, ""))
        status, read, notes = reading(30_000)  # then it stops reading
        self.assertEqual((status, read), (0, 30_000))
        self.assertRegex(notes, r"^vuart: the last 70000 bytes sent to COM1 were not read from /dev/pts/\d+\n$")

    def test_what_a_pty_client_sent_that_the_program_never_read_is_counted(self):
        with Started(["-q", "--com1", "pty", "--", tool("UART_PROBE"), "echo", "3"], stdout=subprocess.DEVNULL,
                     stderr=subprocess.PIPE) as process:
            terminal = os.open(announced_pty(process), os.O_RDWR | os.O_NOCTTY)
            try:
                os.write(terminal, b"abcdefghij")
                self.assertEqual(read_exactly(terminal, 3), b"abc")
                self.assertEqual(process.wait(timeout=30), 0)
            finally:
                os.close(terminal)
            self.assertRegex(process.stderr.read().decode(), r"^vuart: the program never read 7 bytes that came on "
                                                             r"COM1's line \(COM1 from /dev/pts/\d+\)\n$")

    def test_the_programs_terminal_follows_the_size_of_vuarts(self):
        ours, theirs = os.openpty()
        try:
            fcntl.ioctl(ours, termios.TIOCSWINSZ, struct.pack("HHHH", 20, 100, 0, 0))
            size = "stty -F /dev/stdout size"  # of the program's terminal: its standard input is vuart's
            script = f'{size}; trap "{size}; exit 0" WINCH; echo ready; while :; do sleep 0.05; done'
            with subprocess.Popen([VUART, "-q", "--pty", "--", "sh", "-c", script], stdin=theirs,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as process:
                self.assertEqual(process.stdout.readline(), b"20 100\n")
                self.assertEqual(process.stdout.readline(), b"ready\n")
                fcntl.ioctl(ours, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 120, 0, 0))
                process.send_signal(signal.SIGWINCH)  # as the terminal would send it to its foreground group
                self.assertEqual(process.stdout.readline(), b"30 120\n")
                self.assertEqual(process.wait(timeout=10), 0)
        finally:
            os.close(ours)
            os.close(theirs)

    def test_runs_on_a_terminal_never_hang_at_start(self):
        failures = []

        def runs():
            for _ in range(150):
                try:
                    run([VUART, "-q", "--pty", "--", tool("OUTSB")])
                except Exception as failure:  # noqa: BLE001 (a thread's exception would pass unseen)
                    failures.append(failure)

        loops = [threading.Thread(target=runs) for _ in range(2)]
        for loop in loops:
            loop.start()
        for loop in loops:
            loop.join()
        self.assertEqual(failures, [])


class Files(unittest.TestCase):
    def test_unusable_files_are_refused_before_the_program_runs(self):
        with tempfile.TemporaryDirectory() as scratch:
            fifo = os.path.join(scratch, "fifo")
            os.mkfifo(fifo)
            cases = {
                "a directory as COM1's input": (["--com1-input", scratch], "is a directory"),
                "a FIFO nobody reads as the trace": (["--trace", fifo], "a FIFO needs its reader first"),
                "no trace before --": (["--trace"], "option '--trace' needs a value"),
            }
            for name, (options, message) in cases.items():
                with self.subTest(name):
                    done = run([VUART, *options, "--", "sh", "-c", "echo ran"], cwd=scratch)
                    self.assertEqual((done.returncode, done.stdout), (125, b""))
                    (line,) = done.stderr.decode().splitlines()
                    self.assertIn(message, line)
            self.assertEqual(sorted(os.listdir(scratch)), ["fifo"])

    def test_com1_on_the_file_of_standard_output_shares_its_offset(self):
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "out")

            def written(*options):
                with open(out, "wb") as standard_output:
                    done = subprocess.run([VUART, "-q", *options, "--", tool("OUTSB")], stdout=standard_output,
                                          timeout=30)
                self.assertEqual(done.returncode, 0)
                with open(out, "rb") as result:
                    return result.read()

            default = written()  # COM1 on standard output
            for com1 in (out, "/dev/stdout"):
                with self.subTest(com1):
                    self.assertEqual(written("--com1", com1), default)

    def test_the_programs_name_cannot_forge_a_line(self):
        with tempfile.TemporaryDirectory() as scratch:
            name = os.path.join(scratch, "a\nvuart: forged")
            os.symlink("/bin/true", name)
            done = run([VUART, "--com1", "/dev/null", "--", name])
            self.assertEqual(done.stderr.decode(), "vuart: $'a\\nvuart: forged' exited with status 0; "
                                                   "COM1 sent 0 bytes and received 0, in 0 port instructions\n")


if __name__ == "__main__":
    unittest.main()
