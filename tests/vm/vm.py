"""Boots static programs in a QEMU virtual machine with Debian's kernel and
busybox, and collects what they printed and what reached COM1.

The guest's init runs a shell script. Its `step NAME COMMAND...` function runs a
command and reports its status, standard output and standard error on the
console (the second serial port), one line each, for `steps()` to parse. COM1,
the port the programs write to, is captured to a file of its own.
"""

import glob
import gzip
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass

SKIP = 77  # ctest's SKIP_RETURN_CODE for the VM tests

INIT_PROLOGUE = """#!/bin/sh
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t devtmpfs dev /dev
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
poweroff -f
"""

PASSWD = "root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n"
GROUP = "root:x:0:\nnogroup:x:65534:\n"


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


def requirements():
    for program, package in (("qemu-system-x86_64", "qemu-system-x86"), ("cpio", "cpio")):
        if not shutil.which(program):
            raise Unavailable(f"{program} is missing (package {package})")
    if not os.path.exists("/bin/busybox"):
        raise Unavailable("/bin/busybox is missing (package busybox-static)")
    return kernel()


def build_initramfs(destination, programs, script):
    """programs: {name in the guest's root: host path}. Writes a gzip'd newc cpio."""
    with tempfile.TemporaryDirectory(prefix="initramfs-") as root:
        os.makedirs(os.path.join(root, "bin"))
        os.makedirs(os.path.join(root, "etc"))
        shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
        os.symlink("busybox", os.path.join(root, "bin", "sh"))
        for name, source in programs.items():
            target = os.path.join(root, name)
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


def boot(programs, script, timeout=180):
    """Boots the guest with the programs and script; returns what it printed and sent."""
    vmlinuz = requirements()
    accel = os.environ.get("VM_ACCEL", "tcg")  # KVM may hang on some hosts
    with tempfile.TemporaryDirectory(prefix="vm-") as scratch:
        initramfs = os.path.join(scratch, "initramfs.cpio.gz")
        com1 = os.path.join(scratch, "com1")
        console = os.path.join(scratch, "console")
        build_initramfs(initramfs, programs, script)
        command = [
            "qemu-system-x86_64", "-accel", accel, "-m", "256", "-display", "none", "-monitor", "none",
            "-no-reboot", "-nic", "none",
            "-chardev", f"file,id=com1,path={com1}", "-serial", "chardev:com1",
            "-chardev", f"file,id=console,path={console}", "-serial", "chardev:console",
            "-kernel", vmlinuz, "-initrd", initramfs,
            "-append", "console=ttyS1 quiet loglevel=1 panic=-1",
        ]
        started = time.monotonic()
        try:
            subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, check=False)
        except subprocess.TimeoutExpired:
            pass
        seconds = time.monotonic() - started
        with open(console, "rb") as file:
            text = file.read().decode("latin-1").replace("\r", "")
        with open(com1, "rb") as file:
            received = file.read()
    return Boot(text, received, seconds, "@@done" in text)
