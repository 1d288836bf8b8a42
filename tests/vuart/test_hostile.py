"""vuart against hostile programs and careless callers: containment, its
outputs, and the program's signal state."""

import ctypes
import glob
import json
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from testlib import COM1_BYTES, PROGRESS_LINES, bounding_set, check_contained, as_bytes, host_abilities, is_running, program_pid, run, tool, vuart

# CAP_SYS_MODULE, CAP_SYS_RAWIO, CAP_SYS_PTRACE, CAP_SYS_BOOT
DROPPED_CAPABILITIES = (1 << 16) | (1 << 17) | (1 << 19) | (1 << 22)
# Seizes a process that waits stopped, lets it go on, and sees it through to its end.
ATTACHER = """
import ctypes, os, signal, sys
libc = ctypes.CDLL(None, use_errno=True)
pid = int(sys.argv[1])
if libc.ptrace(0x4206, pid, 0, 0) != 0:  # PTRACE_SEIZE
    sys.exit("seize: " + os.strerror(ctypes.get_errno()))
os.kill(pid, signal.SIGCONT)
while True:
    _, status = os.waitpid(pid, 0x40000000)  # __WALL
    if not os.WIFSTOPPED(status):
        break
    libc.ptrace(7, pid, 0, os.WSTOPSIG(status) if status >> 16 == 0 else 0)  # PTRACE_CONT
"""


def fixture(case, *options, **kwargs):
    result = vuart([tool("HOSTILE_FIXTURE"), case], *options, **kwargs)
    return result, result.done.stdout.decode()


def writers_in_write():
    """Threads of hostile_fixture processes that are in a write call."""
    count = 0
    for task in glob.glob("/proc/[0-9]*/task/[0-9]*"):
        try:
            with open(f"{task}/comm") as comm, open(f"{task}/syscall") as syscall:
                count += comm.read().startswith("hostile_fixtur") and syscall.read().split()[0] == "1"
        except (OSError, IndexError):
            pass
    return count


def status_fields(text):
    return dict(line.split(":\t", 1) for line in text.splitlines() if ":\t" in line)


