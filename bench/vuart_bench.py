#!/usr/bin/env python3
"""Prints what vuart costs, side by side in one run: the diagnostic's run, the
cost of one port instruction against the floor of a ptrace design and against
strace's cost per traced system call (and QEMU's, where it is installed), the
throughput of one large rep outsb, the program's own writes, and vuart's peak
memory for large transfers.

Usage: bench/vuart_bench.py [BUILD_DIR] [--against OTHER_BUILD_DIR]   (default: build)
With --against, the costs per port instruction of both builds are measured in
turns, round after round, so that the machine's drift falls on both alike.
"""

import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

ARGUMENTS = sys.argv[1:]
OTHER = ARGUMENTS[ARGUMENTS.index("--against") + 1] if "--against" in ARGUMENTS else None
BUILD = next((argument for argument in ARGUMENTS if argument not in ("--against", OTHER)), "build")
VUART = os.path.join(BUILD, "vuart", "vuart")
OUTSB = os.path.join(BUILD, "src", "outsb")
PORT_BENCH = os.path.join(BUILD, "bench", "port_bench")
FLOOR = os.path.join(BUILD, "bench", "floor_tracer")
UNDER_VUART = [VUART, "-q", "--com1", "/dev/null", "--"]
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
sys.path[:0] = [os.path.join(TESTS, "support"), os.path.join(TESTS, "vm")]
from measure import peak_memory_mib  # noqa: E402 (the tests' own measure)
OUTS = 20_000


def seconds(argv, repeats=5):
    """Median wall time of a command, its output discarded."""
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def per_unit(make_argv, count, repeats=5):
    """Seconds per unit: COUNT units less none, so start-up does not count."""
    return (seconds(make_argv(count), repeats) - seconds(make_argv(0), repeats)) / count


def in_turns(measures, rounds=7):
    """Medians of measures taken one after the other, round after round."""
    taken = [[] for _ in measures]
    for _ in range(rounds):
        for results, measure in zip(taken, measures):
            results.append(measure())
    return [statistics.median(results) for results in taken]


def peak_memory(argv):
    return peak_memory_mib(argv)[1]


def qemu_per_out(count):
    """Seconds per single-byte out in the project's QEMU VM (TCG), net of the boot."""
    import vm  # only where QEMU is wanted
    try:
        vm.requirements(busybox=True)
    except vm.Unavailable:
        return None
    script = (f"step loop time /port_bench loop {count}\n"
              "step none time /port_bench loop 0\n")
    steps = vm.boot({"port_bench": PORT_BENCH}, script).steps()

    def real(step):
        match = re.search(rb"real\s+(\d+)m\s*([\d.]+)s", step.stderr)
        return int(match.group(1)) * 60 + float(match.group(2))

    return (real(steps["loop"]) - real(steps["none"])) / count


