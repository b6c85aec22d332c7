"""mirdu-run as CI runs it: the lane's test client, standard input /dev/null, output to files,
no controlling terminal. The checks read what is left afterwards: the log, the captures, the
exit status and summary line, the program's folder, the prefix's system folder and drive F:.
mirdu-run.exe, the Windows runner of the lane, runs under Wine with only its standard input
on a pseudo-terminal (Wine gives a console to a program started from one)."""

import json
import os
import pathlib
import pexpect
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
from mirdu_test import (ARCH, BANNER, BUILD, CLIENT, DRIVE_F, PROMPT,  # noqa: E402
                        SOURCE, TIMEOUT, UNDERLINE, WINE, pattern, results, scratch)
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import mirdu.image as mirdu_image  # noqa: E402

RUNNER = os.path.join(SOURCE, "tools", "mirdu-run")
PREFIX = os.path.dirname(os.path.dirname(DRIVE_F))
OTHER_BUILD = os.path.join(SOURCE, "build", "win64" if ARCH == "win32" else "win32")
OTHER_DLL = os.path.join(OTHER_BUILD, "mirdu.dll")
OTHER_RUNS = os.path.exists(OTHER_DLL) and (ARCH == "win32" or subprocess.run(
    [os.path.join(SOURCE, "tools", "probe-32bit"), "--wine"],
    stdout=subprocess.DEVNULL).returncode == 0)   # a 32-bit client, where 32-bit Wine runs
SYSTEM = os.path.join(PREFIX, "drive_c", "windows", "syswow64" if ARCH == "win32" else "system32")
GUI_CLIENT = "mirdu-client-gui.exe"   # the same client as a GUI program: Windows gives it no console
NAME = "kvtlane.dll"
WRITE = "KVTWrite,0,buf:16:1,4096,16"
WRITE_LINE = r"KVTWrite : buf = [0-9A-F]{8}, addr = 00001000, len = 00000010\n"


def drive_f():
    """Drive F: of the prefix: a link and its target, a folder (inode, files) or nothing."""
    if os.path.islink(DRIVE_F):
        return ("link", os.readlink(DRIVE_F))
    if os.path.isdir(DRIVE_F):
        return ("folder", os.stat(DRIVE_F).st_ino, sorted(os.listdir(DRIVE_F)))
    return ("nothing", os.path.lexists(DRIVE_F))


