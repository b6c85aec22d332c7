"""Capture files written by the real library under Wine, each test with an empty F: folder of
its own: names, byte-exact contents, one numbering across both write calls, replacement by a
later run; reads, which capture nothing and leave the buffer alone, and the memory build's,
which answer what was written; the demo's typical run."""

import re
import unittest

from support import (BANNER, ENUMERATE_AND_OPEN, PROMPT, UNDERLINE, console_pattern, files_in,
                     pattern, run_detached, run_to_end, scratch)

MIB = 1 << 20


def run(steps, captures, name):
    """Runs the client with no terminal (the unload does not wait) and returns its results."""
    status, printed, lines = run_detached(["load"] + steps + ["unload"], captures=captures,
                                          name=name, timeout=30)
    if status != 0:
        raise AssertionError("client ended with %s: %r" % (status, lines))
    return lines[1:-2]


class CaptureFiles(unittest.TestCase):
    def test_names_and_contents_for_every_length(self):
        captures = scratch("lengths")
        steps, expected = [], {}
        for number, length in enumerate([0, 1, 256, 65537, 8 * MIB]):
            call, tag = ("KVTWrite", "kvtwrite") if number % 2 == 0 else ("KVTSyncWrite",
                                                                          "kvtsyncwrite")
            seed, addr = 1000 + number, 0x10000 * number + length
            steps.append("%s,0,buf:%d:%d,%d,%d" % (call, length, seed, addr, length))
            expected["%04d-%s-%08X.bin" % (number, tag, addr)] = pattern(length, seed)
        self.assertEqual(run(steps, captures, "lengths"),
                         ["KVTWrite = 00000000", "KVTSyncWrite = 00000001",
                          "KVTWrite = 00000100", "KVTSyncWrite = 00000001",
                          "KVTWrite = 00800000"])
        # Both 8 MiB and the short ones, both calls: compare sizes first for a readable failure.
        found = files_in(captures)
        self.assertEqual({n: len(d) for n, d in found.items()},
                         {n: len(d) for n, d in expected.items()})
        for name, data in expected.items():
            self.assertTrue(found[name] == data, "%s differs from the data written" % name)
        # The same 8 MiB once more through the other call.
        captures = scratch("lengths-sync")
        run(["KVTSyncWrite,0,buf:%d:77,0,%d" % (8 * MIB, 8 * MIB)], captures, "lengths-sync")
        found = files_in(captures)
        self.assertEqual(list(found), ["0000-kvtsyncwrite-00000000.bin"])
        self.assertTrue(found["0000-kvtsyncwrite-00000000.bin"] == pattern(8 * MIB, 77))

    def test_one_numbering_across_both_write_calls(self):
        captures = scratch("numbering")
        run(["KVTWrite,0,buf:4:1,0,4", "KVTSyncWrite,0,buf:4:2,0,4", "KVTWrite,0,buf:4:3,0,4"],
            captures, "numbering")
        self.assertEqual(files_in(captures), {
            "0000-kvtwrite-00000000.bin": pattern(4, 1),
            "0001-kvtsyncwrite-00000000.bin": pattern(4, 2),
            "0002-kvtwrite-00000000.bin": pattern(4, 3)})

        # Reads and other calls in between take no number; the same address twice gives two
        # files.
        captures = scratch("numbering-mixed")
        run(["KVTSyncWrite,0,buf:5:11,0x20,5", "KVTSyncWrite,0,buf:6:12,0x20,6",
             "KVTRead,0,rbuf:8,0x20,8", "KVTWrite,0,buf:7:13,0xFEDCBA98,7",
             "KVTSyncRead,0,rbuf:8,0x20,8", "KVTGo", "KVTSyncWrite,0,buf:8:14,0x1,8",
             "KVTFindFirst,entry", "KVTWrite,0,buf:9:15,0x20,9"], captures, "numbering-mixed")
        self.assertEqual(files_in(captures), {
            "0000-kvtsyncwrite-00000020.bin": pattern(5, 11),
            "0001-kvtsyncwrite-00000020.bin": pattern(6, 12),
            "0002-kvtwrite-FEDCBA98.bin": pattern(7, 13),
            "0003-kvtsyncwrite-00000001.bin": pattern(8, 14),
            "0004-kvtwrite-00000020.bin": pattern(9, 15)})

    def test_a_later_run_replaces_a_file_of_the_same_name(self):
        captures = scratch("replace")
        run(["KVTWrite,0,buf:1000:1,0x40,1000", "KVTSyncWrite,0,buf:500:2,0x40,500"], captures,
            "replace-first")
        # The second run writes fewer bytes: the files must be truncated, not overwritten.
        run(["KVTWrite,0,buf:10:3,0x40,10", "KVTSyncWrite,0,buf:0:4,0x40,0"], captures,
            "replace-second")
        self.assertEqual(files_in(captures), {
            "0000-kvtwrite-00000040.bin": pattern(10, 3),
            "0001-kvtsyncwrite-00000040.bin": b""})