class Containment(unittest.TestCase):
    def test_program_cannot_reach_vuart_or_escape_it(self):
        _, output = fixture("attach-parent")
        self.assertEqual(output, "attach=-1/EPERM\nseize=-1/EPERM\nopen-mem=-1/EACCES\n")
        _, output = fixture("untraced-clone")
        int80 = "-1/EPERM" if host_abilities()["i386"] else "no-i386"
        self.assertEqual(output, f"clone-untraced=-1/EPERM\nclone3=-1/ENOSYS\nclone-untraced-int80={int80}\n"
                                 "pthread_create=0/-\nfork-status=7/-\n")

    def test_neither_vuart_nor_the_program_holds_a_dangerous_capability(self):
        result = vuart(["sh", "-c", "cat /proc/self/status; echo @@; cat /proc/$PPID/status"])
        program, tracer = result.done.stdout.decode().split("@@\n")
        for name, text in (("program", program), ("vuart", tracer)):
            fields = status_fields(text)
            for key in ("CapBnd", "CapPrm", "CapEff", "CapInh", "CapAmb"):
                self.assertFalse(int(fields[key], 16) & DROPPED_CAPABILITIES, f"{name} {key}")
        self.assertEqual(status_fields(program)["NoNewPrivs"].strip(), "1")

    @unittest.skipUnless(os.geteuid() == 0, "run as root")
    def test_a_root_program_is_contained_in_namespaces_of_its_own(self):
        with tempfile.TemporaryFile() as output:  # a file: a shared mapping of it would bypass the trace
            # --writable does not reach the kernel's helpers, nor the directories on their way.
            done = subprocess.run([tool("VUART"), "-q", "--com1", "/dev/null", "--trace", "/dev/null",
                                   "--writable", os.path.dirname(os.path.realpath("/sbin/poweroff")), "--",
                                   tool("HOSTILE_FIXTURE"), "escape"], cwd="/dev", stdout=output, timeout=60)
            output.seek(0)
            check_contained(self, output.read().decode(), bounding_set())
        self.assertEqual(done.returncode, 0)
        with tempfile.TemporaryDirectory(dir="/dev/shm") as elsewhere:  # not in the program's own /dev
            refused = subprocess.run([tool("VUART"), "-q", "--", "true"], cwd=elsewhere, capture_output=True,
                                     timeout=60)
        self.assertEqual(refused.returncode, 125)
        self.assertRegex(refused.stderr.decode(), r"^vuart: find the working directory /dev/shm/\S+ in the program's")
        shared = vuart(["sh", "-c", "echo $$; ls /dev | grep -c ttyS"], "--uncontained").done.stdout.split()
        self.assertNotEqual(shared[0], b"2")  # PID 2 is the program's in its own namespace
        self.assertNotEqual(shared[1], b"0")

    def test_a_process_that_attached_as_vuart_started_makes_it_refuse(self):
        # The attacher wins the moment between vuart's exec and its first step, which the stop stands for.
        with subprocess.Popen(["sh", "-c", 'kill -STOP $$; exec "$0" -q -- true', tool("VUART")],
                              stderr=subprocess.PIPE) as started:
            while open(f"/proc/{started.pid}/stat").read().rsplit(")", 1)[1].split()[0] != "T":
                time.sleep(0.01)
            attacher = subprocess.run(["python3", "-c", ATTACHER, str(started.pid)], timeout=30)
            self.assertEqual(attacher.returncode, 0)
            self.assertEqual(started.wait(timeout=30), 125)
            self.assertRegex(started.stderr.read().decode(),
                             r"^vuart: process \d+ attached to vuart as it started; refusing to run\n$")

    def test_what_the_program_leaves_behind_ends_with_it(self):
        # Without namespaces of its own too, where no PID namespace ends it: vuart must.
        for options in ([], ["--uncontained"]):
            result, output = fixture("orphan", *options)
            self.assertEqual(result.done.returncode, 0)
            self.assertTrue(output.strip().isdigit())  # it had started
            left = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/stat") as stat:
                        left += [pid] if stat.read().split()[1] == "(left-behind)" else []
                except OSError:
                    pass
            self.assertEqual(left, [], options)  # not even a zombie: reaped, not left to the system's init

    def test_the_programs_own_filter_behaves_as_without_a_tracer(self):
        direct = run([tool("HOSTILE_FIXTURE"), "own-seccomp"])
        result, output = fixture("own-seccomp")
        self.assertEqual(output, direct.stdout.decode())
        self.assertIn("getpid=-1/ENOSYS\n", output)
        # Only the program's real writes are recorded: none of its own filter's stops.
        self.assertEqual("".join(e["bytes"] for e in result.of("write")), output)
        self.assertEqual(result.done.returncode, 0)


    def test_a_program_that_denies_writable_code_still_gets_its_string_transfers(self):
        result, output = fixture("mdwe")
        self.assertEqual((result.done.returncode, output, result.com1), (0, "mdwe=0/-\n", b"sent\n"))


class Trace(unittest.TestCase):
    def test_the_trace_holds_what_the_kernel_wrote(self):
        """Another thread changes the buffer as it is written; large writes go in pieces, a timer's handler that
        writes too between them; pwrite and writev at the file's end. The files the program wrote are the
        reference."""
        with tempfile.TemporaryDirectory() as scratch:
            written, trace = os.path.join(scratch, "written"), os.path.join(scratch, "trace")
            with open(written, "wb") as out:
                done = subprocess.run([tool("VUART"), "-q", "--trace", trace, "--", tool("HOSTILE_FIXTURE"),
                                       "racing-writes"], stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.PIPE, timeout=60)
            with open(written, "rb") as out:
                data = out.read()
            with open(trace, encoding="utf-8") as lines:
                events = [json.loads(line) for line in lines]
        traced = [b"".join(as_bytes(event["bytes"]) for event in events
                           if event["event"] == "write" and event["fd"] == fd) for fd in (1, 2)]
        alarms = int(re.fullmatch(rb"!*\nwrote \d+, (\d+) alarms\n", done.stderr).group(1))
        # No piece lost or written twice, the handler's writes among them recorded too.
        self.assertEqual(done.stderr, b"!" * alarms + f"\nwrote {len(data)}, {alarms} alarms\n".encode())
        self.assertEqual(traced[1], done.stderr)
        self.assertTrue(traced[0] == data, f"{len(traced[0])} traced bytes differ from the {len(data)} written")


