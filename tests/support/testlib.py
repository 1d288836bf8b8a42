"""Helpers shared by the black-box tests: paths handed over by ctest, the
expected failure report, and a reader for strace logs."""

import functools
import json
import os
import re
import subprocess
import tempfile
from dataclasses import dataclass, field

SOURCE_DIR = os.environ["PROJECT_SOURCE_DIR"]

# What `hostile_fixture escape` gets as root under vuart, in namespaces of its own, run from /dev with the
# trace on and standard output a file (kernels without modules have no modprobe: ENOENT there).
ESCAPE_REFUSED = {"open-ttyS0": "-1/ENOENT", "open-ttyS0-here": "-1/ENOENT", "mknod": "-1/EPERM",
                  "umount-dev": "-1/EPERM", "open-ttyS0-again": "-1/ENOENT", "remount-proc-sys": "-1/EPERM",                   "/sys/bus/cpu/drivers_autoprobe": "-1/EROFS",
                  "/proc/sys/kernel/core_pattern": "-1/EROFS", "seize-pid-1": "-1/EPERM", "write here": "-1/EROFS",
                  "clock_settime": "-1/EPERM", "syslog-console-level": "-1/EPERM", "io_uring_setup": "-1/ENOSYS",
                  "io_setup": "-1/ENOSYS", "mmap-shared-stdout": "-1/EACCES", "ficlone-stdout": "-1/EOPNOTSUPP",
                  "sendmsg": "-1/ENOTSOCK", "sendto": "-1/ENOTSOCK", "openpty": "0/-"}
# The capabilities' names, by number, as the kernel's header defines them.
with open("/usr/include/linux/capability.h", encoding="utf-8") as header:
    CAPABILITIES = dict((int(number), name) for name, number in
                        re.findall(r"^#define CAP_(\w+)\s+(\d+)$", header.read(), re.M) if name != "LAST_CAP")


def contained_root_table():
    """vuart(1)'s ROOT CONTAINED table, {first word of the entry: [what its rows name]}: places that are
    "read-only" or "writable", capabilities "dropped" or "kept"."""
    with open(os.path.join(SOURCE_DIR, "man", "vuart.1.in"), encoding="utf-8") as page:
        section = page.read().replace("\\-", "-").split(".SH ROOT CONTAINED\n", 1)[1].split("\n.PP\n", 1)[0]
    table = {}
    for row in section.split(".TP\n")[1:]:
        names, text = row.split("\n", 1)
        table.setdefault(text.split()[0].rstrip(":,"), []).extend(
            name.strip() for name in names.removeprefix(".B ").split(","))
    return table


def bounding_set():
    """The capability bounding set of this process, as a number."""
    with open("/proc/self/status", encoding="utf-8") as status:
        return int(re.search(r"^CapBnd:\s*(\w+)$", status.read(), re.M).group(1), 16)


def check_contained(test, output, bounding):
    """Checks `hostile_fixture escape`'s findings against ESCAPE_REFUSED and vuart(1)'s table; `bounding`:
    the capabilities vuart's caller had."""
    found = dict(line.split("=", 1) for line in output.splitlines() if "=" in line)
    for name, refused in ESCAPE_REFUSED.items():
        test.assertEqual((name, found.get(name)), (name, refused))
    for name in ("/proc/sys/kernel/modprobe", "/proc/sysrq-trigger"):  # where the kernel has them
        test.assertIn(found[name], ("-1/EROFS", "-1/ENOENT"))
    test.assertIn("\nprocesses in sight: 1\n", output)
    table = contained_root_table()
    expected_places = {place: "-1/EROFS" for place in table["read-only"]}
    expected_places.update({place: "0/-" for place in table["writable"] if place.startswith("/")})
    places = {name.removeprefix("write "): result for name, result in found.items()
              if name.startswith("write /")}
    test.assertTrue(places and places.items() <= expected_places.items(), places)
    helpers = {name: result for name, result in found.items() if name.startswith("helper ")}
    test.assertEqual(set(helpers.values()), {"-1/EROFS"}, helpers)
    kept = re.search(r"^capabilities kept:(.*)$", output, re.M).group(1).split()
    named = [capability.removeprefix("CAP_") for capability in table["kept"]]
    test.assertEqual([CAPABILITIES[int(number)] for number in kept],
                     [name for number, name in sorted(CAPABILITIES.items()) if name in named and bounding >> number & 1])
    test.assertEqual(sorted(named + [capability.removeprefix("CAP_") for capability in table["dropped"]]),
                     sorted(CAPABILITIES.values()))



@functools.cache
def host_abilities():
    """What this machine runs, as {"i386": bool, "breakpoints": bool}: some virtual
    machines' kernels run no 32-bit code and never trap on debug registers, and the
    tests of those skip there (QEMU and Bochs still run them)."""
    probed = subprocess.run([tool("HOSTILE_FIXTURE"), "host-abilities"], capture_output=True, text=True, check=True)
    return {name: value == "yes" for name, value in (line.split() for line in probed.stdout.splitlines())}