class Reads(unittest.TestCase):
    def test_reads_leave_the_buffer_alone_and_return_the_length(self):
        captures = scratch("reads")
        steps = [("KVTRead,0,rbuf:64:5,0x100,64",
                  "KVTRead : buf = PTR, addr = 00000100, len = 00000040", "00000040 unchanged=1"),
                 ("KVTSyncRead,0,rbuf:64:6,0x100,64",
                  "KVTSyncRead : buf = PTR, addr = 00000100, len = 00000040",
                  "00000001 unchanged=1"),
                 ("KVTRead,0,rbuf:16:7,0,0",
                  "KVTRead : buf = PTR, addr = 00000000, len = 00000000", "00000000 unchanged=1"),
                 ("KVTRead,0,rbuf:16:8,0,0x80000001",
                  "KVTRead : buf = PTR, addr = 00000000, len = 80000001", "80000001 unchanged=1"),
                 ("KVTRead,0,null,0x10,0x10",
                  "KVTRead : buf = 00000000, addr = 00000010, len = 00000010", "00000010"),
                 ("KVTSyncRead,0,null,0x10,0xFFFFFFFF",
                  "KVTSyncRead : buf = 00000000, addr = 00000010, len = FFFFFFFF", "00000001")]
        console, lines, status = run_to_end(["load"] + [s for s, _, _ in steps] + ["unload"],
                                            captures=captures, name="reads")
        self.assertEqual(status, 0)
        self.assertRegex(console, console_pattern(
            BANNER, UNDERLINE, *[line + "\n" for _, line, _ in steps], PROMPT))
        self.assertEqual(lines, ["load ok"] + ["%s = %s" % (s.split(",")[0], r)
                                               for s, _, r in steps] + ["unload done", "done"])
        self.assertEqual(files_in(captures), {}, "a read left a capture file")


    def test_the_memory_build_answers_what_the_load_wrote_and_0xFF_elsewhere(self):
        # In place of the vendor's library, with no runner: the load's own memory, the latest
        # write winning. The same lines; the writes still leave captures. (That a second load
        # has a memory of its own is a unit test's: a console allocated again has no terminal.)
        captures = scratch("memory-reads")
        at = ",0x100,64"
        steps = [("KVTRead,0,erased:64" + at, "00000040 expected=1"),
                 ("KVTWrite,0,buf:64:5" + at, "00000040"),
                 ("KVTRead,0,expect:64:5" + at, "00000040 expected=1"),
                 ("KVTSyncWrite,0,buf:40:6,0x110,40", "00000001"),
                 ("KVTSyncRead,0,expect:16:5,0x100,16", "00000001 expected=1"),
                 ("KVTSyncRead,0,expect:40:6,0x110,40", "00000001 expected=1"),
                 ("KVTRead,0,erased:4,0x138,4", "00000004 expected=0"),
                 ("KVTRead,0,erased:64,0x140,64", "00000040 expected=1")]
        console, lines, status = run_to_end(["load:mirdu-memory.dll"] + [s for s, _ in steps]
                                            + ["unload"], captures=captures, name="memory-reads")
        self.assertEqual(status, 0)
        self.assertEqual(lines, ["load ok"] + ["%s = %s" % (s.split(",")[0], r) for s, r in steps]
                         + ["unload done", "done"])
        shown = ["%s : buf = %s, addr = %08X, len = %08X\n" % (
            s.split(",")[0], "PTR", int(s.split(",")[3], 0), int(s.split(",")[4], 0))
            for s, _ in steps]
        self.assertRegex(console, console_pattern(BANNER, UNDERLINE, *shown, PROMPT))
        self.assertEqual(files_in(captures), {"0000-kvtwrite-00000100.bin": pattern(64, 5),
                                              "0001-kvtsyncwrite-00000110.bin": pattern(40, 6)})


class Demo(unittest.TestCase):
    def test_typical_run_of_the_demo(self):
        captures = scratch("demo")
        console, _, status = run_to_end([], captures=captures, name="demo",
                                        program="mirdu-demo.exe", out=False)
        self.assertEqual(status, 0)
        self.assertRegex(console, "^%s$" % "".join([
            re.escape(BANNER + UNDERLINE),
            *map(re.escape, ENUMERATE_AND_OPEN),
            "KVTWrite : buf = ([0-9A-F]{8}), addr = 00001000, len = 00000100\n",
            r"KVTRead : buf = \1, addr = 00001000, len = 00000100\n",
            "KVTGo\n",
            "KVTClose\n",
            re.escape(PROMPT)]))
        self.assertEqual(files_in(captures), {"0000-kvtwrite-00001000.bin": bytes(range(256))})


if __name__ == "__main__":
    unittest.main(verbosity=2)
