"""Refused port access: the program prints "init", reports the failed check and
aborts, and does nothing else, in every build and however access is refused."""

import os
import signal
import unittest

from testlib import SOURCE_DIR, expected_report, run, strace, tool

SYS_RAWIO_BIT = 1 << 17
# Without CAP_SYS_RAWIO in the bounding set, root cannot regain it at exec.
DROP_RAWIO = ["setpriv", "--bounding-set", "-sys_rawio", "--inh-caps", "-sys_rawio"]
ABORT_CALLS = {"rt_sigprocmask", "rt_sigaction", "tkill", "tgkill", "getpid", "gettid"}


def capabilities(prefix):
    status = run([*prefix, "cat", "/proc/self/status"]).stdout.decode()
    return {key: int(value, 16) for key, value in
            (line.split(":\t") for line in status.splitlines() if line.startswith("Cap"))}


class RefusedAccess(unittest.TestCase):
    def test_capability_drop_takes_effect(self):
        caps = capabilities(DROP_RAWIO)
        for key in ("CapBnd", "CapPrm", "CapEff"):
            self.assertFalse(caps[key] & SYS_RAWIO_BIT, key)

    def test_the_report_is_the_one_documented(self):
        for document in ("README.md", "man/outsb.8.in"):
            with open(os.path.join(SOURCE_DIR, document), encoding="utf-8") as text:
                self.assertIn(expected_report().decode().strip(), text.read(), document)

    def test_report_and_abnormal_end(self):
        for binary in ("OUTSB", "OUTSB_NDEBUG"):
            for prefix in ([], DROP_RAWIO):
                with self.subTest(binary=binary, prefix=prefix):
                    done = run([*prefix, tool(binary)])
                    self.assertEqual(done.stdout, b"init\n")
                    self.assertEqual(done.stderr, expected_report())
                    self.assertEqual(done.returncode, -signal.SIGABRT)

    def test_nothing_but_the_report_and_abort_after_the_request(self):
        for binary in ("OUTSB", "OUTSB_NDEBUG"):
            with self.subTest(binary=binary):
                done, log = strace([tool(binary)])
                self.assertEqual(done.stderr, expected_report())  # strace itself writes to its log
                request = log.index("ioperm")
                self.assertEqual(log.calls[request].args, "0x3f8, 0x8, 1")
                self.assertTrue(log.calls[request].result.startswith("-1 "))
                before = [c for c in log.calls[:request] if c.name in ("write", "writev")]
                self.assertEqual([(c.fd, b"".join(c.strings)) for c in before], [(1, b"init\n")])
                report = b""
                for call in log.calls[request + 1:]:
                    if call.name in ("write", "writev"):
                        self.assertEqual(call.fd, 2)
                        report += b"".join(call.strings)
                    else:
                        self.assertIn(call.name, ABORT_CALLS)
                self.assertEqual(report, expected_report())
                self.assertEqual(log.ending, "+++ killed by SIGABRT +++")


if __name__ == "__main__":
    unittest.main()