def tool(name):
    """Path of a built executable, passed in by ctest as an environment variable."""
    return os.environ[name]


def line_of(needle, relative_path="src/outsb.cpp"):
    """1-based number of the only line of a project source containing needle."""
    with open(os.path.join(SOURCE_DIR, relative_path), encoding="utf-8") as source:
        hits = [n for n, text in enumerate(source, 1) if needle in text]
    if len(hits) != 1:
        raise AssertionError(f"{needle!r} appears on lines {hits} of {relative_path}")
    return hits[0]


def expected_report():
    """The assertion report the program writes when port access is refused, as its documentation promises."""
    return b"Assertion failed: !err (src/outsb.cpp: main: 29)\n"


def com1_constant(name):
    """A string the programs share through src/com1_bytes.h, as bytes."""
    with open(os.path.join(SOURCE_DIR, "src/com1_bytes.h"), encoding="utf-8") as header:
        literal = re.search(rf'constexpr char {name}\[\] = "((?:[^"\\]|\\.)*)";', header.read()).group(1)
    return literal.encode("latin-1").decode("unicode_escape").encode("latin-1")


PROGRESS_LINES = b"init\nattempting outb\nattempting outb\nattempting outsb\n"
LINE = com1_constant("line")
COM1_BYTES = b"hello" + LINE * 11
# The guest's lines around its root run.
BEGIN_MARKER, END_MARKER = com1_constant("begin_marker") + b"\n", com1_constant("end_marker") + b"\n"


def is_running(pid):
    """Whether the process exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError):  # gone between the open and the read, too
        return False


def program_pid(vuart_pid, own_pid=None, name=None):
    """The pid here of the program that vuart runs and that knows itself as own_pid
    (run as root, the program has a PID namespace of its own), or whose name is `name`."""
    def ancestors(pid):
        while pid > 1:
            with open(f"/proc/{pid}/status") as status:
                pid = int(next(line for line in status if line.startswith("PPid:")).split()[1])
            yield pid

    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/status") as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
            known = fields["NSpid"].split()[-1] == str(own_pid) or fields["Name"].strip() == (name or "")[:15]
            if known and vuart_pid in ancestors(int(entry)):
                return int(entry)
        except (OSError, KeyError):
            continue  # it ended meanwhile
    raise LookupError(f"no process of vuart {vuart_pid} knows itself as {own_pid or name}")


def run(argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=60, **kwargs)


@dataclass
class Syscall:
    name: str
    args: str
    result: str
    strings: list = field(default_factory=list)  # every quoted string argument, decoded

    @property
    def fd(self):
        return int(self.args.split(",", 1)[0])


@dataclass
class StraceLog:
    calls: list
    ending: str  # "+++ exited with N +++" or "+++ killed by SIG... +++"

    def index(self, name):
        return next(i for i, call in enumerate(self.calls) if call.name == name)


_CALL = re.compile(r"^(?:\d+ +)?(\w+)\((.*)\) += (.*)$")
_STRING = re.compile(r'"((?:\\x[0-9a-f]{2})*)"')


def strace(argv, **kwargs):
    """Runs argv under strace and returns (completed process, StraceLog)."""
    with tempfile.NamedTemporaryFile(prefix="strace-", suffix=".log") as log:
        done = run(["strace", "-f", "-qq", "-xx", "-s", "4096", "-o", log.name, *argv], **kwargs)
        text = log.read().decode()
    calls, ending = [], ""
    for line in text.splitlines():
        line = re.sub(r"^\d+ +", "", line)
        if line.startswith("+++"):
            ending = line
            continue
        match = _CALL.match(line)
        if match:
            strings = [bytes.fromhex(s.replace("\\x", "")) for s in _STRING.findall(match.group(2))]
            calls.append(Syscall(match.group(1), match.group(2), match.group(3), strings))
    return done, StraceLog(calls, ending)


@dataclass
class VuartRun:
    done: subprocess.CompletedProcess
    events: list  # the trace, one dict per event
    com1: bytes

    def of(self, kind):
        return [event for event in self.events if event["event"] == kind]

    def ports(self):
        return self.of("port")

    def exit(self):
        (ending,) = self.of("exit")
        return ending

    def program_stderr(self):
        """Standard error less vuart's own lines."""
        return b"".join(line for line in self.done.stderr.splitlines(keepends=True)
                        if not line.startswith(b"vuart: "))


def as_bytes(json_string):
    """Trace strings carry one byte per code point."""
    return json_string.encode("latin-1")


def vuart(program_argv, *options, **kwargs):
    """Runs program_argv under vuart with a trace and COM1 in files."""
    with tempfile.TemporaryDirectory(prefix="vuart-") as scratch:
        trace, com1 = os.path.join(scratch, "trace"), os.path.join(scratch, "com1")
        done = run([tool("VUART"), "--trace", trace, "--com1", com1, *options, "--", *program_argv], **kwargs)
        with open(trace, encoding="utf-8") as lines:
            events = [json.loads(line) for line in lines]
        with open(com1, "rb") as received:
            return VuartRun(done, events, received.read())