def set_drive_f(kind, target=None):
    if os.path.isdir(DRIVE_F) and not os.path.islink(DRIVE_F):
        shutil.rmtree(DRIVE_F)
    elif os.path.lexists(DRIVE_F):
        os.unlink(DRIVE_F)
    if kind == "link":
        os.symlink(target, DRIVE_F)
    elif kind == "folder":
        os.mkdir(DRIVE_F)
        open(os.path.join(DRIVE_F, "keep.txt"), "w").close()


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def run_processes(marker, session=None):
    """Live processes whose command line holds marker (a step that only the run's client has);
    with session, only those of that session. An ended one waits for init as a zombie."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if (marker.encode() in f.read() and session in (None, os.getsid(int(pid)))
                        and read("/proc/%s/stat" % pid).rpartition(") ")[2][:1] != "Z"):
                    found.append(pid)
        except OSError:
            pass
    return found


def check_trace(test, path, status):
    """The trace of the typical run against its log: a record for each line in order, the
    calls with their values by name and the write's capture file, and the run's events."""
    with open(path, encoding="utf-8") as f:
        records = [json.loads(line) for line in f]
    test.assertEqual("".join(r["line"] + "\n" for r in records if "line" in r), read(test.log))
    test.assertEqual([(r["call"], r["args"], r.get("capture")) for r in records if "call" in r],
                     [("KVTGo", {}, None),
                      ("KVTWrite", {"buf": records[3]["args"]["buf"], "addr": "00001000",
                                    "len": "00000010"}, "0000-kvtwrite-00001000.bin")])
    test.assertEqual([r["event"] for r in records if "event" in r],
                     ["banner", "prompt", "key", "captures", "exit"])
    test.assertEqual(records[-1]["status"], status)
    test.assertEqual(sorted(r["t"] for r in records), [r["t"] for r in records])


def check_typical_run(test, capture, image):
    """What either runner leaves of the typical run: its console, the client's results, the
    capture, and an image of that capture alone, as mirdu-image writes it."""
    test.assertRegex(test.console(), "^%s%s%s$" % (
        re.escape(BANNER + UNDERLINE + "KVTGo\n"), WRITE_LINE, re.escape(PROMPT)))
    steps = [r for r in results(test.out) if not r.startswith(("console ", "window "))]
    test.assertEqual(steps[:5], [
        test.marker, "load ok", "KVTGo = 00000001", "KVTWrite = 00000010", "unload done"])
    with open(capture, "rb") as f:
        test.assertEqual(f.read(), pattern(16, 1))
    expected = os.path.join(test.folder, "expected-" + os.path.basename(image))
    mirdu_image.write_image(mirdu_image.assemble([capture]), expected)
    test.assertEqual(pathlib.Path(image).read_bytes(), pathlib.Path(expected).read_bytes())


class StepsCases:
    """Steps that drive the GUI client's flash tool, the same through either runner; path()
    names a file as that runner is given it."""

    def test_steps_drive_a_gui_tool_to_its_end_or_end_the_run_at_one_that_cannot_be_done(self):
        # From --do: the file typed into its box; from --steps: chosen in the Open dialog, and a
        # console line waited for. Each block of the file is one capture.
        files = scratch("steps-" + type(self).__name__)
        firmware = pattern(1000, 7)
        firmware_file = pathlib.Path(files, "firmware.bin")
        firmware_file.write_bytes(firmware)
        steps_file = pathlib.Path(files, "steps.txt")
        steps_file.write_text("# the standard dialog, then a console line\n\nclick Browse...\n"
                              "open '%s'\n  click 'Program device'\nwithin=30 wait 'addr = "
                              "00010300'\nanswer ok\nclose\n" % self.path(str(firmware_file)))
        do = ['window "Device Programmer"', "fill 'Firmware file:' 'Z:%s'"
              % str(firmware_file).replace("/", "\\"), 'click "Erase before writing"',
              'click "Program device"', 'wait "Programming complete"', "answer OK", "close"]
        tool = ["load", "flashtool:Device Programmer 5", "unload"]
        for how, options, count, erase in [
                ("do", [word for step in do for word in ("--do", step)], 7, 1),
                ("steps", ["--steps", self.path(str(steps_file))], 6, 0)]:
            with self.subTest(how):
                trace = os.path.join(files, how + ".jsonl")
                self.start("steps-" + how, options + ["--trace", self.path(trace)], tool,
                           client=GUI_CLIENT)
                code, errors = self.finish()
                self.assertEqual(code, 0, errors)
                self.assertIn("4 capture files written (1000 bytes), exit status 0", errors)
                self.assertIn("flashtool erase=%d blocks=4" % erase, results(self.out))
                self.assertEqual({n: read_bytes(os.path.join(self.captures, n))
                                  for n in os.listdir(self.captures)},
                                 {"%04d-kvtwrite-%08X.bin" % (i, 0x10000 + 256 * i):
                                  firmware[256 * i:256 * (i + 1)] for i in range(4)})
                with open(trace, encoding="utf-8") as f:
                    steps = [r for r in map(json.loads, f) if r.get("event") == "step"]
                self.assertEqual([(r["step"], r["ok"]) for r in steps],
                                 [(n, True) for n in range(1, count + 1)])
                self.assertEqual(steps[-2]["box"], "Programming complete")
                note = ('mirdu-run: message box "Device Programmer": "Programming complete", '
                        'answered [OK]\n')
                log = read(self.log)
                self.assertEqual((log.count(note), log.replace(note, "")), (1, read(self.stdout)))
        self.start("steps-failing", ["--step-timeout", "2", "--do", "within=60 window Device",
                                     "--do", 'click "Erase chip"'], tool, client=GUI_CLIENT)
        code, errors = self.finish()
        self.assertEqual(code, 123, errors)
        self.assertIn('mirdu-run: step 2 (click "Erase chip"): no such control in "Device '
                      'Programmer 5" after 2 s; it has: "Browse...", "Erase before writing", '
                      '"Verify after writing", "Program device" (disabled)\n', errors)
        self.assertIn(", step 2 failed (exit status 123)", errors)


    def test_the_device_tool_is_driven_through_every_new_verb_or_fails_with_what_it_has(self):
        # A run through every verb, for a client of each machine type: the one of the other
        # build has its menus read by the other build's hook and its items laid out for it. A
        # second run finds the check boxes as the first left them, and clicks neither. Then one
        # step of each family that cannot be done, and what it says.
        files = scratch("device-" + type(self).__name__)
        firmware = pattern(300, 9)
        firmware_file = pathlib.Path(files, "firmware.bin")
        firmware_file.write_bytes(firmware)
        steps = ['window "Device Tool"', 'keys "first line{ENTER}second line"',
                 "select Device: COM3", "select Target: EEPROM", 'menu "File>Open firmware"',
                 "open '%s'" % self.path(str(firmware_file)), "menu File>Program",
                 "tab Advanced", 'check "Verify after writing"', 'uncheck "Erase before writing"',
                 'select Memory: "Flash>Bank 1"', "select Region: Data", "keys ^p",
                 "menu File>Exit"]
        again = ['window "Device Tool"', "tab Advanced", 'check "Verify after writing"',
                 'uncheck "Erase before writing"', "close"]
        acted = [
            ("keys", "first line{Enter}second line"), ("item", {"text": "COM3", "index": 2}),
            ("item", {"text": "EEPROM", "index": 1}),
            ("item", {"text": "File>Open firmware...", "id": 2001}), ("item", None),
            ("item", {"text": "File>Program", "id": 2002}),
            ("item", {"text": "Advanced", "index": 1}), ("checked", (True, True)),
            ("checked", (False, True)), ("item", {"text": "Flash>Bank 1"}),
            ("item", {"text": "Data", "index": 2}), ("keys", "{Ctrl+P}"),
            ("item", {"text": "File>Exit", "id": 2003})]
        for build in (BUILD, OTHER_BUILD):
            with self.subTest(os.path.basename(build)):
                if build == OTHER_BUILD and not OTHER_RUNS:
                    self.skipTest("the other build is missing or cannot run here")
                title = "Device Tool %s %s %d" % (type(self).__name__, os.path.basename(build),
                                                  os.getpid())
                for run, (do, tool) in enumerate([
                        (steps, ["forget:" + title, "load", "devicetool:" + title, "unload"]),
                        (again, ["devicetool:" + title, "forget:" + title])]):
                    trace = os.path.join(files, "%s-%d.jsonl" % (os.path.basename(build), run))
                    self.start("device-%s-%d" % (os.path.basename(build), run),
                               ["--trace", self.path(trace)] +
                               [word for step in do for word in ("--do", step)], tool,
                               client=GUI_CLIENT, build=build)
                    code, errors = self.finish()
                    self.assertEqual(code, 0, errors)
                    with open(trace, encoding="utf-8") as f:
                        records = [r for r in map(json.loads, f) if r.get("event") == "step"]
                    self.assertEqual([(r["step"], r["ok"]) for r in records],
                                     [(n + 1, True) for n in range(len(do))])
                    if run == 0:
                        self.assertIn("devicetool device=COM3 target=EEPROM tab=Advanced memory="
                                      "Flash>Bank 1 region=Data verify=1 erase=0 clicks=2 "
                                      "programmed=2 notes=first line|second line",
                                      results(self.out))
                        self.assertEqual({n: read_bytes(os.path.join(self.captures, n))
                                          for n in os.listdir(self.captures)},
                                         {"0000-kvtwrite-00020000.bin": firmware,
                                          "0001-kvtwrite-00020000.bin": firmware})
                        self.assertEqual([(r["control"]["class"], r["control"]["id"])
                                          for r in records[1:4]],
                                         [("Edit", 3003), ("ComboBox", 3001), ("ListBox", 3002)])
                        self.assertEqual(
                            [(r.get("checked"), r.get("changed")) if field == "checked" else
                             r.get(field) for (field, _), r in zip(acted, records[1:])],
                            [value for _, value in acted])
                    else:
                        self.assertEqual(results(self.out)[1:3], [
                            "devicetool device= target= tab=Advanced memory= region= verify=1 "
                            "erase=0 clicks=0 programmed=0 notes=", "forget done"])
                        self.assertEqual([(r["checked"], r["changed"]) for r in records[2:4]],
                                         [(True, False), (False, False)])
        title = "Device Tool %s %d" % (type(self).__name__, os.getpid())
        for step, shown, message in [
                ("menu File>Program", 'menu "File>Program"', 'the item "Program" in the menu '
                 '"File" of "%s" is disabled after 2 s; it has: "Open firmware...", "Program" '
                 '(disabled), "Exit"'),
                ("keys #3999 abc", 'keys "#3999" "abc"', 'no control #3999 in "%s" after 2 s'),
                ("select Device: COM9", 'select "Device:" "COM9"', 'no item "COM9" in the combo '
                 'box "Device:" of "%s" after 2 s; it has: "USB0", "USB1", "COM3"'),
                ("tab Expert", 'tab "Expert"', 'no tab "Expert" of "%s" after 2 s; it has: '
                 '"General", "Advanced"'),
                ('check "Verify after writing"', 'check "Verify after writing"', '"Verify after '
                 'writing" in "%s" is still hidden after 2 s')]:
            with self.subTest(step):
                self.start("device-failing-" + step.split()[0],
                           ["--step-timeout", "2", "--do", 'within=60 window "Device Tool"',
                            "--do", step], ["devicetool:" + title, "forget:" + title],
                           client=GUI_CLIENT)
                code, errors = self.finish()
                self.assertEqual(code, 123, errors)
                self.assertIn("mirdu-run: step 2 (%s): %s\n" % (shown, message % title), errors)
                self.assertIn(", step 2 failed (exit status 123)", errors)

    def test_wines_notepad_winecfg_and_regedit_are_driven_by_menus_keys_combo_and_tree(self):
        # Programs that nobody here wrote, of this lane's machine type: notepad types two lines,
        # saves them through File>Save As and ends through File>Exit; winecfg (which starts
        # itself again as a 64-bit program) chooses another Windows version, which the prefix
        # then holds, and the version it had is chosen again afterwards.
        folder = "syswow64" if ARCH == "win32" else "system32"
        files = scratch("wine-programs-" + type(self).__name__)
        saved = os.path.join(files, "saved.txt")
        self.start("notepad", ["--do", "window Notepad", "--do", 'keys "line one{ENTER}line two"',
                               "--do", 'menu "File>Save As..."', "--do",
                               "open '%s'" % self.path(saved), "--do", "menu File>Exit"], [],
                   own=(folder, "notepad.exe"))
        code, errors = self.finish()
        self.assertEqual(code, 0, errors)
        self.assertEqual(read_bytes(saved), b"line one\r\nline two")
        self.assertEqual(run_processes("notepad.exe", self.runner.pid), [])

        def product():
            query = os.path.join(files, "query.txt")
            with open(query, "w") as out:
                subprocess.run([WINE, "reg", "query", r"HKLM\Software\Microsoft\Windows NT"
                                r"\CurrentVersion", "/v", "ProductName"], stdin=subprocess.DEVNULL,
                               stdout=out, stderr=subprocess.STDOUT, timeout=TIMEOUT)
            found = re.search(r"ProductName\s+REG_SZ\s+Microsoft (.*\S)", read(query))
            self.assertTrue(found, read(query))
            return found.group(1)

        def choose(version):
            trace = os.path.join(files, "winecfg.jsonl")
            self.start("winecfg-" + version.replace(" ", ""),
                       ["--trace", self.path(trace), "--do", 'window "Wine configuration"',
                        "--do", 'select "Windows Version:" "%s"' % version, "--do", "click OK"],
                       [], own=(folder, "winecfg.exe"))
            code, errors = self.finish()
            self.assertEqual(code, 0, errors)
            with open(trace, encoding="utf-8") as f:
                chose = [r for r in map(json.loads, f) if r.get("step") == 2]
            self.assertEqual([r["item"]["text"] for r in chose], [version])
            self.assertEqual(product(), version)
            return chose[0]["control"]["text"]   # the combo box's text before

        had = product()
        other = "Windows 8.1" if had == "Windows 10" else "Windows 10"
        try:
            self.assertEqual(choose(other), had)
        finally:
            self.assertEqual(choose(had), other)

        # regedit's tree has one root, "My Computer", which a path may leave out; a level that
        # is not there fails with the path walked and the items under it.
        trace = os.path.join(files, "regedit.jsonl")
        for key, status in [("HKEY_CURRENT_USER>Software", 0), ("HKEY_CURRENT_USER>Nope", 123)]:
            self.start("regedit-" + str(status),
                       ["--trace", self.path(trace), "--step-timeout", "2", "--do",
                        'window "Registry Editor"', "--do", 'select #2002 "%s"' % key, "--do",
                        "close"], [], own=(folder, "regedit.exe") if ARCH == "win32" else
                       ("regedit.exe",))
            code, errors = self.finish()
            self.assertEqual(code, status, errors)
            with open(trace, encoding="utf-8") as f:
                chose = [r for r in map(json.loads, f) if r.get("step") == 2]
            if status == 0:
                self.assertEqual([r["item"]["text"] for r in chose],
                                 ["My Computer>HKEY_CURRENT_USER>Software"])
            else:
                self.assertIn('no item "Nope" under "My Computer>HKEY_CURRENT_USER" in the tree '
                              'view #2002 of "Registry Editor" after 2 s; it has: ', errors)
                self.assertIn('"Software"', errors)


def windows_name(path):
    """A Linux path as the client program names it, on drive Z:."""
    return "Z:" + path.replace("/", "\\")


def masked(log):
    """A log with the buffers' addresses left out, which may differ from one run to the next."""
    return re.sub(r"buf = [0-9A-F]{8}", "buf = ?", log)


