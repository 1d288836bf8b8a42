"""vuart's decoder against GNU objdump on random byte sequences: whether the
bytes start a port instruction, how long it is and how wide its elements are.
objdump reads REX and prefix order as the processor does; where it cannot know
(LOCK makes a port instruction #UD on the processor), the processor holds."""

import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from testlib import tool

SEQUENCES = 3000
SLOT = 32  # 15 bytes at most, then room for a stray decoding to end in the padding
PREFIXES = [0x66, 0x67, 0xF2, 0xF3, 0xF0, 0x2E, 0x36, 0x3E, 0x26, 0x64, 0x65]
REX = list(range(0x40, 0x50))
PORT_OPCODES = [0xE4, 0xE5, 0xE6, 0xE7, 0xEC, 0xED, 0xEE, 0xEF, 0x6C, 0x6D, 0x6E, 0x6F]
PREFIX_WORDS = {"data16", "addr32", "rex", "lock", "rep", "repz", "repnz", "cs", "ds", "es", "ss", "fs", "gs"}
WIDTHS = {"b": 1, "w": 2, "l": 4, "%al": 1, "%ax": 2, "%eax": 4}


def sequence(rng):
    """Prefixes, a REX one (if any) right before the opcode, an opcode (mostly a port one) and some bytes.
    objdump applies a REX.W that another prefix follows, which the processor ignores: the
    differential test checks that rule against the processor itself."""
    prefixes = [rng.choice(PREFIXES) for _ in range(rng.choice([0, 1, 1, 2, 2, 3, 4]))]
    if rng.random() < 0.4:
        prefixes.append(rng.choice(REX))
    opcode = rng.choice(PORT_OPCODES) if rng.random() < 0.9 else rng.randrange(256)
    tail = [rng.randrange(256) for _ in range(3)]
    return bytes(prefixes + [opcode] + tail)[:15]


def objdump_reading(blob):
    """{slot start: (length, width) of a port instruction there, or None}."""
    with tempfile.NamedTemporaryFile(suffix=".bin") as file:
        file.write(blob)
        file.flush()
        listing = subprocess.run(["objdump", "-D", "-b", "binary", "-m", "i386:x86-64", file.name],
                                 capture_output=True, check=True, timeout=300).stdout.decode()
    lines = []
    for line in listing.splitlines():
        match = re.match(r"^\s*([0-9a-f]+):\t([0-9a-f ]+?)\s*(?:\t(.*))?$", line)
        if match:
            lines.append((int(match.group(1), 16), len(match.group(2).split()), (match.group(3) or "").split()))
    readings = {}
    at = 0
    while at < len(lines):
        start, _, words = lines[at]
        if start % SLOT:
            at += 1
            continue
        # Prefixes that objdump shows on lines of their own belong to the instruction that follows.
        while at < len(lines) and lines[at][2] and all(w.split(".")[0] in PREFIX_WORDS for w in lines[at][2]):
            at += 1
        if at == len(lines) or not lines[at][2] or lines[at][0] % SLOT and lines[at][0] // SLOT != start // SLOT:
            readings[start] = None
            continue
        end_address, size, words = lines[at]
        # A continuation line of the same instruction's bytes has no text of its own.
        length = end_address + size - start
        while at + 1 < len(lines) and not lines[at + 1][2]:
            at += 1
            length += lines[at][1]
        mnemonic = next((w for w in words if w.split(".")[0] not in PREFIX_WORDS), "")
        readings[start] = None
        if "lock" in " ".join(words) or any(w == "lock" for _, _, ws in lines[max(0, at - 4):at] for w in ws):
            readings[start] = "lock"
        elif mnemonic in ("in", "out"):
            register = re.search(r"%e?a[lx]", " ".join(words)).group(0)
            readings[start] = (length, WIDTHS[register])
        elif mnemonic[:-1] in ("ins", "outs"):
            readings[start] = (length, WIDTHS[mnemonic[-1]])
        at += 1
    return readings


class Decoder(unittest.TestCase):
    @unittest.skipUnless(shutil.which("objdump"), "objdump is not installed")
    def test_agrees_with_objdump(self):
        rng = random.Random(20261208)
        sequences = [sequence(rng) for _ in range(SEQUENCES)]
        blob = b"".join(s + b"\x90" * (SLOT - len(s)) for s in sequences)
        reference = objdump_reading(blob)
        ours = subprocess.run([tool("DECODE_BYTES")], input="".join(s.hex() + "\n" for s in sequences).encode(),
                              capture_output=True, check=True, timeout=60).stdout.decode().splitlines()
        compared = 0
        for index, (code, decoded) in enumerate(zip(sequences, ours)):
            expected = reference.get(index * SLOT)
            ours_reading = None if decoded == "-" else tuple(int(x) for x in decoded.split())
            if expected == "lock":
                expected = None  # the processor raises #UD: no port access
            with self.subTest(code=code.hex()):
                self.assertEqual(ours_reading, expected)
            compared += ours_reading is not None
        print(f"{SEQUENCES} sequences, {compared} port instructions compared", file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
