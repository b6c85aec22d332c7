"""mirdu-image: capture files laid out as the device would hold them, read back by independent
readers (Debian's python3-intelhex, srecord's srec_cat), the map and its picture, the refusals."""

import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from intelhex import IntelHex

SOURCE = os.environ.get("MIRDU_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = [sys.executable, os.path.join(SOURCE, "tools", "mirdu-image")]
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from mirdu.image import capture_key, capture_order  # noqa: E402

DEMO = {"0000-kvtwrite-00001000.bin": bytes(range(256))}

# Name, bytes, file time. Capture order is by number; the two files of 0003 (two runs into one
# folder) go older first.
MIXED = [
    ("0000-kvtwrite-00002000.bin", b"A" * 64, None),
    ("0001-kvtsyncwrite-00002040.bin", b"B" * 32, None),       # adjacent to 0000
    ("0002-kvtwrite-00002030.bin", b"C" * 32, None),           # over the join of 0000 and 0001
    ("0003-kvtwrite-0001FFF8.bin", b"D" * 16, 1000),           # across a 64 KiB boundary
    ("0003-kvtsyncwrite-00020000.bin", b"E" * 16, 2000),
    ("0004-kvtwrite-00005000.bin", b"", None),                 # writes nothing
    ("0005-kvtwrite-FFFFFE00.bin", b"H" * 256, None),
    ("0006-kvtwrite-FFFFFF00.bin", bytes(range(256)), None),   # adjacent, ends at FFFFFFFF
    ("9999-kvtwrite-00030000.bin", b"F" * 8, None),
    ("10000-kvtwrite-00030004.bin", b"G" * 8, None),           # after 9999, not before
    ("2147483647-kvtwrite-00030008.bin", b"I" * 8, None),
    ("-2147483648-kvtwrite-0003000C.bin", b"J" * 8, None),     # the counter wrapped
    ("notes.txt", b"x", None),
    ("0007-kvtwrite-1234.bin", b"x", None),
]


def make(folder, files):
    os.makedirs(folder, exist_ok=True)
    for name, data, *mtime in (files.items() if isinstance(files, dict) else files):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        if mtime and mtime[0]:
            os.utime(os.path.join(folder, name), (mtime[0], mtime[0]))
    return folder


def mirdu_image(*args, timeout=60):
    return subprocess.run(TOOL + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=timeout)


def replay(files):
    """What the device holds: every capture's bytes written in capture order, byte by byte."""
    memory = {}
    captures = [(capture_order(key[0]), t or 0, key[2], d) for n, d, t in files
                for key in [capture_key(n)] if key]
    for _, _, address, data in sorted(captures):
        for i, byte in enumerate(data):
            memory[address + i] = byte
    return memory


def svg_rects(path, kind):
    rects = ElementTree.parse(path).getroot().iter("{http://www.w3.org/2000/svg}rect")
    return [r for r in rects if r.get("class") == kind]


class Image(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="mirdu-image-")
        self.addCleanup(shutil.rmtree, self.top)

    def path(self, name):
        return os.path.join(self.top, name)

    def test_demo(self):
        captures = make(self.path("captures"), DEMO)
        done = mirdu_image("-o", self.path("image.hex"), "--svg", self.path("map.svg"), "--map",
                           captures)
        self.assertEqual(done.returncode, 0, done.stderr)
        dump = subprocess.run(["srec_cat", self.path("image.hex"), "-intel", "-o", "-", "-binary"],
                              stdout=subprocess.PIPE, check=True, timeout=60).stdout
        self.assertEqual(dump, bytes(0x1000) + bytes(range(256)))    # from address 0
        self.assertEqual(IntelHex(self.path("image.hex")).segments(), [(0x1000, 0x1100)])
        self.assertIn("     1  00001000  000010FF     256  0000\n\noverlaps: none", done.stdout)
        self.assertEqual(len(svg_rects(self.path("map.svg"), "region")), 1)

    def test_overlaps_gaps_and_the_top(self):
        captures = make(self.path("captures"), MIXED)
        memory = replay(MIXED)
        done = mirdu_image("-o", self.path("image.hex"), "--map", "--svg", self.path("map.svg"),
                           captures)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("2 other files", done.stderr)
        self.assertIn("more than one run (capture 0003 more than once)", done.stderr)
        hex_file = IntelHex(self.path("image.hex"))
        self.assertEqual(hex_file.todict(), memory)
        with open(self.path("image.hex")) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[lines.index(":08FFF8004444444444444444E1") + 1:][:2],
                         [":020000040002F8", ":10000000" + "45" * 16 + "A0"])
        self.assertEqual(lines[-1], ":00000001FF")
        rows = re.findall(r"^ +\d+  (\S+)  (\S+) +\d+  (.*)$", done.stdout, re.M)
        self.assertEqual(rows, [("00002000", "0000205F", "0000-0002"),
                                ("0001FFF8", "0002000F", "0003"),
                                ("00030000", "00030013", "9999-10000, 2147483647, -2147483648"),
                                ("FFFFFE00", "FFFFFFFF", "0005-0006")])
        overlaps = re.findall(r"^(-?\d+) +(-?\d+) +([0-9A-F]{8})  ([0-9A-F]{8}) +(\d+)$",
                              done.stdout, re.M)
        self.assertEqual(overlaps, [("0002", "0000", "00002030", "0000203F", "16"),
                                    ("0002", "0001", "00002040", "0000204F", "16"),
                                    ("0003", "0003", "00020000", "00020007", "8"),
                                    ("10000", "9999", "00030004", "00030007", "4"),
                                    ("2147483647", "10000", "00030008", "0003000B", "4"),
                                    ("-2147483648", "2147483647", "0003000C", "0003000F", "4")])
        self.assertEqual(len(svg_rects(self.path("map.svg"), "region")), 4)
        self.assertEqual(len(svg_rects(self.path("map.svg"), "overlap")), 3)

        done = mirdu_image("--range", "0x1FFF0-3000B", "--fill", "0", "-o", self.path("low.bin"),
                           captures)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(self.path("low.bin"), "rb") as f:
            self.assertEqual(f.read(), bytes(memory.get(a, 0) for a in range(0x1FFF0, 0x3000C)))

    def test_refusals(self):
        demo = make(self.path("demo"), DEMO)
        cases = [
            ("empty folder", {}, [], 1, "is empty: no capture files"),
            ("no captures", {"notes.txt": b""}, [], 1, "holds no capture files"),
            ("past the top", {"0000-kvtwrite-FFFFFFFF.bin": b"xy"}, [], 1,
             "0000-kvtwrite-FFFFFFFF.bin: its 2 bytes at FFFFFFFF run past FFFFFFFF"),
            ("4 GiB binary", {"0000-kvtwrite-00000000.bin": b"x", "0001-kvtwrite-FFFF0000.bin": b"y"},
             ["-o", "image.bin"], 1, "00000000-FFFF0000 would be 4 GiB"),
            ("fill", None, ["--fill", "256", "-o", "image.bin"], 1, "--fill wants a byte"),
            ("range", None, ["--range", "1000", "-o", "image.bin"], 1, "--range wants START-END"),
            ("reversed range", None, ["--range", "2000-1000", "-o", "image.bin"], 1, "--range"),
            ("extension", None, ["-o", "image.txt"], 1, "give --format bin or --format hex"),
            ("output a folder", None, ["-o", "taken.bin"], 1, "cannot write"),
            ("format", None, ["--format", "elf", "-o", "image.bin"], 2, "invalid choice"),
            ("option", None, ["--bogus"], 2, "unrecognized arguments"),
        ]
        for name, files, args, status, message in cases:
            with self.subTest(name):
                folder = demo if files is None else make(self.path(name), files)
                out = make(self.path(name + " out"), {})
                if name == "output a folder":
                    os.mkdir(os.path.join(out, "taken.bin"))
                args = [os.path.join(out, a) if a.startswith(("image", "taken")) else a for a in args]
                done = mirdu_image(*args, folder)
                self.assertEqual((done.returncode, done.stdout), (status, ""), done.stderr)
                self.assertIn(message, done.stderr)
                self.assertEqual(os.listdir(out), ["taken.bin"] if name == "output a folder" else [])
        self.assertEqual(mirdu_image(self.path("missing")).returncode, 1)

    def test_what_no_capture_is_stops_it_at_once(self):
        # Beside a good capture, an entry with a capture's name that must not be read: a pipe
        # would block, /dev/zero never end, 5 GiB fill the memory before the size is seen.
        odd = [("pipe", os.mkfifo), ("link to a device", lambda p: os.symlink("/dev/zero", p)),
               ("dangling link", lambda p: os.symlink("absent", p)),
               ("5 GiB", lambda p: open(p, "wb").close() or os.truncate(p, 5 << 30)),
               ("folder", os.mkdir)]
        for what, make_entry in odd:
            with self.subTest(what):
                folder = make(self.path(what), DEMO)
                entry = os.path.join(folder, "0001-kvtwrite-F0000000.bin")
                make_entry(entry)
                done = mirdu_image("-o", self.path("image.hex"), folder, timeout=5)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stderr, "^mirdu-image: %s[ :]" % re.escape(entry))
                self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 200 << 10)


if __name__ == "__main__":
    unittest.main(verbosity=2)
