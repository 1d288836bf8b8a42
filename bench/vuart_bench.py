#!/usr/bin/env python3
"""Prints what vuart costs: the diagnostic's full run under vuart against its
refused run without it, and the throughput of port output through vuart.

Usage: bench/vuart_bench.py [BUILD_DIR]   (default: build)
"""

import os
import platform
import statistics
import subprocess
import sys
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
VUART = os.path.join(BUILD, "vuart", "vuart")
OUTSB = os.path.join(BUILD, "src", "outsb")
PORT_BENCH = os.path.join(BUILD, "bench", "port_bench")


def seconds(argv, repeats):
    """Median wall time of a command, its output discarded."""
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def summary(argv):
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True, text=True)
    return done.stderr.strip()


def main():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    print(f"machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}")

    under_vuart = [VUART, "-q", "--com1", "/dev/null", "--"]
    direct = seconds([OUTSB], 50)
    traced = seconds([*under_vuart, OUTSB], 50)
    print(f"outsb refused, run directly:      {direct * 1e3:8.2f} ms (median of 50)")
    print(f"outsb full run under vuart:       {traced * 1e3:8.2f} ms (median of 50)")

    for kind, size in (("rep", 64 << 20), ("loop", 200_000)):
        wall = seconds([*under_vuart, PORT_BENCH, kind, str(size)], 5)
        bare = seconds([VUART, "-q", "--com1", "/dev/null", "--", PORT_BENCH, kind, "0"], 5)
        rate = size / max(wall - bare, 1e-9)
        label = "one rep outsb" if kind == "rep" else "single-byte out loop"
        print(f"{label:<22} {size:>10} bytes: {wall:7.3f} s, {rate / 1e6:10.3f} MB/s"
              f" (less {bare * 1e3:.1f} ms start-up)")
        print(f"  {summary([VUART, '--com1', '/dev/null', '--', PORT_BENCH, kind, str(size)])}")


if __name__ == "__main__":
    main()
