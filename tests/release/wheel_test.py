"""The wheel as a user gets it: built by tools/dist into a temporary folder, installed with pip
(no index) into a fresh virtual environment, and used from a folder outside the checkout, so
that `import mirdu` can only find the installed package and the Windows files in its _files:
one run of this build's demo in the project's prefix and one with the installed memory build
(memory=True), the probe, both commands' --help, and pytest finding the installed plugin by its
entry point, as a rig's own tests use it, with a menu chosen through the hook of the wheel's
engine or of the other build beside it."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("MIRDU_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("MIRDU_BUILD") or os.path.join(SOURCE, "build", "win64")
PREFIX = os.environ.get("MIRDU_WINEPREFIX") or os.path.join(SOURCE, "build", "wineprefix")
TIMEOUT = 120

# Run by the virtual environment's Python: what the installed package did, as JSON.
USE = """
import json, sys
import mirdu
from mirdu import files, machine
r = mirdu.run(sys.argv[1], captures=sys.argv[2], prefix=sys.argv[3])
m = mirdu.run(sys.argv[4], captures=sys.argv[2], prefix=sys.argv[3], memory=True)
print(json.dumps({"package": mirdu.__file__, "engine": files.engine("win64"),
                  "probe": files.probe(), "why_32bit": machine.why_32bit_cannot_run(),
                  "status": r.status, "calls": [c.name for c in r.calls],
                  "captures": [list(c.data()) for c in r.captures],
                  "memory": [m.status, r.read_back, m.read_back, m.messages[-1]]}))
"""

# A rig's tests as README shows them, with the lane's demo and GUI client as the programs.
RIG = """
import pytest
from mirdu import StepError

TOOL = ["load:vendor.dll", "flashtool:Flash Tool", "unload"]


def test_the_demo_writes_one_block(mirdu):
    result = mirdu.run(%(demo)r)
    assert result.status == 0
    assert [c.name for c in result.calls][:2] == ["KVTFindFirst", "KVTFindNext"]
    (capture,) = result.captures
    assert (capture.addr, capture.data()) == (0x1000, bytes(range(256)))


def test_a_menu_is_chosen_by_the_hook_that_the_wheel_brings(mirdu):
    with mirdu.start(%(gui)r, "devicetool:Wheel Tool", "forget:Wheel Tool") as run:
        run.window("Wheel Tool", timeout=60)
        assert run.menu("File>Exit") == 2003
        assert run.wait(timeout=60).status == 0


def test_a_missing_button_says_what_there_is(mirdu):
    with pytest.raises(StepError) as failed:
        with mirdu.start(%(gui)r, *TOOL, as_dll="vendor.dll") as run:
            run.window("Flash Tool", timeout=60)
            run.click("Erase chip", timeout=2)
    assert "no such control" in str(failed.value)
"""


def run(command, cwd):
    env = {k: v for k, v in os.environ.items() if k not in (
        "PYTHONPATH", "PYTHONHOME", "PYTEST_DISABLE_PLUGIN_AUTOLOAD", "PYTEST_PLUGINS")}
    done = subprocess.run(command, cwd=cwd, env=dict(env, PIP_DISABLE_PIP_VERSION_CHECK="1"),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=TIMEOUT)
    if done.returncode != 0:
        raise AssertionError("%s failed (exit status %d):\n%s%s" % (
            " ".join(command), done.returncode, done.stdout[-2000:], done.stderr[-2000:]))
    return done.stdout


class Wheel(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="mirdu-wheel-")
        self.addCleanup(shutil.rmtree, self.top, ignore_errors=True)

    def test_installed_package_runs_the_demo(self):
        dist, venv = os.path.join(self.top, "dist"), os.path.join(self.top, "venv")
        run([sys.executable, os.path.join(SOURCE, "tools", "dist"), "--source", SOURCE,
             "--out", dist], self.top)
        wheel, = [os.path.join(dist, n) for n in os.listdir(dist) if n.endswith(".whl")]
        run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv], self.top)
        run([os.path.join(venv, "bin", "pip"), "install", "--no-index", wheel], self.top)

        # The memory run's demo alone in a folder: beside it in the build, mirdu.dll would be
        # loaded instead.
        alone = os.path.join(self.top, "demo", "mirdu-demo.exe")
        os.makedirs(os.path.dirname(alone))
        shutil.copy(os.path.join(BUILD, "mirdu-demo.exe"), alone)
        used = json.loads(run([os.path.join(venv, "bin", "python"), "-c", USE,
                               os.path.join(BUILD, "mirdu-demo.exe"),
                               os.path.join(self.top, "captures"), PREFIX, alone], self.top))
        for key in ("package", "engine", "probe"):
            self.assertTrue(used[key].startswith(venv + os.sep), "%s: %s" % (key, used[key]))
        probe = subprocess.run(["/bin/sh", os.path.join(SOURCE, "tools", "probe-32bit"),
                                "--wine"], stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        self.assertEqual(used["why_32bit"] is None, probe.returncode == 0, used["why_32bit"])
        self.assertEqual(used["status"], 0)
        self.assertEqual(len(used["calls"]), 11, used["calls"])
        self.assertEqual(used["captures"], [list(range(256))])
        # With the installed memory build: the demo reads its 256 bytes back from the memory.
        self.assertEqual(used["memory"][:3], [0, None, 256])
        self.assertIn(", memory on, 256 bytes read back, exit status 0", used["memory"][3])

        for command in ("mirdu-run", "mirdu-image"):
            shown = run([os.path.join(venv, "bin", command), "--help"], self.top)
            self.assertTrue(shown.startswith("usage: " + command), shown[:200])

        # The plugin loads by its entry point, as it does in a user's pytest.
        rig = os.path.join(self.top, "test_rig.py")
        with open(rig, "w") as f:
            f.write(RIG % {"demo": os.path.join(BUILD, "mirdu-demo.exe"),
                           "gui": os.path.join(BUILD, "mirdu-client-gui.exe")})
        shown = run([os.path.join(venv, "bin", "python"), "-m", "pytest", "-p",
                     "no:cacheprovider", "--mirdu-prefix", PREFIX, rig], self.top)
        self.assertRegex(shown, r"\n=+ 3 passed in ", shown[-2000:])


if __name__ == "__main__":
    unittest.main(verbosity=2)
