"""Every exported call through the real library, found by name: its console line and its
result, in a terminal and with standard output redirected to a file."""

import unittest

from support import (ARCH, BANNER, PROMPT, UNDERLINE, console_pattern, files_in, pattern,
                     run_detached, run_to_end, scratch)
from call_lines import line  # noqa: E402  (support puts tests/pylib on the path)

# Step of the client, the line the call prints (PTR where it shows a pointer value that only
# the client knows), the client's result line.
PTR = "PTR"
CALLS = [
    ("KVTFindFirst,entry", line("KVTFindFirst", 0, 0), "0000DEAD entry=0,0"),
    ("KVTFindNext,0,entry", line("KVTFindNext", 0, 1), "00000001 entry=0,1"),
    ("KVTFindNext,0,entry", line("KVTFindNext", 0, 2), "00000001 entry=0,2"),
    ("KVTFindNext,0,entry", line("KVTFindNext", 0, 3), "00000001 entry=0,3"),
    ("KVTFindNext,0,entry", line("KVTFindNext", 0, 4), "00000000 entry=0,4"),
    ("KVTFindNext,0,entry", line("KVTFindNext", 0, 5), "00000001 entry=0,5"),
    ("KVTFindClose", line("KVTFindClose"), "00000001"),
    ("KVTOpen,0,0", line("KVTOpen", 0, 0), "DEADBEEF"),
    ("KVTOpen,-1,-2147483648", line("KVTOpen", -1, -2147483648), "DEADBEEF"),
    ("KVTClose", line("KVTClose"), "00000001"),
    ("KVTWrite,5,null,0x1000,0", line("KVTWrite", 0, 0x1000, 0), "00000000"),
    ("KVTWrite,5,buf:300:9,0xFFFFFFFF,300", line("KVTWrite", PTR, 0xFFFFFFFF, 300), "0000012C"),
    ("KVTSyncWrite,5,buf:17:4,0xABCDEF01,17", line("KVTSyncWrite", PTR, 0xABCDEF01, 17),
     "00000001"),
    ("KVTRead,5,null,0x20,0x80000001", line("KVTRead", 0, 0x20, 0x80000001), "80000001"),
    ("KVTSyncRead,5,null,0x7FFFFFFF,0x40", line("KVTSyncRead", 0, 0x7FFFFFFF, 0x40),
     "00000001"),
    ("KVTGo", line("KVTGo"), "00000001"),
    ("KVTReset,0,1", line("KVTReset", "on"), "00000001"),
    ("KVTReset,1,0", line("KVTReset", "off"), "00000001"),
    ("KVTReset,0,0x100", line("KVTReset", "on"), "00000001"),
    ("KVTSyncSoftReset", line("KVTSyncSoftReset"), "00000001"),
    ("ExpFn0000,0x11111111,0x22,0xDEADBEEF", line("ExpFn0000", 0x22, 0xDEADBEEF), "00000001"),
    ("ExpFn0001", line("ExpFn0001"), "00000001"),
    ("ExpFn0002", line("ExpFn0002"), "00000001"),
    ("ExpFn0003", line("ExpFn0003"), "00000001"),
    ("ExpFn0004", line("ExpFn0004"), "00000001"),
    ("ExpFn0005,1,2,3,4", line("ExpFn0005", 1, 2, 3, 4), "00000001"),
    # More arguments than a call reads change nothing.
    ("ExpFn0005,0xA,0xB,0xC,0xD,0xE,0xF", line("ExpFn0005", 0xA, 0xB, 0xC, 0xD), "00000001"),
    ("KVTGo,1,2,3,4,5,6", line("KVTGo"), "00000001"),
    ("KVTClose,7,7", line("KVTClose"), "00000001"),
]

STEPS = ["load"] + [step for step, _, _ in CALLS] + ["unload"]

CAPTURES = {
    "0000-kvtwrite-00001000.bin": b"",
    "0001-kvtwrite-FFFFFFFF.bin": pattern(300, 9),
    "0002-kvtsyncwrite-ABCDEF01.bin": pattern(17, 4),
}


def expected_results(closing_result):
    lines = ["load ok"]
    for step, _, result in CALLS:
        name = step.split(",")[0]
        if name in ("KVTClose", "KVTFindClose"):
            result = closing_result
        lines.append("%s = %s" % (name, result))
    return lines + ["unload done", "done"]


class EveryCall(unittest.TestCase):
    def check_in_a_terminal(self, steps):
        captures = scratch("calls-captures")
        console, lines, status = run_to_end(steps, captures=captures, name="calls")
        self.assertRegex(console, console_pattern(
            BANNER, UNDERLINE, *[line + "\n" for _, line, _ in CALLS], PROMPT))
        self.assertEqual(lines, expected_results("00000001"))
        self.assertEqual(status, 0)
        self.assertEqual(files_in(captures), CAPTURES)

    def test_lines_and_results_in_a_terminal(self):
        self.check_in_a_terminal(STEPS)

    @unittest.skipUnless(ARCH == "win32", "the x86_64 convention keeps the stack 16-byte aligned")
    def test_stack_aligned_to_4_bytes_only(self):
        # The 32-bit convention guarantees 4 bytes; the client's own calls keep 16.
        for offset in (4, 8, 12):
            with self.subTest(offset=offset):
                self.check_in_a_terminal(["stack:%d" % offset] + STEPS)

    def test_with_standard_output_redirected_to_a_file(self):
        # No terminal, standard output a file: the console writes fail, so the two calls that
        # pass on the writer's result answer 0; all others answer and capture as usual, and
        # with no console input the unload does not wait.
        captures = scratch("redirected-captures")
        # A run takes well under a second; an unload that waited would run into the timeout.
        status, printed, lines = run_detached(STEPS, captures=captures, name="redirected",
                                              timeout=20)
        self.assertEqual(status, 0)
        self.assertEqual(printed, "")
        self.assertEqual(lines, expected_results("00000000"))
        self.assertEqual(files_in(captures), CAPTURES)


if __name__ == "__main__":
    unittest.main(verbosity=2)
