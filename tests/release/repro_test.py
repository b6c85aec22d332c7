"""Reproducible release: the i686 and x86_64 mirdu.dll, mirdu-memory.dll and mirdu-hook.dll built
from two copies of the sources, in folders of different names, with different file times, time
zones and umasks, have the same bytes, and so have the release zip made from each, which holds
both builds in the layout that the runners look for, and the wheel, whose RECORD holds the
digest and size of each of its files. Only the DLLs and mirdu-run.exe (which brings its hook)
are built (-j2)."""

import base64
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE = os.environ.get("MIRDU_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))


def IGNORE(folder, names):
    """Build output, packages and captures of the checkout are not sources."""
    top = os.path.abspath(folder) == os.path.abspath(SOURCE)
    return [n for n in names if n in (".git", "__pycache__")
            or (top and n in ("build", "dist", "captures"))]

TIMEOUT = 600
ARCHES = ("win32", "win64")
DLLS = ("mirdu.dll", "mirdu-memory.dll", "mirdu-hook.dll")


def run(command, cwd, env):
    done = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=TIMEOUT)
    if done.returncode != 0:
        raise AssertionError("%s failed in %s:\n%s" % (" ".join(command), cwd, done.stdout[-3000:]))
    return done.stdout


def has_guide(tree):
    try:
        with open(os.path.join(tree, "README.md"), encoding="utf-8") as f:
            return "<!-- guide:start -->" in f.read()
    except FileNotFoundError:
        return False


class Reproducible(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.top = tempfile.mkdtemp(prefix="mirdu-repro-")
        cls.trees = []
        # Different path lengths and names; the second copy gets fresh file times.
        for folder, copy, tz, umask in (("a/src", shutil.copy2, "UTC", 0o022),
                                        ("a-much-longer-folder/mirdu source", shutil.copy,
                                         "Pacific/Kiritimati", 0o077)):
            tree = os.path.join(cls.top, folder)
            shutil.copytree(SOURCE, tree, ignore=IGNORE, copy_function=copy, symlinks=True)
            env = dict(os.environ, TZ=tz)
            old = os.umask(umask)
            try:
                for preset in ARCHES:
                    run(["cmake", "--preset", preset, "-DMIRDU_TESTS=OFF"], tree, env)
                    run(["cmake", "--build", "--preset", preset, "--target", "mirdu",
                         "mirdu-memory", "mirdu-run", "-j2"], tree, env)
            finally:
                os.umask(old)
            cls.trees.append((tree, env))
        cls.version = cls.read(os.path.join(cls.trees[0][0], "VERSION")).decode().strip()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.top, ignore_errors=True)

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

    def test_dll(self):
        for arch in ARCHES:
            for dll in DLLS:
                first, second = (self.read(os.path.join(t, "build", arch, dll))
                                 for t, _ in self.trees)
                self.assertGreater(len(first), 0)
                self.assertTrue(first == second, "the two %s builds of %s differ (%d and %d "
                                "bytes)" % (arch, dll, len(first), len(second)))

    @classmethod
    def packages(cls):
        """The release zip and the wheel that tools/dist makes in each tree, made once."""
        if not has_guide(cls.trees[0][0]):
            raise unittest.SkipTest("README.md has no <!-- guide:start --> section yet: no "
                                    "user guide, no package")
        if not hasattr(cls, "made"):
            cls.made = []
            for tree, env in cls.trees:
                run([sys.executable, os.path.join(tree, "tools", "dist"), "--source", tree],
                    tree, env)
                cls.made.append({kind: cls.read(os.path.join(tree, "dist", name % cls.version))
                                 for kind, name in (("zip", "mirdu-%s.zip"),
                                                    ("wheel", "mirdu-%s-py3-none-any.whl"))})
        return cls.made

    def test_zip(self):
        zips = [made["zip"] for made in self.packages()]
        self.assertTrue(zips[0] == zips[1], "the two release zips differ")
        # The common files, each build's in a folder of its own, and every file in SHA256SUMS.
        folder = "mirdu-%s/" % self.version
        with zipfile.ZipFile(io.BytesIO(zips[0])) as archive:
            files = {n.replace(folder, "", 1): archive.read(n) for n in archive.namelist()}
        self.assertEqual(sorted(files), ["SHA256SUMS", "mirdu-image", "mirdu-run", "mirdu.def",
                                         "mirdu.h", "probe-32bit", "user-guide.txt"] + [
            "%s/%s" % (arch, n) for arch in ARCHES
            for n in ("libmirdu.dll.a", "mirdu-hook.dll", "mirdu-memory.dll", "mirdu-run.exe",
                      "mirdu.dll")])
        self.assertEqual(files.pop("SHA256SUMS").decode(), "".join(
            "%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
            for name, data in sorted(files.items())))
        for arch in ARCHES:
            for dll in DLLS:
                self.assertEqual(files[arch + "/" + dll], self.read(
                    os.path.join(self.trees[0][0], "build", arch, dll)), (arch, dll))

    def test_wheel(self):
        wheels = [made["wheel"] for made in self.packages()]
        self.assertTrue(wheels[0] == wheels[1], "the two wheels differ")
        info = "mirdu-%s.dist-info/" % self.version
        with zipfile.ZipFile(io.BytesIO(wheels[0])) as archive:
            entries = archive.infolist()
            files = {e.filename: archive.read(e) for e in entries}
        # RECORD, last, lists every other entry once with its digest and size, itself with none.
        self.assertEqual(entries[-1].filename, info + "RECORD")
        rows = [line.rsplit(",", 2) for line in files[info + "RECORD"].decode().splitlines()]
        self.assertEqual([r[0] for r in rows], [e.filename for e in entries])
        self.assertEqual(rows.pop(), [info + "RECORD", "", ""])
        for name, digest, size in rows:
            data = files[name]
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            self.assertEqual((digest, size), ("sha256=" + expected.decode(), str(len(data))),
                             name)
        for arch in ARCHES:
            for name in DLLS + ("mirdu-run.exe",):
                self.assertEqual(files["mirdu/_files/%s/%s" % (arch, name)], self.read(
                    os.path.join(self.trees[0][0], "build", arch, name)), (arch, name))
        modes = {e.filename: e.external_attr >> 16 for e in entries}
        self.assertEqual(modes.pop("mirdu/_files/probe-32bit"), 0o100755)
        self.assertEqual(set(modes.values()), {0o100644})

if __name__ == "__main__":
    unittest.main(verbosity=2)
