"""The two image writers on one corpus of capture folders: mirdu-run.exe's (runner/image.cpp,
built alone as engine-image.exe and run under this lane's Wine) and mirdu-image. Both write the
same bytes, Intel HEX and binary, and refuse the same folders; the HEX holds what the device
would after the captures."""

import collections
import filecmp
import os
import random
import socket
import subprocess
import sys
import unittest

from intelhex import IntelHex

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
from mirdu_test import BUILD, SOURCE, WINE, scratch  # noqa: E402
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from mirdu.image import capture_key, capture_order  # noqa: E402

ENGINE_IMAGE = os.path.join(BUILD, "engine-image.exe")
MIRDU_IMAGE = [sys.executable, os.path.join(SOURCE, "tools", "mirdu-image")]
SECOND = 10 ** 9
FORMATS = ("hex", "bin")
ODD = "0001-kvtwrite-00001100.bin"   # the entry of a folder that no writer may read

# entries: (name, bytes or a function that makes the entry at a path, modification time in
# ns or None); refused: for each format refused, a text that both writers' messages hold.
Case = collections.namedtuple("Case", "name entries refused")


def data(size, seed):
    return bytes((seed * 31 + i * 7 + (i >> 8)) & 0xFF for i in range(size))


def sparse_5_gib(path):
    with open(path, "wb") as f:
        f.truncate(5 << 30)


def unix_socket(path):
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(path)


def beside_a_capture(what, make_entry, refused=True):
    """A good capture and the entry ODD, which either writer must refuse without reading it
    (a pipe would block, /dev/zero never end, 5 GiB fill the memory) or, a link to a capture,
    read through."""
    entries = [("0000-kvtwrite-00001000.bin", data(64, 1), None), (ODD, make_entry, None)]
    return Case(what, entries, {f: ODD for f in FORMATS} if refused else {})


def randomly_overlapping(count=200, seed=7):
    """Captures over a few 64 KiB windows; every tenth number twice (another address), the two
    files seconds apart or within one 100 ns tick of a Windows file time."""
    rng = random.Random(seed)
    entries = []
    for number in range(count):
        for copy in range(2 if number % 10 == 3 else 1):
            address = rng.randrange(0x0FFF0, 0x40000)
            when = (1000 + rng.choice([0, 0, 5])) * SECOND + rng.choice([0, 10, 60, 150])
            kind = rng.choice(["kvtwrite", "kvtsyncwrite"])
            name = "%04d-%s-%08X.bin" % (number, kind, address + copy)
            entries.append((name, data(rng.choice([0, 1, 15, 16, 17, 300, 2000]), number), when))
    return Case("randomly overlapping", entries, {})


# Names that the library never makes, over the written bytes: any writer that took one would
# write another image than the other.
NO_CAPTURES = ["notes.txt", "0007-kvtwrite-00002000", "0007-kvtwrite-00002000.bin.tmp",
               "0007-kvtwrite-00002000.BIN", "0007-KVTWRITE-00002000.bin",
               "0007-kvtwrite-0000200a.bin", "0007-kvtread-00002000.bin",
               "007-kvtwrite-00002000.bin", "00007-kvtwrite-00002000.bin",
               "-0007-kvtwrite-00002000.bin", "-000-kvtwrite-00002000.bin",
               "+007-kvtwrite-00002000.bin", "2147483648-kvtwrite-00002000.bin",
               "-2147483649-kvtwrite-00002000.bin",
               "\uff10\uff10\uff10\uff17-kvtwrite-00002000.bin"]