def device_tool_files(folder):
    """The programmer's firmware, what the memory should give it to back up, the id in Intel
    HEX (with other bytes where the backup is), a HEX file with a bad checksum; the paths by
    name and the bytes to back up."""
    paths = {n: os.path.join(folder, n) for n in ("fw.bin", "saved.bin", "id.hex", "bad.hex",
                                                  "backup.bin")}
    saved = pattern(1000, 10)
    pathlib.Path(paths["fw.bin"]).write_bytes(pattern(1000, 9))
    pathlib.Path(paths["saved.bin"]).write_bytes(saved)
    pathlib.Path(paths["id.hex"]).write_bytes(b"".join(mirdu_image.hex_records(
        [(0x8000, b"OLD!"), (0x00FF0000, b"MRDU")])))
    pathlib.Path(paths["bad.hex"]).write_bytes(b":0400000001020304F1\n:00000001FF\n")
    return paths, saved


class MemoryCases:
    """--memory and --preload, the same through either runner: tools that read refuse, or end in
    "Verify failed", without a device memory, and run to their end with one."""

    def test_a_tool_that_reads_an_id_verifies_and_backs_up_needs_a_preloaded_memory(self):
        # The id from Intel HEX; the block to back up from raw bytes, over the first bytes of
        # which the HEX file put other ones: the later preload wins, said once. A bad file is
        # refused before the program starts.
        files = scratch("memory-tool-" + type(self).__name__)
        paths, saved = device_tool_files(files)
        tool = ["load", "programmer:%s|%s" % (windows_name(paths["fw.bin"]),
                                              windows_name(paths["backup.bin"])), "unload"]
        raw = self.path(paths["saved.bin"]) + "@0x8000"
        for name, options, status, said in [
                ("none", [], 3, "programmer refused"),
                ("preload", ["--preload", self.path(paths["id.hex"]), "--preload", raw], 0,
                 "programmer done blocks=4 backup=4096"),
                ("bad", ["--preload", self.path(paths["bad.hex"])], 125, None),
                ("not-the-memory-build", ["--memory", "--dll", os.path.join(BUILD, "mirdu.dll")],
                 3, "programmer refused")]:
            with self.subTest(name):
                trace = os.path.join(files, name + ".jsonl")
                self.start("memory-" + name, options + ["--trace", self.path(trace)], tool)
                code, errors = self.finish()
                self.assertEqual(code, status, errors)
                if said is None:
                    self.assertRegex(errors, r"(?m)^mirdu-run: --preload .*bad\.hex: line 1: "
                                     r"checksum F1, but the record's bytes want F2$")
                    self.assertFalse(os.path.exists(self.out), "the program ran")
                    continue
                self.assertIn(said, results(self.out))
                read_back = 5100 if status == 0 else 4
                memory = ", memory on, %d bytes read back" % read_back if options else ""
                self.assertIn("%d capture files written (%d bytes)%s, exit status %d" % (
                    4 if status == 0 else 0, 1000 if status == 0 else 0, memory, status), errors)
                with open(trace, encoding="utf-8") as f:
                    self.assertEqual(json.loads(f.read().splitlines()[-1]).get("memory"),
                                     {"read_back": read_back} if options else None)
                self.assertEqual("never opened the run's device memory, so its reads answered "
                                 "nothing: use the memory build, mirdu-memory.dll" in errors,
                                 name == "not-the-memory-build", errors)
                if status != 0:
                    continue
                note = ("mirdu-run: preload %s replaces 4 bytes of the preloads before it "
                        "(00008000-00008003)\n" % raw)
                self.assertEqual((errors.count("mirdu-run: preload "), errors.count(note)), (1, 1),
                                 errors)
                self.assertTrue(read(self.log).startswith(note), read(self.log))
                self.assertEqual(read_bytes(paths["backup.bin"]), saved + b"\xFF" * 3096)
                # Reads fill the buffer, and print what mirdu.dll prints.
                reads = "".join("KVT%sRead : buf = ?, addr = %08X, len = 00000%s\n" % (
                    "Sync" if i % 2 else "", 0x10000 + 256 * i, "100" if i < 3 else "0E8")
                    for i in range(4))
                self.assertEqual(masked(read(self.stdout)), BANNER + UNDERLINE + (
                    "KVTOpen : host = 0, id = 0\nKVTRead : buf = ?, addr = 00FF0000, len = "
                    "00000004\n") + "".join("KVTWrite : buf = ?, addr = %08X, len = 00000%s\n" % (
                        0x10000 + 256 * i, "100" if i < 3 else "0E8") for i in range(4)) + reads +
                    "KVTSyncRead : buf = ?, addr = 00008000, len = 00001000\n" + PROMPT)

    def test_a_second_load_reads_what_the_first_wrote(self):
        # The memory lives for the run, not for a load; mirdu.dll's reads deliver nothing.
        steps = ["load", "KVTWrite,0,buf:16:1,4096,16", "unload", "load",
                 "KVTRead,0,expect:16:1,4096,16", "KVTSyncRead,0,expect:16:1,4096,16", "unload"]
        for client in (CLIENT, GUI_CLIENT):
            for options, read in [([], "0"), (["--memory"], "1")]:
                with self.subTest(client=client, options=options):
                    self.start("reload-memory-%d-%s" % (len(options), client), options, steps,
                               client=client)
                    code, errors = self.finish()
                    self.assertEqual(code, 0, errors)
                    self.assertEqual([r for r in results(self.out) if "Read = " in r],
                                     ["KVTRead = 00000010 expected=" + read,
                                      "KVTSyncRead = 00000001 expected=" + read])
                    self.assertEqual(read_bytes(os.path.join(
                        self.captures, "0000-kvtwrite-00001000.bin")), pattern(16, 1))

    def test_the_flash_tools_verify_fails_without_a_memory_and_succeeds_with_one(self):
        # The same calls either way, so the same log but for the buffers' addresses.
        files = scratch("memory-verify-" + type(self).__name__)
        firmware = pathlib.Path(files, "firmware.bin")
        firmware.write_bytes(pattern(1000, 7))
        steps = ["window 'Device Programmer'", "fill 'Firmware file:' '%s'"
                 % windows_name(str(firmware)), "click 'Verify after writing'",
                 "click 'Program device'", "answer OK", "close"]
        logs = []
        for options, box, said in [([], "Verify failed at 0x00010000",
                                    "flashtool verify failed at 00010000"),
                                   (["--memory"], "Programming complete", "flashtool verify ok")]:
            with self.subTest(options=options):
                trace = os.path.join(files, "trace%d.jsonl" % len(logs))
                self.start("verify-%d" % len(logs), options + ["--trace", self.path(trace)] + [
                    w for step in steps for w in ("--do", step)],
                    ["load", "flashtool:Device Programmer", "unload"], client=GUI_CLIENT)
                code, errors = self.finish()
                self.assertEqual(code, 0, errors)
                with open(trace, encoding="utf-8") as f:
                    answered = [r for r in map(json.loads, f) if r.get("event") == "step"][4]
                self.assertEqual((answered["ok"], answered["box"]), (True, box))
                self.assertIn(said, results(self.out))
                logs.append(masked(read(self.stdout)))
        self.assertEqual(logs[0], logs[1])
        self.assertEqual(logs[0].count("KVTRead : "), 4)


