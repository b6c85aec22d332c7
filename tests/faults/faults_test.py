"""Capture faults, each met by both write calls: KVTWrite reports it on the console, KVTSyncWrite
stays silent, neither result changes, and the numbers go on.

Every case runs one client process in a pseudo-terminal:
    KVTWrite (0x10) and KVTSyncWrite (0x20) while the fault holds     -> numbers 0000 and 0001
    peek: the test waits for both results, removes the fault, presses a key
    KVTWrite (0x30) and KVTSyncWrite (0x40) with the fault gone        -> 0002 and 0003
The tests run as root, which ignores permission bits: the faults are made in ways that hold for
root (a read-only bind mount, a small full tmpfs, /dev/full, the immutable flag, a wineserver
without root's override of permission bits). A case that
cannot be made honestly on this machine is skipped with the reason."""

import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import mirdu_test as mt  # noqa: E402

LINE = re.compile(r"^(KVTWrite|KVTSyncWrite) : buf = ([0-9A-F]{8}), addr = ([0-9A-F]{8}), "
                  r"len = ([0-9A-F]{8})$")
WRITE_ERROR = "Error writing file !"
CREATE_ERROR = "Error creating file !"
RECOVERY_LENGTH = 300


def sh(*command):
    """Runs a command; returns (succeeded, its error text)."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=mt.TIMEOUT)
    return done.returncode == 0, done.stdout.strip()


class FaultCase(unittest.TestCase):
    def setUp(self):
        self.folder = mt.scratch("faults-" + self._testMethodName)
        self.cleanups = []

    def tearDown(self):
        for undo in reversed(self.cleanups):
            undo()

    def fault_run(self, length, fault_error, remove_fault=None, map_f=True, null_buf=False,
                  launcher=()):
        """Runs the two faulty writes and the two after; checks lines and results. Returns the
        capture folder's listing after the run. map_f=False leaves drive F: as it is (tools/wine
        points it at the capture folder only when given one)."""
        captures = self.folder
        source = "null" if null_buf else "buf:%d:1" % length
        steps = ["load",
                 "KVTWrite,7,%s,0x10,%d" % (source, length),
                 "KVTSyncWrite,7,%s,0x20,%d" % ("null" if null_buf else "buf:%d:2" % length, length),
                 "peek:%d" % (mt.TIMEOUT * 1000),
                 "KVTWrite,7,buf:%d:3,0x30,%d" % (RECOVERY_LENGTH, RECOVERY_LENGTH),
                 "KVTSyncWrite,7,buf:%d:4,0x40,%d" % (RECOVERY_LENGTH, RECOVERY_LENGTH),
                 "unload"]
        with mt.Session(steps, captures=captures if map_f else None,
                        name=self._testMethodName, launcher=launcher) as session:
            # The results file has a write's line only once the call, capture included, is over.
            deadline = time.monotonic() + mt.TIMEOUT
            while len(self.read_results(session)) < 3:
                self.assertLess(time.monotonic(), deadline, "faulty writes did not finish")
                time.sleep(0.05)
            if remove_fault:
                remove_fault()
            session.send("k")                  # ends the peek; the unload's key wait reads it
            console = session.expect(mt.PROMPT)
            if session.child.isalive():
                session.send("\r")
            self.assertEqual(session.wait_exit(), 0)
            results = session.results()

        self.assertEqual(results, [
            "load ok",
            "KVTWrite = %08X" % length, "KVTSyncWrite = 00000001",
            "peek input",
            "KVTWrite = %08X" % RECOVERY_LENGTH, "KVTSyncWrite = 00000001",
            "unload done", "done"])

        body = console.split(mt.UNDERLINE, 1)[1].split(mt.PROMPT, 1)[0].splitlines()
        expected = [("KVTWrite", 0x10, length)] + ([fault_error] if fault_error else []) + [
            ("KVTSyncWrite", 0x20, length),
            ("KVTWrite", 0x30, RECOVERY_LENGTH), ("KVTSyncWrite", 0x40, RECOVERY_LENGTH)]
        self.assertEqual(len(body), len(expected), body)
        for got, want in zip(body, expected):
            if isinstance(want, str):
                self.assertEqual(got, want)
                continue
            match = LINE.match(got)
            self.assertTrue(match, got)
            self.assertEqual(match.group(1), want[0])
            self.assertEqual(int(match.group(3), 16), want[1], got)
            self.assertEqual(int(match.group(4), 16), want[2], got)
            if null_buf and want[1] < 0x30:
                self.assertEqual(match.group(2), "00000000")

        # The numbers went on: the writes after the fault are 0002 and 0003, whole.
        self.assertEqual(self.read(captures, "0002-kvtwrite-00000030.bin"),
                         mt.pattern(RECOVERY_LENGTH, 3))
        self.assertEqual(self.read(captures, "0003-kvtsyncwrite-00000040.bin"),
                         mt.pattern(RECOVERY_LENGTH, 4))
        return sorted(os.listdir(captures))

    @staticmethod
    def read_results(session):
        try:
            return mt.results(session.out)
        except FileNotFoundError:
            return []

    @staticmethod
    def read(folder, name):
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()

    @staticmethod
    def wine_server(verb):
        """tools/wine-server stop (the next program then starts a server of its own) or start
        (the tests' persistent one again)."""
        ok, why = sh(os.path.join(mt.SOURCE, "tools", "wine-server"), verb)
        if not ok:
            raise AssertionError("tools/wine-server %s failed: %s" % (verb, why))

    def mount(self, *args):
        """Mounts, or skips the test with the reason when this machine does not allow it."""
        ok, why = sh("mount", *args)
        if not ok:
            self.skipTest("cannot mount here (%s): %s" % (" ".join(args), why))
        self.cleanups.append(lambda: sh("umount", "-l", args[-1]))

    # -----------------------------------------------------------------------------------------

    def test_no_drive_f(self):
        """F: missing: every creation fails; the numbers are used up all the same."""
        mt.unmap_f()
        listing = self.fault_run(64, CREATE_ERROR, map_f=False,
                                 remove_fault=lambda: os.symlink(self.folder, mt.DRIVE_F))
        self.assertEqual(listing, ["0002-kvtwrite-00000030.bin", "0003-kvtsyncwrite-00000040.bin"])

    def test_read_only_folder(self):
        """F: on a read-only bind mount (holds for root too): creation fails."""
        self.mount("--bind", self.folder, self.folder)
        ok, why = sh("mount", "-o", "remount,ro,bind", self.folder)
        if not ok:
            self.skipTest("cannot remount read-only here: " + why)
        listing = self.fault_run(64, CREATE_ERROR,
                                 remove_fault=lambda: self.assertTrue(
                                     sh("mount", "-o", "remount,rw,bind", self.folder)[0]))
        self.assertEqual(listing, ["0002-kvtwrite-00000030.bin", "0003-kvtsyncwrite-00000040.bin"])

    def test_device_full(self):
        """The capture names exist as links to /dev/full: the file opens, no byte is written."""
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full on this machine")
        for name in ("0000-kvtwrite-00000010.bin", "0001-kvtsyncwrite-00000020.bin"):
            os.symlink("/dev/full", os.path.join(self.folder, name))
        listing = self.fault_run(4096, WRITE_ERROR)
        self.assertEqual(len(listing), 4)
        for name in listing[:2]:
            self.assertEqual(os.readlink(os.path.join(self.folder, name)), "/dev/full")

    def test_disk_fills_mid_write(self):
        """A 64 KiB tmpfs with 40000 bytes taken: the 64 KiB capture stops part way. What did
        land is the start of the data, unchanged."""
        self.mount("-t", "tmpfs", "-o", "size=64k,mode=755", "tmpfs", self.folder)
        with open(os.path.join(self.folder, "filler"), "wb") as f:
            f.write(b"\xA5" * 40000)
        length = 65536
        listing = self.fault_run(length, WRITE_ERROR,
                                 remove_fault=lambda: os.unlink(os.path.join(self.folder, "filler")))
        self.assertEqual(listing, ["0000-kvtwrite-00000010.bin", "0001-kvtsyncwrite-00000020.bin",
                                   "0002-kvtwrite-00000030.bin", "0003-kvtsyncwrite-00000040.bin"])
        for name, seed in (("0000-kvtwrite-00000010.bin", 1), ("0001-kvtsyncwrite-00000020.bin", 2)):
            data = self.read(self.folder, name)
            self.assertLess(len(data), length, name)
            self.assertEqual(data, mt.pattern(length, seed)[:len(data)], name)
        self.assertGreater(len(self.read(self.folder, "0000-kvtwrite-00000010.bin")), 0,
                           "the disk was full before the write began, not during it")

    def test_existing_immutable_file(self):
        """The capture names exist as files that even root cannot replace (immutable flag):
        creation fails and the old contents stay."""
        names = ("0000-kvtwrite-00000010.bin", "0001-kvtsyncwrite-00000020.bin")
        for name in names:
            path = os.path.join(self.folder, name)
            with open(path, "wb") as f:
                f.write(b"earlier run")
            ok, why = sh("chattr", "+i", path)
            if not ok:
                self.skipTest("cannot set the immutable flag here: " + why)
            self.cleanups.append(lambda path=path: sh("chattr", "-i", path))
        self.fault_run(64, CREATE_ERROR)
        for name in names:
            self.assertEqual(self.read(self.folder, name), b"earlier run")

    def test_existing_read_only_file(self):
        """The capture names exist with the DOS read-only attribute (Wine keeps it as the lack of
        write permission bits): creation fails and the old contents stay."""
        launcher = ()
        if os.geteuid() == 0:
            # Root's override of permission bits taken away, from the client and from the
            # wineserver that it starts (the server opens the files): as for any other user.
            launcher = ("setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner", "--")
            self.wine_server("stop")
            self.cleanups.append(lambda: (self.wine_server("stop"), self.wine_server("start")))
        names = ("0000-kvtwrite-00000010.bin", "0001-kvtsyncwrite-00000020.bin")
        for name in names:
            path = os.path.join(self.folder, name)
            with open(path, "wb") as f:
                f.write(b"earlier run")
            os.chmod(path, 0o444)
        self.fault_run(64, CREATE_ERROR, launcher=launcher)
        for name in names:
            self.assertEqual(self.read(self.folder, name), b"earlier run")

    def test_null_buffer_with_length(self):
        """A null buffer with bytes to write: no crash, an empty file, the write error for
        KVTWrite only."""
        listing = self.fault_run(16, WRITE_ERROR, null_buf=True)
        self.assertEqual(len(listing), 4)
        self.assertEqual(self.read(self.folder, "0000-kvtwrite-00000010.bin"), b"")
        self.assertEqual(self.read(self.folder, "0001-kvtsyncwrite-00000020.bin"), b"")


if __name__ == "__main__":
    unittest.main(verbosity=2)
