"""Boots a QEMU virtual machine with Debian's kernel, and collects what the
guest printed on its console and what reached COM1.

`boot` runs static programs under busybox: the guest's init runs a shell
script whose `step NAME COMMAND...` function runs a command and reports its
status, standard output and standard error on the console (the second serial
port), one line each, for `steps()` to parse. `boot_image` boots an initramfs
as it is, such as the project's guest image, on one of several machine types.
COM1, the port the programs write to, is captured to a file of its own; on a
machine with one serial port it is the console too.
"""

import ast
import glob
import gzip
import os
import shutil
import subprocess
import re
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass

SKIP = 77  # ctest's SKIP_RETURN_CODE for the VM tests

INIT_PROLOGUE = """#!/bin/sh
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
step() {
  name=$1; shift
  # The inner shell execs the command, so no shell's "Aborted" notice lands in its stderr.
  sh -c 'exec "$@" >/tmp/stdout 2>/tmp/stderr' step "$@" 2>/dev/null
  status=$?
  echo "@@step $name status $status"
  echo "@@step $name stdout $(od -An -tx1 -v /tmp/stdout | tr -d ' \\n')"
  echo "@@step $name stderr $(od -An -tx1 -v /tmp/stderr | tr -d ' \\n')"
}
"""
INIT_EPILOGUE = """
echo "@@done"
# Power-off cuts off what the serial driver has not sent: wait until its counts stop moving.
sent=""
while now=$(cat /proc/tty/driver/serial); [ "$now" != "$sent" ]; do sent=$now; sleep 0.1; done
poweroff -f
"""

PASSWD = "root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n"
GROUP = "root:x:0:\nnogroup:x:65534:\n"


def main(busybox=False):
    """Runs the calling test script, or reports it skipped where the VM's packages are missing."""
    try:
        requirements(busybox)
    except Unavailable as missing:
        print(f"skipped: {missing}")
        sys.exit(SKIP)
    unittest.main(module="__main__")


class Unavailable(Exception):
    """What the VM needs is not on this machine."""


@dataclass
class Step:
    status: int
    stdout: bytes
    stderr: bytes


@dataclass
class Boot:
    console: str
    com1: bytes
    seconds: float
    finished: bool  # the init script got to its end

    def guest_runs(self):
        """The guest image's report: {name: Step} from its "outsb-guest: NAME ..." lines."""
        found = {}
        for line in self.console.splitlines():
            match = re.match(r'^outsb-guest: (\w+)(?:: (exited with status|killed by signal) (\d+)| (stdout|stderr): (".*"))$',
                             line.strip())
            if not match:
                continue
            step = found.setdefault(match.group(1), Step(-1, b"", b""))
            if match.group(2):
                step.status = int(match.group(3)) + (128 if match.group(2).startswith("killed") else 0)
            else:
                setattr(step, match.group(4), ast.literal_eval("b" + match.group(5)))
        return found

    def steps(self):
        found = {}
        for line in self.console.splitlines():
            parts = line.strip().split(" ", 3)
            if len(parts) < 3 or parts[0] != "@@step":
                continue
            name, field = parts[1], parts[2]
            value = parts[3] if len(parts) > 3 else ""
            step = found.setdefault(name, Step(-1, b"", b""))
            if field == "status":
                step.status = int(value)
            else:
                setattr(step, field, bytes.fromhex(value))
        return found


def kernel():
    kernels = sorted(glob.glob("/boot/vmlinuz-*-cloud-amd64"))
    if not kernels or not os.access(kernels[-1], os.R_OK):
        raise Unavailable("no readable /boot/vmlinuz-*-cloud-amd64 (package linux-image-cloud-amd64)")
    return kernels[-1]


def requirements(busybox=False):
    for program, package in (("qemu-system-x86_64", "qemu-system-x86"), ("cpio", "cpio")):
        if not shutil.which(program):
            raise Unavailable(f"{program} is missing (package {package})")
    if busybox and not os.path.exists("/bin/busybox"):
        raise Unavailable("/bin/busybox is missing (package busybox-static)")
    return kernel()