def own_lines(count):
    """What the client's lines:N prints: the K-th line K characters long, ending in "|"."""
    return "".join("".join(chr(97 + (i * 7 + k) % 26) for i in range(k - 1)) + "|\n"
                   for k in range(1, count + 1))


class FaultCases:
    """Runs that go wrong or near the edges, the same through either runner."""

    def test_long_lines_and_a_second_load_come_whole_and_in_order(self):
        # Lines of 1 to 1,000 characters between the library's lines; a reload frees the
        # program's console, and both loads' lines come, both prompts answered.
        for name, steps, shown in [
                ("lines", ["load", "lines:1000", "unload"],
                 BANNER + UNDERLINE + own_lines(1000) + PROMPT),
                ("reload", ["load", "KVTGo", "unload"] * 2,
                 (BANNER + UNDERLINE + "KVTGo\n" + PROMPT) * 2)]:
            with self.subTest(name):
                self.start("whole-" + name, ["--timeout", "30"], steps)
                code, errors = self.finish()
                self.assertEqual(code, 0, errors)
                self.assertEqual(self.console(), shown)
                self.assertEqual(results(self.out).count("unload done"), steps.count("unload"))

    def test_a_crash_ends_the_run_at_once_and_is_named(self):
        # Before the reader's first read and after the calls: no dialog waits (the run ends
        # long before its timeout), the lines written before the crash are logged.
        for calls, steps in [(1, ["KVTGo", "crash"]), (2, ["KVTGo", "KVTGo", "sleep:300",
                                                            "crash"])]:
            with self.subTest(calls=calls):
                began = time.monotonic()
                self.start("crash-%d" % calls, ["--timeout", "30"], ["load"] + steps,
                           client=GUI_CLIENT)
                code, errors = self.finish()
                self.assertLess(time.monotonic() - began, 10, errors)
                self.assertEqual(code, 0xC0000005 & 0xFF, errors)
                crashed = ("mirdu-run: %s crashed: access violation (0xC0000005) in %s (+0x"
                           % (GUI_CLIENT, GUI_CLIENT))
                self.assertRegex(errors, "(?m)^%s[0-9A-F]+\\), the program's own code, not "
                                 "the library$" % re.escape(crashed))
                shown = BANNER + UNDERLINE + "KVTGo\n" * calls
                self.assertEqual(read(self.stdout), shown)
                self.assertTrue(read(self.log).startswith(shown + crashed), read(self.log))
                self.assertNotIn("Program Error", errors + read(self.log))


