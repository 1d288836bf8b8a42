"""Installation and the Debian package: where things go, the package's
metadata, and the installed programs doing their job from a scratch root."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from testlib import COM1_BYTES, PROGRESS_LINES, run

BUILD_DIR = os.environ["PROJECT_BINARY_DIR"]
VERSION = os.environ["PROJECT_VERSION"]


def check(argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, timeout=300, **kwargs).stdout


def run_installed(root):
    """The installed vuart running the installed outsb; returns (result, COM1 bytes)."""
    com1 = os.path.join(root, "com1")
    done = run([os.path.join(root, "usr/bin/vuart"), "--com1", com1, "--", os.path.join(root, "usr/sbin/outsb")])
    with open(com1, "rb") as received:
        return done, received.read()


class Install(unittest.TestCase):
    def test_cmake_install_layout(self):
        with tempfile.TemporaryDirectory() as root:
            check(["cmake", "--install", BUILD_DIR, "--prefix", os.path.join(root, "usr")])
            for path in ("usr/sbin/outsb", "usr/bin/vuart", "usr/bin/outsb-check"):
                self.assertTrue(os.access(os.path.join(root, path), os.X_OK), path)
            for path in ("usr/share/man/man8/outsb.8.gz", "usr/share/man/man1/vuart.1.gz",
                         "usr/share/man/man1/outsb-check.1.gz", "usr/lib/outsb/outsb-guest.cpio.gz",
                         "usr/share/doc/outsb/copyright", "usr/share/doc/outsb/changelog.gz"):
                self.assertTrue(os.path.isfile(os.path.join(root, path)), path)
            with gzip.open(os.path.join(root, "usr/share/man/man1/vuart.1.gz"), "rt") as page:
                self.assertRegex(page.readline(), rf'^\.TH VUART 1 \d{{4}}-\d\d-\d\d "outsb {VERSION}" ')
            # outsb(8) names the path the build installs outsb at.
            with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
                prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", cache.read(), re.M).group(1)
            with open(os.path.join(BUILD_DIR, "doc", "outsb.8")) as page:
                self.assertIn(f"setcap cap_sys_rawio+ep {prefix}/sbin/outsb", page.read())
            done, com1 = run_installed(root)
            self.assertEqual((done.returncode, done.stdout, com1), (0, PROGRESS_LINES, COM1_BYTES))


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        check(["cpack", "-G", "DEB", "-B", cls.scratch.name, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake")])
        cls.deb = os.path.join(cls.scratch.name, f"outsb_{VERSION}_amd64.deb")
        cls.debug_symbols = os.path.join(cls.scratch.name, f"outsb-dbgsym_{VERSION}_amd64.deb")

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def field(self, name):
        return check(["dpkg-deb", "--field", self.deb, name]).decode().strip()

    def test_metadata(self):
        self.assertEqual(self.field("Package"), "outsb")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), check(["dpkg", "--print-architecture"]).decode().strip())
        depends = {entry.split()[0] for entry in self.field("Depends").split(", ")}
        self.assertIn("libc6", depends)
        self.assertIn("libstdc++6", depends)  # vuart's; the static diagnostic adds none
        self.assertFalse({"musl", "libclang-rt-14-dev"} & depends)

    def test_grants_no_capability(self):
        control = os.path.join(self.scratch.name, "control")
        check(["dpkg-deb", "--control", self.deb, control])
        self.assertEqual(sorted(os.listdir(control)), ["control", "md5sums"])  # no maintainer scripts
        listing = check(["dpkg-deb", "--contents", self.deb]).decode()
        self.assertIn("-rwxr-xr-x root/root", next(line for line in listing.splitlines() if "usr/sbin/outsb" in line))

    @unittest.skipUnless(shutil.which("lintian"), "lintian is not installed")
    def test_lintian_finds_nothing(self):
        done = subprocess.run(["lintian", "--fail-on", "none", self.deb, self.debug_symbols], capture_output=True,
                              timeout=600)
        findings = [line for line in done.stdout.decode().splitlines() if re.match(r"^[EWXO]: ", line)]
        self.assertEqual(findings, [])

    def test_debug_symbols_match_the_stripped_programs(self):
        root = os.path.join(self.scratch.name, "debug-root")
        check(["dpkg", "-x", self.deb, root])
        check(["dpkg", "-x", self.debug_symbols, root])
        for program in ("usr/sbin/outsb", "usr/bin/vuart", "usr/bin/outsb-check"):
            path = os.path.join(root, program)
            self.assertNotIn(b".debug_info", check(["readelf", "-S", path]), program)
            build_id = re.search(rb"Build ID: ([0-9a-f]+)", check(["readelf", "-n", path])).group(1).decode()
            symbols = os.path.join(root, "usr/lib/debug/.build-id", build_id[:2], build_id[2:] + ".debug")
            self.assertIn(b".debug_info", check(["readelf", "-S", symbols]), program)

    def test_installed_programs_work(self):
        root = os.path.join(self.scratch.name, "root")
        check(["dpkg", "-x", self.deb, root])
        done, com1 = run_installed(root)
        self.assertEqual((done.returncode, done.stdout, com1), (0, PROGRESS_LINES, COM1_BYTES))
        version = check([os.path.join(root, "usr/bin/vuart"), "--version"]).decode()
        self.assertEqual(version, f"vuart {VERSION}\n")
        checked = subprocess.run([os.path.join(root, "usr/bin/outsb-check")], input=com1, capture_output=True,
                                 timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stdout)


if __name__ == "__main__":
    unittest.main()
