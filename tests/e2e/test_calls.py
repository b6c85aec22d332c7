"""Every exported call through the real library, found by name: its console line and its
result, in a terminal and with standard output redirected to a file."""

import unittest

from support import (ARCH, BANNER, PROMPT, UNDERLINE, console_pattern, files_in, pattern,
                     run_detached, run_to_end, scratch)

# Step of the client, the line the call prints (PTR where it shows a pointer value
# that only the client knows), the client's result line.
CALLS = [
    ("KVTFindFirst,entry", "KVTFindFirst : host = 0, id = 0", "0000DEAD entry=0,0"),
    ("KVTFindNext,0,entry", "KVTFindNext : host = 0, id = 1", "00000001 entry=0,1"),
    ("KVTFindNext,0,entry", "KVTFindNext : host = 0, id = 2", "00000001 entry=0,2"),
    ("KVTFindNext,0,entry", "KVTFindNext : host = 0, id = 3", "00000001 entry=0,3"),
    ("KVTFindNext,0,entry", "KVTFindNext : host = 0, id = 4", "00000000 entry=0,4"),
    ("KVTFindNext,0,entry", "KVTFindNext : host = 0, id = 5", "00000001 entry=0,5"),
    ("KVTFindClose", "KVTFindClose", "00000001"),
    ("KVTOpen,0,0", "KVTOpen : host = 0, id = 0", "DEADBEEF"),
    ("KVTOpen,-1,-2147483648", "KVTOpen : host = -1, id = -2147483648", "DEADBEEF"),
    ("KVTClose", "KVTClose", "00000001"),
    ("KVTWrite,5,null,0x1000,0",
     "KVTWrite : buf = 00000000, addr = 00001000, len = 00000000", "00000000"),
    ("KVTWrite,5,buf:300:9,0xFFFFFFFF,300",
     "KVTWrite : buf = PTR, addr = FFFFFFFF, len = 0000012C", "0000012C"),
    ("KVTSyncWrite,5,buf:17:4,0xABCDEF01,17",
     "KVTSyncWrite : buf = PTR, addr = ABCDEF01, len = 00000011", "00000001"),
    ("KVTRead,5,null,0x20,0x80000001",
     "KVTRead : buf = 00000000, addr = 00000020, len = 80000001", "80000001"),
    ("KVTSyncRead,5,null,0x7FFFFFFF,0x40",
     "KVTSyncRead : buf = 00000000, addr = 7FFFFFFF, len = 00000040", "00000001"),
    ("KVTGo", "KVTGo", "00000001"),
    ("KVTReset,0,1", "KVTReset : on", "00000001"),
    ("KVTReset,1,0", "KVTReset : off", "00000001"),
    ("KVTReset,0,0x100", "KVTReset : on", "00000001"),
    ("KVTSyncSoftReset", "KVTSyncSoftReset", "00000001"),
    ("ExpFn0000,0x11111111,0x22,0xDEADBEEF", "ExpFn0000 : 00000022 DEADBEEF", "00000001"),
    ("ExpFn0001", "ExpFn0001", "00000001"),
    ("ExpFn0002", "ExpFn0002", "00000001"),
    ("ExpFn0003", "ExpFn0003", "00000001"),
    ("ExpFn0004", "ExpFn0004", "00000001"),
    ("ExpFn0005,1,2,3,4", "ExpFn0005 : 00000001 00000002 00000003 00000004", "00000001"),
    # More arguments than a call reads change nothing.
    ("ExpFn0005,0xA,0xB,0xC,0xD,0xE,0xF",
     "ExpFn0005 : 0000000A 0000000B 0000000C 0000000D", "00000001"),
    ("KVTGo,1,2,3,4,5,6", "KVTGo", "00000001"),
    ("KVTClose,7,7", "KVTClose", "00000001"),
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