class RunTool(StepsCases, FaultCases, MemoryCases, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.saved_f = os.readlink(DRIVE_F) if os.path.islink(DRIVE_F) else None

    @classmethod
    def tearDownClass(cls):
        set_drive_f("link" if cls.saved_f else "nothing", cls.saved_f)

    def start(self, name, options, steps, drive="link", extra=None, out=True, setup=None,
              client=CLIENT, build=BUILD, runner=RUNNER, own=None):
        """Starts mirdu-run on a copy of the client alone in a folder. extra: a file to make
        first (a path in the test's folder, or absolute) that holds something else than a DLL.
        Without out the client prints its results on the console. drive None leaves drive F:
        as it is; setup is called before the run starts. own: a program of Wine's own instead,
        by its path in C:\\windows, run with no arguments."""
        self.folder = scratch("run-" + name)
        self.program = os.path.join(self.folder, "program")
        os.mkdir(self.program)
        shutil.copy(os.path.join(build, client), self.program)
        self.extra = extra and os.path.join(self.folder, extra)
        if self.extra:
            with open(self.extra, "w") as f:
                f.write("not mirdu")
        if drive:
            set_drive_f(drive, self.folder)
        self.before = (drive_f(), sorted(os.listdir(self.program)),
                       os.path.lexists(os.path.join(SYSTEM, NAME)))
        self.captures, self.log, self.out, stdout = (
            os.path.join(self.folder, n) for n in ("f", "console.log", "out.txt", "stdout.txt"))
        if setup:
            setup()
        command = [runner, "--prefix", PREFIX, "--captures", self.captures, "--log", self.log]
        # Wine's own programs are told by their name, which no other process of the test has.
        self.marker = own[-1] if own else "run-%s-%d" % (name, os.getpid())
        options = [os.path.join(self.folder, o) if o == "not-a-prefix" else o for o in options]
        if own:
            command += options + ["--", os.path.join(PREFIX, "drive_c", "windows", *own)]
        else:
            command += options + ["--", os.path.join(self.program, client)]
            command += (["--out", self.out] if out else []) + ["mark:" + self.marker] + steps
        with open(stdout, "wb") as f:
            self.runner = subprocess.Popen(command, cwd=self.folder, stdin=subprocess.DEVNULL,
                                           stdout=f, stderr=subprocess.PIPE,
                                           start_new_session=True)
        self.addCleanup(self.runner.kill)
        self.stdout = stdout

    def finish(self):
        """Waits for mirdu-run; checks that the run left the prefix and the program's folder
        as they were and no process of its own. Returns (exit status, standard error)."""
        errors = self.runner.communicate(timeout=TIMEOUT)[1].decode()
        self.assertEqual((drive_f(), sorted(os.listdir(self.program)),
                          os.path.lexists(os.path.join(SYSTEM, NAME))), self.before, errors)
        deadline = time.monotonic() + 5
        while run_processes(self.marker) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(run_processes(self.marker), [])
        return self.runner.returncode, errors

    def path(self, path):
        return path

    def captured(self):
        """Everything in the capture folder, hidden entries too: name -> bytes."""
        return {n: read_bytes(os.path.join(self.captures, n)) for n in os.listdir(self.captures)}

    def console(self):
        log = read(self.log)
        self.assertEqual(read(self.stdout), log)   # the same plain lines, as they came
        return log

    def test_runs_the_program_with_the_library_under_its_name(self):
        # The client's own status passes through: it ends with 2 on a load that fails. The
        # image holds what this run wrote, not the capture an earlier run left in the folder.
        # The GUI client shows a window (no display, no terminal) and has no console until the
        # library opens one. The trace tells the same run as the log.
        earlier = "0001-kvtwrite-00002000.bin"
        window = ["console", "window:Flash Tool 2.1"]
        for client, drive, first, last, status, image in [
                (CLIENT, "link", [], [], 0, "image.hex"),
                (CLIENT, "folder", [], ["load:absent.dll"], 2, "image.bin"),
                (GUI_CLIENT, "link", window, ["console"], 0, "image.ihex")]:
            with self.subTest(client=client, drive=drive):
                self.start("as-%s-%s" % (drive, client),
                           ["--as", NAME, "--image", image, "--trace", "trace.jsonl"],
                           first + ["load:" + NAME, "KVTGo", WRITE, "unload"] + last, drive,
                           setup=lambda: os.makedirs(self.captures) or pathlib.Path(
                               self.captures, earlier).write_bytes(b"earlier run"),
                           client=client)
                code, errors = self.finish()
                self.assertEqual(code, status, errors)
                check_trace(self, os.path.join(self.folder, "trace.jsonl"), status)
                if client == GUI_CLIENT:
                    self.assertEqual([r for r in results(self.out) if r.startswith(
                        ("console ", "window ", "load "))], ["console no", "window ok", "load ok",
                                                             "console no"])
                capture = os.path.join(self.captures, "0000-kvtwrite-00001000.bin")
                check_typical_run(self, capture, os.path.join(self.folder, image))
                self.assertEqual(sorted(os.listdir(self.captures)), [os.path.basename(capture),
                                                                     earlier])
                self.assertEqual(errors, "mirdu-run: image %s written\nmirdu-run: 2 calls "
                                 "logged, 1 capture file written (16 bytes), exit status %d, "
                                 "log %s\n" % (os.path.join(self.folder, image), status,
                                               self.log))

    def test_refuses_before_anything_runs(self):
        system_file = os.path.join(SYSTEM, NAME)
        cases = [("program-folder", ["--as", NAME], "program/KVTLANE.DLL"),
                 ("program-folder-mirdu", [], "program/mirdu.dll"),
                 ("system-folder", ["--as", NAME], system_file),
                 ("wrong-dll", ["--dll", OTHER_DLL], None),
                 ("not-a-prefix", ["--prefix", "not-a-prefix"], "not-a-prefix")]
        for name, options, extra in cases:
            with self.subTest(name):
                if name == "wrong-dll" and not os.path.exists(OTHER_DLL):
                    self.skipTest("no " + OTHER_DLL)
                if extra == system_file:
                    self.addCleanup(os.unlink, system_file)
                self.start(name, options, ["load:" + NAME], extra=extra)
                code, errors = self.finish()
                self.assertEqual(code, 125, errors)
                self.assertFalse(os.path.exists(self.out), "the program ran")
                if self.extra:
                    # Named as Wine names it from Linux: C: through the prefix's dosdevices.
                    named = re.search(r"^mirdu-run: (.*) would be loaded", errors, re.M)
                    self.assertIn(os.path.realpath(self.extra), [
                        os.path.realpath(named.group(1)) if named else None] + [
                        self.extra if self.extra in errors else None], errors)
                    self.assertEqual(read(self.extra), "not mirdu")
                    self.assertFalse(os.path.exists(self.extra + ".lock"))
                else:
                    self.assertRegex(errors, r"is a (32|64)-bit DLL but .* is a (64|32)-bit")

    def test_a_path_beyond_the_basic_multilingual_plane_reaches_windows_whole(self):
        # Python's json writes such a character as two escapes, a surrogate pair.
        trace = "trace-\U0001F40D.jsonl"
        self.start("astral", ["--as", NAME, "--trace", trace], ["load:" + NAME, "KVTGo"])
        code, errors = self.finish()
        self.assertEqual(code, 0, errors)
        self.assertIn(trace, os.listdir(self.folder), errors)
        self.assertIn('"call": "KVTGo"', read(os.path.join(self.folder, trace)))

    def test_a_run_waits_for_another_on_the_prefix_but_not_for_ever(self):
        from mirdu.options import Failure
        from mirdu.prefix import Prefix
        holder = Prefix(PREFIX)
        holder.lock()
        try:
            self.start("lock-wait", ["--as", NAME], ["load:" + NAME])
            time.sleep(1.5)
            self.assertIsNone(self.runner.poll(), "the run did not wait")
            self.assertFalse(os.path.exists(self.out), "the program ran")
            with self.assertRaises(Failure) as refused:
                Prefix(PREFIX).lock(patience=0.3)
            self.assertEqual(str(refused.exception), "another run (process %d) has "
                             "held %s for 0.3 s; give --prefix another folder, or end that run"
                             % (os.getpid(), PREFIX))
        finally:
            holder.unlock()
        code, errors = self.finish()
        self.assertEqual(code, 0, errors)
        self.assertIn("mirdu-run: waiting for another run on %s (process %d) (one run at a "
                      "time uses a prefix)\n" % (PREFIX, os.getpid()), errors)
        self.assertIn("load ok", results(self.out))

    def test_an_engine_that_ends_before_it_is_ready_leaves_everything_as_it_was(self):
        # The package beside builds whose mirdu-run.exe is a program that knows no --serve: both
        # builds, since the engine's build follows the prefix, not the program or the lane.
        tree = scratch("engine-gone")
        shutil.copytree(os.path.join(SOURCE, "tools", "mirdu"), os.path.join(tree, "tools", "mirdu"))
        shutil.copy(RUNNER, os.path.join(tree, "tools"))
        for build in ("win32", "win64"):
            os.makedirs(os.path.join(tree, "build", build))
            shutil.copy(os.path.join(BUILD, CLIENT), os.path.join(tree, "build", build,
                                                                  "mirdu-run.exe"))
        self.start("engine-gone", [], ["load"], runner=os.path.join(tree, "tools", "mirdu-run"))
        code, errors = self.finish()
        self.assertEqual(code, 125, errors)
        self.assertRegex(errors, r"\nmirdu-run: mirdu-run.exe ended before it was ready \(exit "
                         r"status \d+\)\n$")
        self.assertEqual(os.listdir(self.captures), [])   # no staging folder left in it
        self.assertFalse(os.path.exists(self.out), "the program ran")

    def test_a_32bit_program_where_none_can_run_is_refused_with_the_cause(self):
        # The probe answers no as a kernel without 32-bit support would: in the win64 lane the
        # 32-bit program is the other build's client.
        build = BUILD if ARCH == "win32" else OTHER_BUILD
        if not os.path.exists(os.path.join(build, CLIENT)):
            self.skipTest("no " + os.path.join(build, CLIENT))
        with mock.patch.dict(os.environ, MIRDU_NO_32BIT="1"):
            self.start("no-32bit", ["--as", NAME], ["load:" + NAME], build=build)
        code, errors = self.finish()
        self.assertEqual(code, 127, errors)
        self.assertEqual(errors, "mirdu-run: %s is a 32-bit program and cannot run here: "
                         "MIRDU_NO_32BIT=1 is set: treated as a machine that does not run "
                         "32-bit programs, which no package changes\n"
                         % os.path.join(self.program, CLIENT))
        self.assertFalse(os.path.exists(self.out), "the program ran")

    def test_timeout_and_signals_end_the_run_and_the_log_keeps_what_it_showed(self):
        for how, options, status, ended in [
                ("timeout", ["--timeout", "8"], 124, "timed out after 8 s"),
                ("SIGTERM", [], 143, "stopped by SIGTERM"),
                ("SIGINT", [], 130, "stopped by SIGINT")]:
            with self.subTest(how):
                self.start(how, ["--as", NAME] + options,
                           ["load:" + NAME, "KVTGo", "sleep:600000", "unload"], "nothing",
                           out=False)
                # The client's own lines: Wine draws their spaces with cursor moves.
                shown = BANNER + UNDERLINE + "load ok\nKVTGo\nKVTGo = 00000001\n"
                if how != "timeout":
                    deadline = time.monotonic() + TIMEOUT
                    while shown not in read(self.log) and time.monotonic() < deadline:
                        time.sleep(0.1)
                    self.runner.send_signal(getattr(signal, how))
                code, errors = self.finish()
                self.assertEqual(code, status, errors)
                self.assertEqual(self.console(), self.marker + "\n" + shown)
                self.assertIn(", %s (exit status %d)," % (ended, status), errors)

    def test_staging_ends_as_a_plain_run_and_falls_back_where_it_cannot(self):
        # A reload numbers from 0000 again: its capture replaces the first load's, and the
        # one that was there before the run.
        steps = ["load:" + NAME, WRITE, "KVTSyncWrite,0,buf:8:2,4096,8", "unload",
                 "load:" + NAME, "KVTWrite,0,buf:32:3,4096,32", "unload"]
        old = "0000-kvtwrite-00001000.bin"

        def earlier_run(unreplaceable):
            os.mkdir(self.captures)
            with open(os.path.join(self.captures, old), "w") as f:
                f.write("earlier run")
            if unreplaceable:
                make_unreplaceable(self, os.path.join(self.captures, old))
        folders = {}
        for how, options in (("plain", ["--no-staging"]), ("staged", []), ("unreplaceable", [])):
            with self.subTest(how):
                self.start("staging-" + how, ["--as", NAME] + options, steps,
                           setup=lambda: earlier_run(how == "unreplaceable"))
                code, errors = self.finish()
                self.assertEqual(code, 0, errors)
                folders[how] = self.captured()
                self.assertEqual("(no staging): %s/%s" % (self.captures, old) in errors,
                                 how == "unreplaceable", errors)
        self.assertEqual(folders["staged"], folders["plain"])
        self.assertEqual(folders["staged"], {old: pattern(32, 3),
                                             "0001-kvtsyncwrite-00001000.bin": pattern(8, 2)})
        self.assertEqual(folders["unreplaceable"][old], b"earlier run")
        self.assertIn("Error creating file !", read(self.log))

    def test_interactive_leaves_the_prompt_to_the_keyboard_on_a_raw_terminal(self):
        folder = scratch("run-interactive")
        child = pexpect.spawn(RUNNER, ["--prefix", PREFIX, "--captures", os.path.join(folder, "f"),
                                       "--interactive", "--", os.path.join(BUILD, CLIENT),
                                       "load", "KVTGo", "unload"], cwd=folder, timeout=TIMEOUT)
        self.addCleanup(child.close, force=True)
        child.expect_exact("Press ENTER to close this window")
        time.sleep(0.5)
        self.assertTrue(child.isalive(), "the prompt was not left to the keyboard")
        child.send("\r")
        child.expect(pexpect.EOF)
        child.close()
        self.assertEqual(child.exitstatus, 0)
        # The terminal is raw while the keys pass: the summary's line returns the cursor too.
        self.assertRegex(child.before.decode(), r"\r\nmirdu-run: 1 call logged, 0 capture "
                         r"files written \(0 bytes\), exit status 0\r\n$")

    def test_an_engine_killed_mid_run_ends_the_run_at_once_and_says_so(self):
        self.start("engine-killed", [], ["load", "KVTGo", "sleep:600000", "unload"],
                   client=GUI_CLIENT)
        wait_for(lambda: read(self.log).endswith("KVTGo\n"))
        engines = [pid for pid in run_processes("--serve")
                   if read("/proc/%s/stat" % pid).rpartition(") ")[2].split()[1]
                   == str(self.runner.pid)]
        self.assertEqual(len(engines), 1, engines)
        os.kill(int(engines[0]), signal.SIGKILL)
        killed = time.monotonic()
        code, errors = self.finish()
        self.assertLess(time.monotonic() - killed, 5, errors)
        self.assertEqual(code, 125, errors)
        self.assertEqual(errors, "mirdu-run: mirdu-run.exe ended before the run did (killed by "
                         "SIGKILL): the program was ended, and lines may be missing from the "
                         "log\n")

    def test_a_run_killed_outright_loses_no_capture(self):
        """The runner is stopped, so that the files stay in staging, then killed; the next
        run on the prefix moves them where they belong."""
        count = 20
        writes = ["KVTWrite,0,buf:16:%d,%d,16" % (i + 1, i * 16) for i in range(count)]
        self.start("killed", ["--as", NAME], ["load:" + NAME, "sleep:1500"] + writes
                   + ["sleep:600000"])
        killed_captures, killed_before = self.captures, self.before
        wait_for(lambda: "load ok" in read(self.out))
        self.runner.send_signal(signal.SIGSTOP)
        wait_for(lambda: read(self.out).count("KVTWrite =") == count)
        self.runner.kill()
        self.runner.wait(timeout=TIMEOUT)
        wait_for(lambda: not run_processes(self.marker))
        staging = [n for n in os.listdir(killed_captures) if n.startswith(".mirdu-run-staging-")]
        self.assertEqual(len(os.listdir(os.path.join(killed_captures, *staging))), count)

        self.start("after-killed", ["--as", NAME], ["load:" + NAME, "unload"], drive=None)
        self.before = (killed_before[0], self.before[1], killed_before[2])
        code, errors = self.finish()
        self.assertEqual(code, 0, errors)
        self.assertRegex(errors, r"moved %d files that a killed run .* into %s\n"
                         % (count, re.escape(killed_captures)))
        self.captures = killed_captures
        self.assertEqual(self.captured(), {"%04d-kvtwrite-%08X.bin" % (i, i * 16):
                                           pattern(16, i + 1) for i in range(count)})


def wait_for(condition):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.1)


