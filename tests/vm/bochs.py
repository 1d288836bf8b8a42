"""Bochs, a second virtual machine monitor nobody here wrote: boots the cloud
kernel and an initramfs from an isolinux CD, unattended, with COM1 and COM2
going to files. Its UART sends at the line rate the guest set and drops what is
written to a full holding register, as the chip does. A boot takes about 40 s.
Power-off ends Bochs with status 1, so a run is judged by what it captured."""

import os
import shutil
import subprocess
import tempfile
import time

import vm

ISOLINUX = "/usr/lib/ISOLINUX/isolinux.bin"
LDLINUX = "/usr/lib/syslinux/modules/bios/ldlinux.c32"

# The Skylake-X model agrees with this processor's family on the rules the tests
# look at; without a clock sync the run is deterministic; rfb with no timeout is
# the one display that needs neither a terminal nor an X server.
BOCHSRC = """megs: 256
cpu: model=corei7_skylake_x, ips=50000000
clock: sync=none
romimage: file=/usr/share/bochs/BIOS-bochs-latest
vgaromimage: file=/usr/share/vgabios/vgabios.bin
ata0-master: type=cdrom, path={iso}, status=inserted
boot: cdrom
com1: enabled=1, mode=file, dev={com1}
com2: enabled=1, mode=file, dev={console}
display_library: rfb, options="timeout=0"
speaker: enabled=0
sound: waveoutdrv=dummy, waveindrv=dummy, midioutdrv=dummy
log: {log}
"""


def requirements():
    for program, package in (("bochs", "bochs"), ("xorriso", "xorriso")):
        if not shutil.which(program):
            raise vm.Unavailable(f"{program} is missing (package {package})")
    for path, package in ((ISOLINUX, "isolinux"), (LDLINUX, "syslinux-common"),
                          ("/usr/share/bochs/BIOS-bochs-latest", "bochsbios"),
                          ("/usr/share/vgabios/vgabios.bin", "vgabios")):
        if not os.path.exists(path):
            raise vm.Unavailable(f"{path} is missing (package {package})")
    return vm.kernel()


def boot_image(initramfs, append="console=ttyS1 quiet loglevel=1", timeout=600):
    """Boots the initramfs with the kernel's command line `append`; returns a vm.Boot."""
    kernel = requirements()
    with tempfile.TemporaryDirectory(prefix="bochs-") as scratch:
        tree = os.path.join(scratch, "iso")
        os.makedirs(os.path.join(tree, "isolinux"))
        for source, name in ((ISOLINUX, "isolinux/isolinux.bin"), (LDLINUX, "isolinux/ldlinux.c32"),
                             (kernel, "vmlinuz"), (initramfs, "initrd.gz")):
            shutil.copy(source, os.path.join(tree, name))
        with open(os.path.join(tree, "isolinux", "isolinux.cfg"), "w") as config:
            config.write(f"DEFAULT linux\nPROMPT 0\nLABEL linux\n  KERNEL /vmlinuz\n"
                         f"  APPEND initrd=/initrd.gz {append} panic=-1\n")
        iso = os.path.join(scratch, "boot.iso")
        subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-o", iso, "-b", "isolinux/isolinux.bin",
                        "-c", "isolinux/boot.cat", "-no-emul-boot", "-boot-load-size", "4", "-boot-info-table",
                        tree], check=True, capture_output=True)
        files = {name: os.path.join(scratch, name) for name in ("com1", "console", "log")}
        with open(os.path.join(scratch, "bochsrc"), "w") as bochsrc:
            bochsrc.write(BOCHSRC.format(iso=iso, **files))
        with open(os.path.join(scratch, "commands"), "w") as commands:
            commands.write("c\nq\n")  # the built-in debugger: continue, and quit once the machine is off
        started = time.monotonic()
        try:
            subprocess.run(["bochs", "-q", "-f", "bochsrc", "-rc", "commands"], cwd=scratch,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, check=False)
        except subprocess.TimeoutExpired:
            pass
        seconds = time.monotonic() - started
        captured = {}
        for name in ("com1", "console"):
            with open(files[name], "rb") if os.path.exists(files[name]) else open(os.devnull, "rb") as file:
                captured[name] = file.read()
    text = captured["console"].decode("latin-1").replace("\r", "")
    return vm.Boot(text, captured["com1"], seconds, "outsb-guest: done" in text)
