"""Measures of a running process that the tests and the benchmark share."""

import re
import subprocess
import time


def peak_memory_mib(argv):
    """Runs argv; returns its exit status and its own peak resident size (VmHWM) in MiB, sampled until it exits."""
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        try:
            with open(f"/proc/{process.pid}/status") as status:
                match = re.search(r"VmHWM:\s+(\d+) kB", status.read())
                peak = max(peak, int(match.group(1)) if match else 0)
        except (FileNotFoundError, ProcessLookupError):
            break
        time.sleep(0.01)
    return process.wait(), peak / 1024