CORPUS = [
    Case("gaps and overlaps", [
        ("0000-kvtwrite-00002000.bin", data(64, 0), None),
        ("0001-kvtsyncwrite-00002040.bin", data(32, 1), None),   # adjoins 0000
        ("0002-kvtwrite-00002030.bin", data(32, 2), None),       # over the join
        ("0003-kvtwrite-00002038.bin", data(4, 3), None),        # inside 0002
        ("0004-kvtwrite-00005000.bin", b"", None),               # writes nothing
        ("0005-kvtwrite-00004FFF.bin", data(3, 5), None),
        ("0006-kvtwrite-00001FF0.bin", data(0x90, 6), None),     # under all of them
    ] + [(name, b"x" * 16, None) for name in NO_CAPTURES], {}),
    Case("one number twice", [
        # Two runs into one folder: the newer file wins, whatever the names' order; within
        # one tick of a file time, the names' order decides.
        ("0000-kvtwrite-00000100.bin", data(32, 0), 2000 * SECOND),
        ("0000-kvtsyncwrite-00000110.bin", data(32, 1), 3000 * SECOND),
        ("0001-kvtwrite-00000100.bin", data(8, 2), 5000 * SECOND + 10),
        ("0001-kvtsyncwrite-00000104.bin", data(8, 3), 5000 * SECOND + 60),
        ("0002-kvtsyncwrite-00000200.bin", data(8, 4), 6000 * SECOND + 99),
        ("0002-kvtwrite-00000204.bin", data(8, 5), 6000 * SECOND + 100),
    ], {}),
    Case("the counter wrapped", [
        ("9999-kvtwrite-00030000.bin", data(16, 0), None),
        ("10000-kvtwrite-00030004.bin", data(16, 1), None),      # after 9999, not before
        ("2147483647-kvtsyncwrite-00030008.bin", data(16, 2), None),
        ("-2147483648-kvtwrite-0003000C.bin", data(16, 3), None),
        ("-001-kvtwrite-00030010.bin", data(16, 4), None),        # the last before 0000
        ("0000-kvtwrite-00030000.bin", data(64, 5), None),        # the first of all
    ], {}),
    Case("the highest addresses", [
        ("0000-kvtwrite-FFFEFFF8.bin", data(0x20, 0), None),      # across FFFF0000
        ("0001-kvtwrite-FFFFFE00.bin", data(0x100, 1), None),
        ("0002-kvtwrite-FFFFFF00.bin", data(0x100, 2), None),     # adjoins, ends at FFFFFFFF
        ("0003-kvtwrite-FFFFFFFF.bin", b"\x5a", None),
    ], {}),
    Case("64 KiB boundaries", [
        ("0000-kvtwrite-0000FFF9.bin", data(0x20010, 0), None),   # across two of them
        ("0001-kvtwrite-0001FFFF.bin", data(3, 1), None),
        ("0002-kvtwrite-0003000B.bin", data(0x10000, 2), None),   # across 00040000
        ("0003-kvtsyncwrite-0000FFE0.bin", data(9, 3), None),
    ], {}),
    Case("only an empty capture", [("0000-kvtwrite-00001000.bin", b"", None)], {}),
    Case("the largest binary", [                                   # 256 MiB exactly
        ("0000-kvtwrite-00000000.bin", b"\x01", None),
        ("0001-kvtwrite-0FFFFFFF.bin", b"\x02", None),
    ], {}),
    Case("a binary too large", [                                   # one byte more
        ("0000-kvtwrite-00000000.bin", b"\x01", None),
        ("0001-kvtwrite-10000000.bin", b"\x02", None),
    ], {"bin": "a binary image of 00000000-10000000 would be 256 MiB (268435457 bytes), "
               "more than the 256 MiB allowed"}),
    Case("past FFFFFFFF", [
        ("0000-kvtwrite-00001000.bin", data(16, 0), None),
        ("0001-kvtwrite-FFFFFFFF.bin", b"xy", None),
    ], {f: "0001-kvtwrite-FFFFFFFF.bin: its 2 bytes at FFFFFFFF run past FFFFFFFF"
        for f in FORMATS}),
    Case("two refusals", [                                         # the first by name
        ("9999-kvtwrite-FFFFFFFF.bin", b"xy", None),
        ("10000-kvtwrite-00001000.bin", os.mkfifo, None),
    ], {f: "10000-kvtwrite-00001000.bin is a" for f in FORMATS}),
    beside_a_capture("5 GiB past FFFFFFFF", sparse_5_gib),
    beside_a_capture("a pipe", os.mkfifo),
    beside_a_capture("a socket", unix_socket),
    beside_a_capture("a link to a device", lambda p: os.symlink("/dev/zero", p)),
    beside_a_capture("a folder", os.mkdir),
    beside_a_capture("a link to a folder", lambda p: os.mkdir(p + ".d") or os.symlink(
        os.path.basename(p) + ".d", p)),
    beside_a_capture("a link to a capture", lambda p: os.symlink(
        "0000-kvtwrite-00001000.bin", p), refused=False),
    randomly_overlapping(),
]