def make_unreplaceable(test, path):
    if os.geteuid() != 0:   # root writes past mode bits, not past the immutable flag
        os.chmod(path, 0o444)
    elif subprocess.run(["chattr", "+i", path], stderr=subprocess.DEVNULL).returncode != 0:
        test.skipTest("cannot set the immutable flag on " + path)
    else:
        test.addCleanup(subprocess.run, ["chattr", "-i", path])


class WindowsRunTool(StepsCases, FaultCases, MemoryCases, unittest.TestCase):
    """mirdu-run.exe: drive F: is the prefix's link (Wine's file access does not follow a
    mapping made with DefineDosDevice), so the runs go without --captures."""

    setUpClass, tearDownClass = RunTool.setUpClass, RunTool.tearDownClass

    def start(self, name, options, steps, drive="link", extra=None, client=CLIENT, build=BUILD,
              own=None):
        self.folder = scratch("exe-" + name)
        self.program = os.path.join(self.folder, "program")
        os.mkdir(self.program)
        shutil.copy(os.path.join(build, client), self.program)
        self.captures = os.path.join(self.folder, "f")
        set_drive_f(drive, self.captures)
        if drive == "link":
            os.mkdir(self.captures)
        if extra:
            with open(os.path.join(self.folder, extra), "w") as f:
                f.write("not mirdu")
        self.before = sorted(os.listdir(self.program))
        self.log, self.out, self.stdout, self.stderr = (
            os.path.join(self.folder, n) for n in ("console.log", "out.txt", "stdout.txt",
                                                   "stderr.txt"))
        self.marker = own[-1] if own else "exe-%s-%d" % (name, os.getpid())
        command = [WINE, os.path.join(BUILD, "mirdu-run.exe"), "--log", self.log] + options
        if own:
            command += ["--", "C:\\windows\\" + "\\".join(own)]
        else:
            command += ["--", os.path.join(self.program, client), "--out", self.out,
                        "mark:" + self.marker] + steps
        self.runner = pexpect.spawn("/bin/sh", ["-c", 'exec "$0" "$@" >"%s" 2>"%s"' % (
            self.stdout, self.stderr)] + command, env=dict(os.environ, DISPLAY=""),
            timeout=TIMEOUT)
        self.addCleanup(self.runner.close, force=True)

    def finish(self):
        self.runner.expect(pexpect.EOF, timeout=2 * TIMEOUT)
        self.runner.close()
        self.assertEqual(sorted(os.listdir(self.program)), self.before)
        self.assertEqual(run_processes(self.marker), [])
        return self.runner.exitstatus, read(self.stderr)

    def console(self):
        log = read(self.log)
        self.assertEqual(read(self.stdout), log)
        return log

    def path(self, path):
        return windows_name(path)

    def test_runs_the_program_unattended_under_another_name(self):
        # The image holds what this run wrote, not the capture an earlier run left in F:. The
        # GUI client shows a window and has no console until the library opens one. The other
        # build's client gets the other build's DLL, from the folder beside mirdu-run.exe's.
        window = ["console", "window:Flash Tool 2.1"]
        for build, client, first, last, status, image in [
                (BUILD, CLIENT, [], [], 0, "image.hex"),
                (BUILD, CLIENT, [], ["load:absent.dll"], 2, "image.Bin"),
                (BUILD, GUI_CLIENT, window, ["console"], 0, "image.ihex"),
                (OTHER_BUILD, CLIENT, [], [], 0, "image.hex")]:
            with self.subTest(build=build, client=client, status=status):
                if build == OTHER_BUILD and not OTHER_RUNS:
                    self.skipTest("the other build is missing or cannot run here")
                self.start("as-%d-%s-%s" % (status, os.path.basename(build), client),
                           ["--as", NAME, "--image", "F:\\" + image],
                           first + ["load:" + NAME, "KVTGo", WRITE, "unload"] + last,
                           extra="f/0001-kvtwrite-00002000.bin", client=client, build=build)
                code, errors = self.finish()
                self.assertEqual(code, status, errors)
                if client == GUI_CLIENT:
                    self.assertEqual([r for r in results(self.out) if r.startswith(
                        ("console ", "window ", "load "))], ["console no", "window ok", "load ok",
                                                             "console no"])
                f = os.path.join(self.folder, "f")
                check_typical_run(self, os.path.join(f, "0000-kvtwrite-00001000.bin"),
                                  os.path.join(f, image))
                self.assertEqual(errors, "mirdu-run: image F:\\%s written\nmirdu-run: 2 calls "
                                 "logged, 1 capture file written (16 bytes), exit status %d, log "
                                 "Z:%s\n" % (image, status, self.log.replace("/", "\\")))

    def test_more_lines_than_the_console_holds_come_once_each_in_order(self):
        # The ids count up and wrap at 255: a line lost or doubled breaks the sequence. The GUI
        # client's lines are read from the console that the library opens in it.
        for client in (CLIENT, GUI_CLIENT):
            with self.subTest(client):
                self.start("50000-" + client, [], ["load", "repeat:50000:KVTFindNext,0,entry",
                                                   "unload"], client=client)
                code, errors = self.finish()
                self.assertEqual(code, 0, errors)
                lines = self.console().split("\n")
                self.assertEqual(lines[2:-3], ["KVTFindNext : host = 0, id = %d" % (n % 256)
                                               for n in range(50000)])
                self.assertIn("mirdu-run: 50000 calls logged, 0 capture files written", errors)

    def test_a_console_reader_that_goes_ends_the_run_at_once(self):
        # The helper that reads the GUI client's console, killed while the client sleeps: the
        # run ends with 125 and says so, and ends the client rather than wait on it.
        self.start("reader-killed", [], ["load", "KVTGo", "KVTGo", "sleep:600000", "unload"],
                   client=GUI_CLIENT)
        wait_for(lambda: read(self.log).endswith("KVTGo\nKVTGo\n"))
        helpers = run_processes("--follow-console", self.runner.pid)
        self.assertEqual(len(helpers), 1, helpers)
        os.kill(int(helpers[0]), signal.SIGKILL)
        killed = time.monotonic()
        code, errors = self.finish()
        self.assertLess(time.monotonic() - killed, 5, errors)
        self.assertEqual(code, 125, errors)
        self.assertRegex(errors, r"(?m)^mirdu-run: the console reader \(mirdu-run.exe "
                         r"--follow-console \d+ ended with exit status -?\d+\) went before the "
                         r"run ended: the program was ended, and lines may be missing from the "
                         r"log")
        self.assertEqual(read(self.stdout), BANNER + UNDERLINE + "KVTGo\nKVTGo\n")
        self.assertEqual(run_processes("", self.runner.pid), [])

    def test_refuses_before_anything_runs(self):
        taken = r"drive F: is taken \(.*\): --captures maps F: only when it is free"
        cases = [("program-folder", ["--as", NAME], "program/KVTLANE.DLL", "link",
                  r"program\\KVTLANE.DLL would be loaded instead of .*program's folder"),
                 ("wrong-dll", ["--dll", OTHER_DLL], None, "link",
                  r"is a (32|64)-bit DLL but .* is a (64|32)-bit program"),
                 ("f-taken", ["--captures", "captures"], None, "link", taken),
                 ("no-f", [], None, "nothing", r"no drive F: .*subst F: C:\\captures"),
                 ("image-name", ["--image", "image.srec"], None, "link",
                  r"--image: cannot tell the format .*\.hex or \.ihex \(Intel HEX\) or \.bin")]
        for name, options, extra, drive, message in cases:
            with self.subTest(name):
                if name == "wrong-dll" and not os.path.exists(OTHER_DLL):
                    self.skipTest("no " + OTHER_DLL)
                self.start(name, options, ["load:" + NAME], drive, extra)
                code, errors = self.finish()
                self.assertEqual(code, 2 if name == "image-name" else 125, errors)
                self.assertRegex(errors, "(?m)^mirdu-run: .*" + message)
                self.assertFalse(os.path.exists(self.out), "the program ran")

    def test_timeout_ends_the_program_and_all_it_started(self):
        # A GUI client stuck in a message box: its windows are named before it is ended. With
        # nothing drawn (no display), no picture is written.
        box = 'msgbox:Device not responding (code 0x21).'
        for client, steps in [(CLIENT, ["sleep:600000"]), (GUI_CLIENT, ["window:Flash", box])]:
            with self.subTest(client):
                shot = os.path.join(scratch("exe-timeout-shot"), "shot.png")
                self.start("timeout-" + client, ["--timeout", "8", "--screenshot", shot],
                           ["load", "KVTGo"] + steps + ["unload"], client=client)
                code, errors = self.finish()
                self.assertEqual(code, 124, errors)
                windows = ('mirdu-run: window "mirdu-client": "Device not responding (code '
                           '0x21)." [OK]\nmirdu-run: window "Flash": "Ready." [Program device]\n'
                           if client == GUI_CLIENT else "")
                self.assertEqual(read(self.stdout), BANNER + UNDERLINE + "KVTGo\n")
                self.assertEqual(read(self.log), read(self.stdout) + windows)
                self.assertIn(windows, errors)
                self.assertIn(", timed out after 8 s (exit status 124), log ", errors)
                self.assertFalse(os.path.exists(shot))
                self.assertIn("mirdu-run: no screenshot: " + (
                    "the screen cannot be read (no display)" if windows else
                    "the program shows no window"), errors)


if __name__ == "__main__":
    unittest.main(verbosity=2)