class Outputs(unittest.TestCase):
    def vuart_shell(self, redirections, *options):
        """Runs outsb under vuart with the shell's redirections of vuart's own streams."""
        command = " ".join([tool("VUART"), *options, "--", tool("OUTSB")])
        return subprocess.run(["sh", "-c", f"exec {command} {redirections}"], capture_output=True, timeout=30)

    def test_closed_standard_streams_take_no_output(self):
        with tempfile.TemporaryDirectory() as scratch:
            com1, trace = os.path.join(scratch, "com1"), os.path.join(scratch, "trace")
            for redirections in (">&-", "2>&- >/dev/null", "<&- >&- 2>&-"):
                with self.subTest(redirections):
                    done = self.vuart_shell(redirections, "--com1", com1, "--trace", trace)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    with open(com1, "rb") as received:
                        self.assertEqual(received.read(), COM1_BYTES)
                    with open(trace) as lines:
                        self.assertTrue(all(line.startswith('{"event":') for line in lines))

    def test_a_failed_output_is_reported_once_and_ends_the_run(self):
        with tempfile.TemporaryDirectory() as scratch:
            com1 = os.path.join(scratch, "com1")
            cases = {
                "standard output full": ([], ">/dev/full", "write standard output: No space left on device"),
                "COM1 file full": (["--com1", "/dev/full"], ">/dev/null", "write COM1 file /dev/full: No space"),
                "trace full": (["--com1", com1, "--trace", "/dev/full"], "", "write trace: No space left"),
            }
            for name, (options, redirections, message) in cases.items():
                with self.subTest(name):
                    done = self.vuart_shell(redirections, *options)
                    self.assertEqual(done.returncode, 125)
                    lines = done.stderr.decode().splitlines()
                    self.assertEqual(len([line for line in lines if "write" in line]), 1, lines)
                    self.assertIn(message, lines[0])
                    self.assertNotIn("522 bytes", done.stderr.decode())

    def test_a_closed_pipe_gives_the_program_sigpipe(self):
        reader, writer = os.pipe()
        os.close(reader)
        try:
            done = subprocess.run([tool("VUART"), "--pty", "--", tool("OUTSB")], stdout=writer,
                                  stderr=subprocess.PIPE, timeout=30)
        finally:
            os.close(writer)
        lines = done.stderr.decode().splitlines()
        self.assertEqual(done.returncode, 125)
        self.assertEqual(lines[0], "vuart: write standard output: Broken pipe")
        self.assertIn("outsb was killed by SIGPIPE; COM1 sent 0 bytes", lines[1])

    def test_a_non_blocking_standard_output_loses_nothing(self):
        reader, writer = os.pipe()
        os.set_blocking(writer, False)  # as the caller left it: vuart must wait for room, not fail
        try:
            with subprocess.Popen([tool("VUART"), "-q", "--pty", "--", "head", "-c", "300000", "/dev/zero"],
                                  stdin=subprocess.DEVNULL, stdout=writer) as process:
                os.close(writer)
                writer = None
                time.sleep(0.3)  # the pipe fills before anyone reads
                received = b""
                while piece := os.read(reader, 65536):
                    received += piece
                self.assertEqual(process.wait(timeout=30), 0)
        finally:
            os.close(reader)
            if writer is not None:
                os.close(writer)
        self.assertEqual(received, bytes(300000))

    def test_com1_and_trace_must_differ(self):
        with tempfile.TemporaryDirectory() as scratch:
            same = os.path.join(scratch, "same")
            with open(same, "wb") as keep:
                keep.write(b"keep")
            done = run([tool("VUART"), "--com1", same, "--trace", same, "--", tool("OUTSB")])
            self.assertEqual((done.returncode, done.stdout), (125, b""))
            self.assertIn("the trace and COM1's output (--com1) are the same file", done.stderr.decode())
            with open(same, "rb") as kept:
                self.assertEqual(kept.read(), b"keep")
            done = self.vuart_shell(f">{same}", "--trace", "/dev/stdout")
            self.assertEqual(done.returncode, 125)
            self.assertIn("(standard output) are the same file", done.stderr.decode())
            # Each output of the other devices too, and none of them is emptied.
            with open(same, "wb") as keep:
                keep.write(b"keep")
            for redirections, options, message in (
                    (">/dev/null", ["--com2", same, "--debugcon", same],
                     "COM2's output (--com2) and the debug console's output (--debugcon) are the same file"),
                    (f">>{same}", ["--com4", "/dev/stdout"],
                     "COM4's output and the program's output (standard output) are the same file")):
                done = self.vuart_shell(redirections, *options)
                self.assertEqual(done.returncode, 125)
                self.assertIn(message, done.stderr.decode())
            with open(same, "rb") as kept:
                self.assertEqual(kept.read(), b"keep")


