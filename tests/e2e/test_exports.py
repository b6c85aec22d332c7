"""The export table as the Wine loader sees it: names and ordinals found through GetProcAddress,
clients bound at load time by ordinal and by name, and Wine's own rundll32 calling the library."""

import os
import unittest

import pefile

from support import (ARCH, BANNER, BUILD, ENUMERATE_AND_OPEN, PROMPT, UNDERLINE, console_pattern,
                     files_in, run_detached, run_to_end, scratch)

# Wine's rundll32 of the lane's machine type: the 32-bit one loads the i686 DLL.
RUNDLL32 = r"C:\windows\syswow64\rundll32.exe" if ARCH == "win32" else "rundll32.exe"

ORDINALS = {
    "ExpFn0000": 2854, "KVTClose": 2855, "KVTFindClose": 2856, "KVTFindFirst": 2857,
    "ExpFn0001": 2858, "KVTFindNext": 2859, "ExpFn0002": 2860, "KVTGo": 2861,
    "KVTOpen": 2862, "KVTRead": 2863, "ExpFn0003": 2864, "KVTReset": 2865,
    "KVTSyncRead": 2866, "KVTSyncSoftReset": 2867, "KVTSyncWrite": 2868, "KVTWrite": 2869,
    "ExpFn0004": 2874, "ExpFn0005": 2918,
}
EMPTY = [n for n in range(2854, 2919) if n not in ORDINALS.values()]
OUTSIDE = [1, 2853, 2919, 3000]


class LookUp(unittest.TestCase):
    def test_every_name_and_its_ordinal_find_the_same_call(self):
        items = (list(ORDINALS) + ["#%d" % n for n in ORDINALS.values()]
                 + ["#%d" % n for n in EMPTY + OUTSIDE] + ["DllMain", "kvtgo", "_KVTGo"])
        status, _, lines = run_detached(["load"] + ["resolve:" + i for i in items],
                                        name="resolve", timeout=30)
        self.assertEqual(status, 0, lines)
        found = {}
        for line in lines:
            if line.startswith("resolve "):
                _, item, where = line.split()
                found[item] = where
        self.assertEqual(set(found), set(items))
        for name, ordinal in ORDINALS.items():
            self.assertNotEqual(found[name], "none", name)
            self.assertEqual(found["#%d" % ordinal], found[name], name)
        self.assertEqual(len({found[name] for name in ORDINALS}), len(ORDINALS),
                         "two names find the same address")
        for item in ["#%d" % n for n in EMPTY + OUTSIDE] + ["DllMain", "kvtgo", "_KVTGo"]:
            self.assertEqual(found[item], "none", item)


class Clients(unittest.TestCase):
    def test_clients_bound_at_load_time(self):
        # One client imports by ordinal only; the other links the import library that the
        # build makes and the release ships, so it imports by name.
        calls = ["KVTFindFirst", "KVTFindNext", "KVTFindClose", "KVTOpen", "KVTWrite", "KVTGo",
                 "KVTClose"]
        for program, imported in (
                ("mirdu-bound-client.exe", [(None, ORDINALS[n]) for n in calls]),
                ("mirdu-linked-client.exe", [(n.encode(), None) for n in calls])):
            with self.subTest(program=program):
                self.check_bound_client(program, imported)

    def check_bound_client(self, program, imported):
        pe = pefile.PE(os.path.join(BUILD, program), fast_load=True)
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
        imports = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT
                   if entry.dll.decode().lower() == "mirdu.dll"]
        self.assertEqual(len(imports), 1)
        self.assertEqual({(i.name, i.ordinal) for i in imports[0].imports}, set(imported))

        captures = scratch("bound-captures")
        console, _, status = run_to_end([], captures=captures, name="bound", program=program,
                                        out=False)
        # Its exit status has a bit set for each call that answered wrongly.
        self.assertEqual(status, 0)
        self.assertRegex(console, console_pattern(
            BANNER, UNDERLINE,
            *ENUMERATE_AND_OPEN,
            "KVTWrite : buf = PTR, addr = 00001000, len = 00000100\n",
            "KVTGo\n",
            "KVTClose\n",
            PROMPT))
        self.assertEqual(files_in(captures), {"0000-kvtwrite-00001000.bin": bytes(range(256))})

    def test_wine_rundll32_calls_by_name_and_by_ordinal(self):
        # rundll32 passes a window, an instance, a command line and a show flag: KVTGo reads
        # none of them. The library unloads as rundll32 ends, so the prompt waits for a key.
        for entry in ["KVTGo", "#2861"]:
            with self.subTest(entry=entry):
                console, _, status = run_to_end(["mirdu.dll," + entry], name="rundll32",
                                                program=RUNDLL32, out=False)
                self.assertEqual(console, BANNER + UNDERLINE + "KVTGo\n" + PROMPT)
                self.assertEqual(status, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
