"""The pytest plugin as a test rig uses it: the fixture `mirdu` runs the lane's programs in
the test session's one mirdu.Session, drives a GUI flash tool by steps, raises on a step that
cannot be done, shows a failing test's runs in its report, and under pytest -n 2 runs two
programs at once, each worker in a prefix of its own."""

import os

import pytest
from mirdu_test import BUILD, pattern

DEMO, GUI = (os.path.join(BUILD, n) for n in ("mirdu-demo.exe", "mirdu-client-gui.exe"))
TOOL = ["load:vendor.dll", "flashtool:Device Programmer", "unload"]


def test_the_demo_gives_its_calls_as_integers_and_its_capture(mirdu, tmp_path):
    result = mirdu.run(DEMO, timeout=60)
    assert result.status == 0
    buf = result.calls[7].args["buf"]
    assert [(c.name, c.args) for c in result.calls] == (
        [("KVTFindFirst", {"host": 0, "id": 0})]
        + [("KVTFindNext", {"host": 0, "id": i}) for i in range(1, 5)]
        + [("KVTFindClose", {}), ("KVTOpen", {"host": 0, "id": 0}),
           ("KVTWrite", {"buf": buf, "addr": 0x1000, "len": 256}),
           ("KVTRead", {"buf": buf, "addr": 0x1000, "len": 256}), ("KVTGo", {}), ("KVTClose", {})])
    [capture] = result.captures
    assert (capture.path, capture.number, capture.addr, capture.call, capture.data()) == (
        str(tmp_path / "captures" / "0000-kvtwrite-00001000.bin"), 0, 0x1000,
        result.calls[7], bytes(range(256)))
    assert (tmp_path / "mirdu.log").read_text().splitlines() == result.lines


@pytest.mark.parametrize("how", ["fill", "open"])
def test_a_flash_tool_driven_by_steps_writes_the_file_block_by_block(mirdu, tmp_path, how):
    firmware = pattern(1000, 7)
    path = tmp_path / "firmware.bin"
    path.write_bytes(firmware)
    with mirdu.start(GUI, *TOOL, as_dll="vendor.dll") as run:
        run.window("Device Programmer")
        if how == "fill":
            run.fill("Firmware file:", "Z:" + str(path).replace("/", "\\"))
        else:
            run.click("Browse...")
            run.open(path)
        run.click("Program device")
        assert run.answer("OK") == "Programming complete"
        run.close()
        result = run.wait(timeout=60)
    assert result.status == 0
    assert [(c.addr, c.call.args["len"], c.data()) for c in result.captures] == [
        (0x10000 + at, len(firmware[at:at + 256]), firmware[at:at + 256])
        for at in range(0, len(firmware), 256)]


def test_the_runs_methods_drive_a_device_tool_through_its_menu_tabs_lists_and_keys(mirdu,
                                                                                     tmp_path):
    firmware = pattern(300, 4)
    path = tmp_path / "firmware.bin"
    path.write_bytes(firmware)
    title = "Device Tool rig %d" % os.getpid()
    with mirdu.start(GUI, "forget:" + title, "load:vendor.dll", "devicetool:" + title, "unload",
                     "forget:" + title, as_dll="vendor.dll") as run:
        run.window("Device Tool")
        run.select("Device:", "USB1")
        assert run.menu("File>Open firmware") == 2001
        run.open(path)
        run.keys("^p")
        run.tab("Advanced")
        assert (run.check("Verify after writing"), run.check("Verify after writing")) == (
            True, False)
        assert run.uncheck("Erase before writing") is True
        run.select("Memory:", "Flash>Bank 0")
        run.keys("{HOME}", control="#3006")
        assert run.menu("File>Exit") == 2003
        result = run.wait(timeout=60)
    assert result.status == 0
    assert [(c.addr, c.data()) for c in result.captures] == [(0x20000, firmware)]


