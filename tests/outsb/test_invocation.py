"""Arguments and environment change nothing: whatever the program is started
with, it prints, reports, calls and ends exactly as with none."""

import unittest

from testlib import expected_report, strace, tool

VARIANTS = {
    "no arguments": ([], None),
    "many arguments": ([f"argument-{n}" for n in range(2000)], None),
    "empty strings": (["", "", ""], None),
    "non-UTF-8 bytes": ([b"\xff\xfe", b"\xc3\x28", b"\x80" * 300], None),
    "empty environment": (["x"], {}),
    "odd environment": ([], {b"\xff": b"\xfe", "NDEBUG": "1", "LANG": "C.UTF-8"}),
}


def observe(argv, env=None):
    """What the program does, from its own execve on."""
    done, log = strace(argv, env=env)
    program_start = max(i for i, c in enumerate(log.calls) if c.name == "execve")
    calls = [(c.name, b"".join(c.strings)) for c in log.calls[program_start + 1:]]
    return done.stdout, done.stderr, done.returncode, calls, log.ending, log.calls[program_start]


class Invocation(unittest.TestCase):
    def test_nothing_changes_the_run(self):
        *baseline, _ = observe([tool("OUTSB")])
        self.assertEqual(baseline[0], b"init\n")
        self.assertEqual(baseline[1], expected_report())
        for name, (args, env) in VARIANTS.items():
            with self.subTest(name):
                self.assertEqual(observe([tool("OUTSB"), *args], env)[:-1], tuple(baseline))
        with self.subTest("argc 0"):
            *with_no_argv, execve = observe([tool("EXEC_ARGV"), tool("OUTSB")])
            self.assertRegex(execve.args, r", \[\], ")
            self.assertEqual(with_no_argv, baseline)


if __name__ == "__main__":
    unittest.main()