def main():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    print(f"machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}")
    rows = []

    def row(name, value):
        rows.append((name, value))
        print(f"  {name:<58} {value}", flush=True)

    row("outsb refused, run directly", f"{seconds([OUTSB], 50) * 1e3:.2f} ms")
    row("outsb full run under vuart (16 port instructions)", f"{seconds([*UNDER_VUART, OUTSB], 50) * 1e3:.2f} ms")
    if os.geteuid() == 0:
        contained, shared = in_turns([lambda: seconds([*UNDER_VUART, "/bin/true"], 50),
                                      lambda: seconds([VUART, "-q", "--uncontained", "--", "/bin/true"], 50)])
        row("a root program's sandbox at start (contained less uncontained)", f"{(contained - shared) * 1e3:.2f} ms")

    floor = per_unit(lambda n: [FLOOR, PORT_BENCH, "unchecked", str(n)], OUTS)
    ours = per_unit(lambda n: [*UNDER_VUART, PORT_BENCH, "loop", str(n)], OUTS)
    pinned = ["taskset", "-c", "0"]
    floor_pinned = per_unit(lambda n: [*pinned, FLOOR, PORT_BENCH, "unchecked", str(n)], OUTS)
    ours_pinned = per_unit(lambda n: [*pinned, *UNDER_VUART, PORT_BENCH, "loop", str(n)], OUTS)
    row("single-byte out: the floor (wait, get/set registers, resume)", f"{floor * 1e6:.1f} us")
    row("single-byte out: vuart", f"{ours * 1e6:.1f} us ({ours / floor:.2f}x the floor)")
    plain, handled = in_turns([lambda: per_unit(lambda n: [*UNDER_VUART, PORT_BENCH, "loop", str(n)], OUTS, 3),
                               lambda: per_unit(lambda n: [*UNDER_VUART, PORT_BENCH, "handled", str(n)], OUTS, 3)], 5)
    row("single-byte out from a program with a SIGSEGV handler",
        f"{handled * 1e6:.1f} us ({handled / plain:.2f}x the plain one, in turns)")
    row("single-byte out, tracer and program on one CPU: the floor", f"{floor_pinned * 1e6:.1f} us")
    row("single-byte out, tracer and program on one CPU: vuart",
        f"{ours_pinned * 1e6:.1f} us ({ours_pinned / floor_pinned:.2f}x the floor)")
    if shutil.which("strace"):
        strace = per_unit(lambda n: ["strace", "-f", "-qq", "--seccomp-bpf", "-e", "trace=getppid", "-o", "/dev/null",
                                     PORT_BENCH, "syscalls", str(n)], OUTS)
        row("strace, one traced system call (two stops)", f"{strace * 1e6:.1f} us")
        row("vuart's single-byte out against strace's traced call", f"{ours / strace:.2f}x")
    qemu = qemu_per_out(200_000)
    if qemu is not None:
        row("single-byte out in the QEMU VM (TCG), net of the boot", f"{qemu * 1e6:.2f} us")

    crowded = subprocess.run([*UNDER_VUART, PORT_BENCH, "crowded", "16"], capture_output=True, timeout=600, check=True)
    median_wait, longest_wait = crowded.stdout.split()
    row("a stop (ioperm) while 16 threads loop on out: median / longest",
        f"{int(median_wait)} us / {int(longest_wait)} us")
    processes = 200
    first = (seconds([*UNDER_VUART, PORT_BENCH, "fresh-rep", str(processes)], 5) -
             seconds([*UNDER_VUART, PORT_BENCH, "fresh-out", str(processes)], 5)) / processes
    row("a process's first rep outsb beyond an out (maps its window)", f"{first * 1e6:.0f} us")
    if OTHER:
        other = [os.path.join(OTHER, "vuart", "vuart"), "-q", "--com1", "/dev/null", "--"]
        this_out, other_out, this_rep, other_rep = in_turns([
            lambda: per_unit(lambda n: [*UNDER_VUART, PORT_BENCH, "loop", str(n)], OUTS, 3),
            lambda: per_unit(lambda n: [*other, PORT_BENCH, "loop", str(n)], OUTS, 3),
            lambda: seconds([*UNDER_VUART, PORT_BENCH, "fresh-rep", str(processes)], 1) / processes,
            lambda: seconds([*other, PORT_BENCH, "fresh-rep", str(processes)], 1) / processes])
        row(f"single-byte out, in turns: this build / {OTHER}",
            f"{this_out * 1e6:.1f} us / {other_out * 1e6:.1f} us ({this_out / other_out:.3f}x)")
        row(f"a process that sends a byte with rep outsb, in turns: this build / {OTHER}",
            f"{this_rep * 1e6:.0f} us / {other_rep * 1e6:.0f} us")

    size = 64 << 20
    wall = seconds([*UNDER_VUART, PORT_BENCH, "rep", str(size)], 3) - seconds([*UNDER_VUART, PORT_BENCH, "rep", "0"], 3)
    row("one rep outsb of 64 MiB under vuart", f"{wall:.2f} s, {size / wall / 1e6:.0f} MB/s")
    size = 16 << 20
    rep_out, rep_in = in_turns([lambda: seconds([*UNDER_VUART, PORT_BENCH, "rep", str(size)], 3),
                                lambda: seconds([*UNDER_VUART, PORT_BENCH, "rep-in", str(size)], 3)])
    row("one rep insb of 16 MiB against one rep outsb, in turns",
        f"{size / rep_in / 1e6:.0f} MB/s against {size / rep_out / 1e6:.0f} MB/s ({rep_in / rep_out:.2f}x the time)")

    writes = 50_000
    direct = per_unit(lambda n: [PORT_BENCH, "writes", str(n)], writes)
    plain = per_unit(lambda n: [*UNDER_VUART, PORT_BENCH, "writes", str(n)], writes)
    traced = per_unit(lambda n: [VUART, "-q", "--com1", "/dev/null", "--trace", "/dev/null", "--", PORT_BENCH,
                                 "writes", str(n)], writes, 3)
    row("one-byte write to standard output, directly", f"{direct * 1e6:.2f} us")
    row("  under vuart", f"{plain * 1e6:.2f} us ({plain / direct:.2f}x)")
    row("  under vuart with --trace", f"{traced * 1e6:.2f} us ({traced / direct:.2f}x)")

    size = 64 << 20
    for mode, how in (("write", "from snapshots"), ("filtered-write", "read as it returns")):
        traced_write = seconds([VUART, "-q", "--com1", "/dev/null", "--trace", "/dev/null", "--", PORT_BENCH, mode,
                                str(size)], 3)
        row(f"one 64 MiB write with --trace, {how}", f"{traced_write:.2f} s")

    row("vuart's peak memory, one 1 GiB rep outsb",
        f"{peak_memory([*UNDER_VUART, PORT_BENCH, 'rep', str(1 << 30)]):.0f} MiB")
    row("vuart's peak memory, one 256 MiB rep outsb with --trace",
        f"{peak_memory([VUART, '-q', '--com1', '/dev/null', '--trace', '/dev/null', '--', PORT_BENCH, 'rep', str(256 << 20)]):.0f} MiB")
    row("vuart's peak memory, one 256 MiB write with --trace",
        f"{peak_memory([VUART, '-q', '--com1', '/dev/null', '--trace', '/dev/null', '--', PORT_BENCH, 'write', str(256 << 20)]):.0f} MiB")


if __name__ == "__main__":
    main()