@pytest.mark.parametrize("preloaded", [False, True])
def test_a_tool_that_reads_back_runs_to_its_end_on_a_preloaded_memory(mirdu, tmp_path, preloaded):
    # The id as Intel HEX and the block to back up as raw bytes: without them the tool refuses.
    firmware, saved = pattern(600, 3), pattern(4096, 4)
    (tmp_path / "fw.bin").write_bytes(firmware)
    (tmp_path / "saved.bin").write_bytes(saved)
    (tmp_path / "id.hex").write_text(":0200000400FFFB\n:040000004D524455C4\n:00000001FF\n")
    win = {n: "Z:" + str(tmp_path / n).replace("/", "\\") for n in ("fw.bin", "backup.bin")}
    preload = [tmp_path / "id.hex", "%s@0x8000" % (tmp_path / "saved.bin")] if preloaded else []
    result = mirdu.run(GUI, "load:vendor.dll", "programmer:%(fw.bin)s|%(backup.bin)s" % win,
                       "unload", as_dll="vendor.dll", preload=preload)
    assert result.status == (0 if preloaded else 3)
    assert result.read_back == (4 + 600 + 4096 if preloaded else None)
    assert [c.name for c in result.calls][:2] == ["KVTOpen", "KVTRead"]
    assert len(result.captures) == (3 if preloaded else 0)
    if preloaded:
        assert (tmp_path / "backup.bin").read_bytes() == saved


def test_a_step_that_cannot_be_done_raises_with_the_windows(mirdu):
    with pytest.raises(mirdu.StepError) as caught:
        with mirdu.start(GUI, *TOOL, as_dll="vendor.dll", step_timeout=2) as run:
            run.window("Device Programmer", timeout=60)
            run.click("Erase chip")
    assert (caught.value.args[0], caught.value.status, caught.value.windows) == (
        'step 2 (click "Erase chip"): no such control in "Device Programmer" after 2 s; it has: '
        '"Browse...", "Erase before writing", "Verify after writing", "Program device" (disabled)',
        123, ['window "Device Programmer": "Firmware file:" "Ready." [Browse...] '
              '[Erase before writing] [Verify after writing] [Program device]'])


# Two tests that each keep a message box up until the other's is up too, and one that fails
# with its program stuck in one.
SIDE_BY_SIDE = """
import pathlib, time, pytest

@pytest.mark.parametrize("name", ["a", "b"])
def test_side_by_side(mirdu, name):
    here = pathlib.Path(__file__).parent
    with mirdu.start(%(gui)r, "msgbox:Waiting for " + name) as run:
        run.wait("Waiting for " + name, timeout=60)
        (here / name).write_text(mirdu.prefix)
        deadline = time.monotonic() + 90
        while not (here / ("b" if name == "a" else "a")).exists():
            assert time.monotonic() < deadline, "the other program did not run meanwhile"
            time.sleep(0.1)
        run.answer("OK")
        assert run.wait(timeout=60).status == 0

def test_stuck(mirdu):
    with mirdu.start(%(gui)r, "load", "KVTGo", "msgbox:Device not responding", "unload") as run:
        run.wait("Device not responding", timeout=60)
        pytest.fail("the device did not answer")
"""


def test_two_workers_run_at_once_and_a_failing_test_shows_its_run(pytester, monkeypatch,
                                                                      mirdu):
    # The prefix from the ini file's folder; each worker makes its own beside it the first time.
    pytester.makepyfile(SIDE_BY_SIDE % {"gui": GUI})
    pytester.makeini("[pytest]\nmirdu_prefix = %s\nmirdu_screenshots = yes\n"
                     % os.path.relpath(mirdu.prefix, pytester.path))
    monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    result = pytester.runpytest_subprocess("-p", "xdist.plugin", "-p", "mirdu.plugin", "-n", "2",
                                           timeout=180)
    result.assert_outcomes(passed=2, failed=1)
    assert sorted((pytester.path / n).read_text() for n in "ab") == [
        mirdu.prefix + "-gw0", mirdu.prefix + "-gw1"]
    result.stdout.fnmatch_lines([
        "*- mirdu run 1: mirdu-client-gui.exe -*",
        "stopped: the code that drove it failed (exit status 125)",
        "log */test_stuck0/mirdu.log, its last 4 lines:",
        "  KVTGo",
        "windows at the end:",
        '  window "mirdu-client": "Device not responding" ?OK?',
        "trace */test_stuck0/mirdu-trace.jsonl",
        "screenshot */test_stuck0/mirdu-screenshot.png"])