class SignalState(unittest.TestCase):
    def test_threads_busy_with_port_io_starve_no_other_stop(self):
        started = time.monotonic()
        done = run([tool("VUART"), "-q", "--com1", "/dev/null", "--", tool("HOSTILE_FIXTURE"), "starvation"])
        self.assertEqual((done.returncode, done.stdout), (0, b"created\n"), done.stderr)
        self.assertLess(time.monotonic() - started, 20)

    def test_a_crash_never_waits_behind_a_port_instruction_that_waits_for_room(self):
        # COM1 is a terminal nobody reads: the rep outsb waits for room for ever.
        started = time.monotonic()
        done = run([tool("VUART"), "-q", "--com1", "pty", "--", tool("HOSTILE_FIXTURE"), "crash-while-waiting"])
        self.assertEqual(done.returncode, 128 + signal.SIGSEGV, done.stderr)
        self.assertLess(time.monotonic() - started, 20)

    def test_callers_mask_and_ignored_signals_reach_the_program(self):
        def careless_caller():
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGTERM})
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # vuart must not hang on it
            signal.signal(signal.SIGHUP, signal.SIG_IGN)

        def masks(argv):
            done = subprocess.run(argv, preexec_fn=careless_caller, capture_output=True, timeout=30)
            fields = status_fields(done.stdout.decode())
            return {key: fields[key] for key in ("SigBlk", "SigIgn")}

        self.assertEqual(masks([tool("VUART"), "-q", "--", "cat", "/proc/self/status"]),
                         masks(["cat", "/proc/self/status"]))

    def test_stop_signals_stop_the_program_until_sigcont(self):
        for name in ("STOP", "TSTP"):
            # A group of its own, whose parent is in another group of the session: the kernel drops a
            # TSTP sent to an orphaned group, as it would be under a caller that runs without job control.
            with self.subTest(name), subprocess.Popen([tool("VUART"), "-q", "--", "sh", "-c",
                                                       f"echo $$; kill -{name} $$; echo resumed"],
                                                      stdout=subprocess.PIPE, process_group=0) as program:
                pid = program_pid(program.pid, int(program.stdout.readline()))
                time.sleep(0.3)
                with open(f"/proc/{pid}/stat") as stat:
                    self.assertIn(stat.read().rsplit(")", 1)[1].split()[0], ("T", "t"))
                os.kill(pid, signal.SIGCONT)
                self.assertEqual(program.stdout.readline(), b"resumed\n")
                self.assertEqual(program.wait(timeout=10), 0)

    def test_signals_to_vuart_reach_the_program(self):
        script = 'trap "echo got $0; exit 3" $0; echo ready; while :; do sleep 0.05; done'
        for name in ("TERM", "INT", "HUP", "QUIT", "USR1", "USR2"):
            with self.subTest(name):
                with subprocess.Popen([tool("VUART"), "-q", "--", "sh", "-c", script, name], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, start_new_session=True) as program:
                    self.assertEqual(program.stdout.readline(), b"ready\n")
                    program.send_signal(getattr(signal, "SIG" + name))
                    self.assertEqual(program.stdout.read(), f"got {name}\n".encode())
                    self.assertEqual(program.wait(timeout=10), 3)
        with subprocess.Popen([tool("VUART"), "--", "sh", "-c", "echo ready; exec sleep 30"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as program:
            self.assertEqual(program.stdout.readline(), b"ready\n")
            program.terminate()
            self.assertEqual(program.wait(timeout=10), 128 + signal.SIGTERM)
            self.assertIn(b"sh was killed by SIGTERM", program.stderr.read())

    def test_segv_state_follows_the_caller_other_threads_and_exec(self):
        def caller_ignores_segv():
            signal.signal(signal.SIGSEGV, signal.SIG_IGN)

        def shown(argv, **environment):
            done = subprocess.run(argv, env={**os.environ, **environment}, preexec_fn=caller_ignores_segv,
                                  capture_output=True, timeout=30)
            self.assertEqual(done.returncode, 0, done.stderr)
            return done.stdout.decode().splitlines()

        # The kernel's own state, without the port writes that on hardware change nothing.
        kernel = shown([tool("HOSTILE_FIXTURE"), "segv-followed"], HOSTILE_NO_PORTS="1")
        self.assertEqual(len(kernel), 5)
        self.assertEqual(shown([tool("VUART"), "-q", "--com1", "/dev/null", "--", tool("HOSTILE_FIXTURE"),
                                "segv-followed"]), kernel)

    def test_calls_at_their_edges_answer_as_without_vuart(self):
        def written(argv, **environment):
            with tempfile.TemporaryFile() as output:
                done = subprocess.run(argv, stdout=output, env={**os.environ, **environment}, timeout=60)
                output.seek(0)
                return done.returncode, output.read()

        native = written([tool("HOSTILE_FIXTURE"), "call-edges"], HOSTILE_NO_PORTS="1")
        self.assertIn(b"write-cut-short=", native[1])
        self.assertEqual(written([tool("VUART"), "-q", "--com1", "/dev/null", "--trace", "/dev/null", "--",
                                  tool("HOSTILE_FIXTURE"), "call-edges"]), native)

    def test_threads_ending_mid_instruction_are_no_error(self):
        for _ in range(2):
            result, _ = fixture("thread-churn")
            self.assertEqual(result.done.returncode, 0)
            for line in result.done.stderr.decode().splitlines():
                self.assertRegex(line, r"^vuart: hostile_fixture exited with status 0; ")


def kernel_seals_memory():
    return ctypes.CDLL(None, use_errno=True).syscall(462, 0, 0, 0) == 0  # mseal of nothing


# What a program that attacks vuart's sealed memory gets: what it gets for any sealed mapping.
SEALED_FOOTPRINT = ["map-over-code=-1/EPERM", "proc-mem-code=-1/EIO", "mprotect-code=-1/EACCES",
                    "munmap-data=-1/EPERM", "mremap-data=-1/EPERM", "fixed-over-data=-1/EPERM",
                    "noreplace-data=-1/EEXIST", "shmat-data=-1/EPERM", "madvise-data=0/-"]
# Each child takes the room for vuart's window away in its own way, then does port I/O.
CHILDREN = ["vdso=1/-", "munmap-vdso=0/-", "read-back=64/-", "rlimit-as=0/-", "read-back=64/-", "segv-ignored=0/-",
            "seccomp=0/-", "read-back=64/-", "dispatch=0/-", "read-back=64/-", "children: 0 0 0 0"]


# Runs a program under a seccomp filter of its own that allows everything, as a sandboxed program would be.
OWN_FILTER = ["python3", "-c", """
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
allow_all = ctypes.create_string_buffer(struct.pack("HBBI", 0x06, 0, 0, 0x7FFF0000))  # BPF_RET|BPF_K, ALLOW
program = struct.pack("HxxxxxxQ", 1, ctypes.addressof(allow_all))
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, ctypes.c_char_p(program), 0, 0):  # NO_NEW_PRIVS, SECCOMP
    sys.exit("seccomp: " + os.strerror(ctypes.get_errno()))
os.execv(sys.argv[1], sys.argv[1:])
"""]


class Footprint(unittest.TestCase):
    """vuart's memory in the program, attacked while another thread does port I/O; vuart with and without the
    sanitizers. The program's memory must end as its native run with memory operations for port ones leaves it."""

    def test_attacks_on_vuarts_memory_change_nothing_but_what_the_program_is_told(self):
        reference = run([tool("HOSTILE_FIXTURE"), "footprint-reference"]).stdout.decode().splitlines()
        line = bytes(ord("a") + n % 26 for n in range(64 * 1024))
        for vuart_binary in (tool("VUART"), tool("VUART_SANITIZED")):
            with self.subTest(vuart_binary), tempfile.NamedTemporaryFile() as com1:
                done = run([vuart_binary, "--trace", "/dev/null", "--com1", com1.name, "--",
                            tool("HOSTILE_FIXTURE"), "footprint"])
                lines = done.stdout.decode().splitlines()
                self.assertEqual(lines[-1], reference[-1])  # the memory's digest
                self.assertEqual(lines[:len(CHILDREN)], CHILDREN)
                if kernel_seals_memory():
                    self.assertEqual(lines[len(CHILDREN):-1], SEALED_FOOTPRINT)
                self.assertEqual(com1.read(), b"sent despite it\n" * 4 + line * 16 + line[:26])
                notes = done.stderr.decode().splitlines()
                self.assertEqual(done.returncode, 0, notes)
                refusals = [note for note in notes if "no room for vuart's transfer window" in note]
                self.assertEqual(len(refusals), 4, notes)  # once a child
                self.assertRegex(notes[-1], r"^vuart: hostile_fixture exited with status 0; ")

    def test_without_a_window_memory_acts_as_the_processor_has_it_act(self):
        """The port corpus through the window (the processor's own accesses) and, under a filter of its own, as a
        debugger reaches memory. Only the signal context differs, and a stack does not grow: the corpus's
        mapping that grows down, below 0x50800000, and the 8 bytes (of a fresh page: zeros) it sends from there."""
        def corpus(*argv):
            with tempfile.NamedTemporaryFile() as com1:
                done = run([tool("VUART"), "-q", "--com1", com1.name, "--", *argv, tool("PORT_CORPUS"), *case])
                lines = re.sub(r" (trapno|err|cr2)=[0-9a-f]+", "", done.stdout.decode()).splitlines()
                return done.returncode, lines, com1.read(), done.stderr.decode()

        for case in [[name] for name in ("in-out", "strings", "faults", "memory", "compat", "trap-flag", "addr32",
                                         "canonical", "requests", "exec-thread", "breakpoints")] + [["random", "1", "300"]]:
            with self.subTest(case[0]):
                status, window, window_com1, _ = corpus()
                direct_status, direct, direct_com1, notes = corpus(*OWN_FILTER)
                for note in notes.splitlines():  # one a process that makes string instructions, for that reason
                    self.assertIn("transfer window (its own seccomp filter might refuse vuart's calls)", note)
                self.assertEqual((direct_status, len(direct)), (status, len(window)))
                grown = [n for n, line in enumerate(direct) if re.search(r"addr=507f[0-9a-f]{4} ", line)
                         or line.startswith("grown:")]
                self.assertEqual([line for n, line in enumerate(direct) if n not in grown],
                                 [line for n, line in enumerate(window) if n not in grown])
                if case == ["memory"]:
                    at = next(n for n, (a, b) in enumerate(zip(window_com1, direct_com1)) if a != b)
                    self.assertEqual(window_com1[at:at + 8], bytes(8))
                    window_com1 = window_com1[:at] + window_com1[at + 8:]
                self.assertEqual(direct_com1, window_com1)

    def test_sigterm_ends_a_run_whose_thread_never_comes_back_from_vuarts_code(self):
        with subprocess.Popen([tool("VUART"), "--com1", "/dev/null", "--", tool("HOSTILE_FIXTURE"), "stuck-fault"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as program:
            self.assertEqual(program.stdout.readline(), b"ready\n")
            time.sleep(0.2)
            program.terminate()
            try:
                _, notes = program.communicate(timeout=10)
            finally:
                program.kill()  # a vuart that ignored SIGTERM
            self.assertEqual(program.returncode, 125)
            self.assertRegex(notes.decode(), r"^vuart: thread \d+ did not come back from vuart's code in it; ending")

    def test_writes_wait_for_a_snapshot_slot_and_the_area_limit_holds(self):
        with tempfile.NamedTemporaryFile() as trace, subprocess.Popen(
                [tool("VUART_SANITIZED"), "-q", "--trace", trace.name, "--com1", "/dev/null", "--",
                 tool("HOSTILE_FIXTURE"), "blocked-writes"], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as program:
            # Every writer blocks, on the full pipe or waiting for a slot, however loaded the machine.
            deadline = time.monotonic() + 30
            while writers_in_write() <= 512 and time.monotonic() < deadline:  # more than the slots
                time.sleep(0.05)
            written, notes = program.communicate(timeout=60)
            self.assertEqual((program.returncode, notes), (0, b"snapshot areas: 64\n"))
            writes = [json.loads(line) for line in trace]
            writes = [event for event in writes if event["event"] == "write" and event["fd"] == 1]
            self.assertTrue(all(event["snapshot"] for event in writes))
            recorded = b"".join(as_bytes(event["bytes"]) for event in writes)
            self.assertEqual(sorted(recorded), sorted(written))  # threads' writes interleave in the pipe


if __name__ == "__main__":
    unittest.main()