def with_libraries(programs):
    """programs, and the shared libraries and loader that ldd finds they need, at their own paths."""
    complete = dict(programs)
    for source in programs.values():
        listing = subprocess.run(["ldd", source], capture_output=True, text=True).stdout
        for library in re.findall(r"(/\S+) \(0x", listing):
            complete[library.lstrip("/")] = library
    return complete


def build_initramfs(destination, programs, script):
    """programs: {name in the guest's root: host path}. Writes a gzip'd newc cpio."""
    requirements(busybox=True)
    with tempfile.TemporaryDirectory(prefix="initramfs-") as root:
        os.makedirs(os.path.join(root, "bin"))
        os.makedirs(os.path.join(root, "etc"))
        shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
        os.symlink("busybox", os.path.join(root, "bin", "sh"))
        for name, source in programs.items():
            target = os.path.join(root, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy(source, target)
            os.chmod(target, 0o755)
        for name, text in (("etc/passwd", PASSWD), ("etc/group", GROUP)):
            with open(os.path.join(root, name), "w") as file:
                file.write(text)
        init = os.path.join(root, "init")
        with open(init, "w") as file:
            file.write(INIT_PROLOGUE + script + INIT_EPILOGUE)
        os.chmod(init, 0o755)
        listing = subprocess.run(["find", ".", "-mindepth", "1"], cwd=root, check=True,
                                 capture_output=True).stdout
        archive = subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=root, input=listing,
                                 check=True, capture_output=True).stdout
    with gzip.open(destination, "wb") as file:
        file.write(archive)


def boot(programs, script, timeout=180, cpu=None):
    """Boots busybox with the programs and script; returns what it printed and sent.
    cpu: QEMU's -cpu model, when not its default."""
    with tempfile.TemporaryDirectory(prefix="vm-") as scratch:
        initramfs = os.path.join(scratch, "initramfs.cpio.gz")
        build_initramfs(initramfs, programs, script)
        booted = boot_image(initramfs, timeout=timeout, cpu=cpu)
    booted.finished = "@@done" in booted.console
    return booted


# Machine types: (QEMU's name, serial ports, the kernel's command line). microvm has
# no HPET or ACPI timer to check the TSC against; under TCG the kernel's quick
# calibration against the PIT sometimes fails, and then boot hangs (about one
# boot in ten here), so it is given the TSC's rate instead.
MACHINES = {"pc": ("pc", 2, "console=ttyS1 quiet loglevel=1"),
            "q35": ("q35", 2, "console=ttyS1 quiet loglevel=1"),
            "microvm": ("microvm", 1, "console=ttyS0 quiet loglevel=0 tsc_early_khz=2000000")}


def qemu_command(machine, kernel_image, initramfs, serial_files, cpu=None):
    """The QEMU command line that boots the initramfs with COM1 (and COM2) going to files."""
    name, ports, console = MACHINES[machine]
    accel = os.environ.get("VM_ACCEL", "tcg")  # KVM may hang on some hosts
    command = ["qemu-system-x86_64", "-M", name, "-accel", accel, "-m", "256", "-display", "none",
               "-monitor", "none", "-no-reboot", "-nic", "none"] + (["-cpu", cpu] if cpu else [])
    for index, path in enumerate(serial_files[:ports]):
        command += ["-chardev", f"file,id=serial{index},path={path}", "-serial", f"chardev:serial{index}"]
    return command + ["-kernel", kernel_image, "-initrd", initramfs, "-append", f"{console} panic=-1"]


def boot_image(initramfs, machine="pc", timeout=180, cpu=None):
    """Boots an initramfs as it is; returns the console, COM1's bytes and the time to power-off."""
    vmlinuz = requirements()
    with tempfile.TemporaryDirectory(prefix="vm-") as scratch:
        com1, console = os.path.join(scratch, "com1"), os.path.join(scratch, "console")
        command = qemu_command(machine, vmlinuz, initramfs, [com1, console], cpu)
        started = time.monotonic()
        try:
            subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, check=False)
        except subprocess.TimeoutExpired:
            pass
        seconds = time.monotonic() - started
        with open(com1, "rb") as file:
            received = file.read()
        if MACHINES[machine][1] > 1:
            with open(console, "rb") as file:
                text = file.read().decode("latin-1").replace("\r", "")
        else:
            text = received.decode("latin-1").replace("\r", "")
    return Boot(text, received, seconds, "outsb-guest: done" in text)