def make(folder, entries):
    os.makedirs(folder)
    for name, content, mtime in entries:
        path = os.path.join(folder, name)
        if callable(content):
            content(path)
            continue
        with open(path, "wb") as f:
            f.write(content)
        if mtime is not None:
            os.utime(path, ns=(mtime, mtime))
    return folder


def device_memory(folder):
    """What the device holds after the folder's captures, written one byte at a time in
    capture order: by number, files of one number older first (in whole 100 ns), then by name."""
    captures = []
    for name in os.listdir(folder):
        key = capture_key(name)
        if key:
            path = os.path.join(folder, name)
            captures.append((capture_order(key[0]), os.stat(path).st_mtime_ns // 100, name,
                             key[2], path))
    memory = {}
    for *_, address, path in sorted(captures):
        with open(path, "rb") as f:
            for i, byte in enumerate(f.read()):
                memory[address + i] = byte
    return memory


class Writers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        top = scratch("image-writers")
        cls.folders = {case.name: make(os.path.join(top, "captures", case.name), case.entries)
                       for case in CORPUS}
        cls.outputs = {}
        for writer in ("engine", "tool"):
            os.makedirs(os.path.join(top, writer))
            for case in CORPUS:
                for format in FORMATS:
                    cls.outputs[writer, case.name, format] = os.path.join(
                        top, writer, "%s.%s" % (case.name, format))
        pairs = [arg for case in CORPUS for format in FORMATS
                 for arg in (cls.folders[case.name], cls.outputs["engine", case.name, format])]
        done = subprocess.run([WINE, ENGINE_IMAGE] + pairs, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, encoding="utf-8", timeout=300)
        if done.returncode == 77:
            raise unittest.SkipTest(done.stdout.strip())
        assert done.returncode == 0, done.stderr
        said = iter(done.stdout.splitlines())
        cls.engine = {(case.name, format): next(said) for case in CORPUS for format in FORMATS}
        cls.top = top

    def mirdu_image(self, case, format):
        done = subprocess.run(MIRDU_IMAGE + ["-o", self.outputs["tool", case.name, format],
                                             self.folders[case.name]],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8",
                              timeout=120)
        self.assertIn(done.returncode, (0, 1), done.stderr)
        return "written" if done.returncode == 0 else "refused: " + done.stderr

    def test_both_write_the_same_image_or_refuse_the_same_folder(self):
        for case in CORPUS:
            for format in FORMATS:
                with self.subTest(case.name, format=format):
                    self.check(case, format)
        for writer in ("engine", "tool"):   # nothing left under a temporary name
            self.assertEqual(sorted(os.listdir(os.path.join(self.top, writer))), sorted(
                os.path.basename(path) for (w, _, _), path in self.outputs.items()
                if w == writer and os.path.exists(path)))

    def check(self, case, format):
        engine, tool = self.engine[case.name, format], self.mirdu_image(case, format)
        engine_file = self.outputs["engine", case.name, format]
        tool_file = self.outputs["tool", case.name, format]
        refusal = case.refused.get(format)
        if refusal:
            for said, path in ((engine, engine_file), (tool, tool_file)):
                self.assertIn(refusal, said)
                self.assertFalse(os.path.exists(path), said)
            return
        self.assertEqual((engine, tool), ("written", "written"))
        self.assertTrue(filecmp.cmp(engine_file, tool_file, shallow=False),
                        "%s and %s differ" % (engine_file, tool_file))
        if format == "hex":
            self.assertEqual(IntelHex(tool_file).todict(), device_memory(self.folders[case.name]))
        os.unlink(engine_file)      # the largest binary twice is 512 MiB
        os.unlink(tool_file)


if __name__ == "__main__":
    unittest.main(verbosity=2)
