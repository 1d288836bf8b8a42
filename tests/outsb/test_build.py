"""Properties of the build itself: a static executable without loader, debug
information naming the source by its project path, sanitizer checks that
abort, and byte-identical results from different build directories."""

import os
import signal
import subprocess
import tempfile
import unittest

from testlib import SOURCE_DIR, line_of, run, tool


def output(argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


class BuildProperties(unittest.TestCase):
    def test_static_without_interpreter(self):
        for binary in ("OUTSB", "SIGNED_OVERFLOW"):
            with self.subTest(binary):
                headers = output(["readelf", "--file-header", "--program-headers", "--wide", tool(binary)])
                self.assertIn("EXEC (Executable file)", headers)
                self.assertNotIn("INTERP", headers)
                self.assertNotIn("DYNAMIC", headers)
                self.assertIn("There is no dynamic section", output(["readelf", "--dynamic", tool(binary)]))

    def test_debug_information_names_the_project_source(self):
        symbols = output(["nm", tool("OUTSB")]).split("\n")
        address = next(line.split()[0] for line in symbols if line.endswith(" T main"))
        function, location = output(["addr2line", "-f", "-e", tool("OUTSB"), address]).split()
        path, line = location.split(":")
        self.assertEqual(function, "main")
        self.assertEqual(os.path.normpath(path), "src/outsb.cpp")
        # The function's first line entry is its opening brace, on or after its declarator.
        self.assertIn(int(line), (line_of("int main()"), line_of("int main()") + 1))

    def test_signed_overflow_aborts_with_report(self):
        done = run([tool("SIGNED_OVERFLOW")])
        self.assertEqual(done.stdout, b"")
        self.assertRegex(done.stderr, rb"^ubsan: add-overflow")
        self.assertEqual(done.returncode, -signal.SIGABRT)

    def test_loop_counter_increment_is_checked(self):
        main = output(["objdump", "--disassemble=main", "--no-show-raw-insn", tool("OUTSB")])
        calls = [line.split("<")[-1].rstrip(">") for line in main.splitlines() if "\tcall " in line]
        self.assertEqual(calls.count("__ubsan_handle_add_overflow_minimal_abort"), 1, main)

    def test_builds_in_different_directories_are_identical(self):
        builds = []
        with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory(prefix="other-") as second:
            for directory in (first, os.path.join(second, "deeper")):
                configure = ["cmake", "-S", SOURCE_DIR, "-B", directory,
                             f"-DCMAKE_CXX_COMPILER={os.environ['CMAKE_CXX_COMPILER']}"]
                run(configure).check_returncode()
                run(["cmake", "--build", directory, "--target", "outsb"]).check_returncode()
                with open(os.path.join(directory, "src", "outsb"), "rb") as binary:
                    builds.append(binary.read())
        self.assertEqual(builds[0], builds[1])


if __name__ == "__main__":
    unittest.main()
