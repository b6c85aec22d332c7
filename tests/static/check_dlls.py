#!/usr/bin/python3
"""Static check of both builds of mirdu.dll: machine, export table, imports and size. The
memory build (mirdu-memory.dll) is held to the same: the same table under the module name
mirdu.dll, the same imports, the same size limit.

    check_dlls.py win32|win64 DLL     one DLL of the given build (what each test lane runs)
    check_dlls.py [WIN32_DLL [WIN64_DLL]]

Without arguments the paths come from MIRDU_WIN32_DLL and MIRDU_WIN64_DLL, or else from
build/win32 and build/win64 of the checkout. Exits 1 listing every fault found.
"""
import os
import struct
import sys

import pefile

ORDINAL_BASE = 2854
SLOTS = 65  # ordinals 2854 to 2918
EXPORTS = {
    2854: "ExpFn0000",
    2855: "KVTClose",
    2856: "KVTFindClose",
    2857: "KVTFindFirst",
    2858: "ExpFn0001",
    2859: "KVTFindNext",
    2860: "ExpFn0002",
    2861: "KVTGo",
    2862: "KVTOpen",
    2863: "KVTRead",
    2864: "ExpFn0003",
    2865: "KVTReset",
    2866: "KVTSyncRead",
    2867: "KVTSyncSoftReset",
    2868: "KVTSyncWrite",
    2869: "KVTWrite",
    2874: "ExpFn0004",
    2918: "ExpFn0005",
}
EMPTY = set(range(2870, 2874)) | set(range(2875, 2918))
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
MACHINES = {"win32": (0x14C, "i386"), "win64": (0x8664, "AMD64")}
MAX_WIN32_SIZE = 24 * 1024

assert len(EXPORTS) == 18 and len(EMPTY) == 47
assert set(EXPORTS) | EMPTY == set(range(ORDINAL_BASE, ORDINAL_BASE + SLOTS))


def dwords(pe, rva, count):
    return list(struct.unpack("<%dI" % count, pe.get_data(rva, 4 * count)))


def words(pe, rva, count):
    return list(struct.unpack("<%dH" % count, pe.get_data(rva, 2 * count)))


def check(kind, path):
    """Returns the faults of one DLL as a list of texts."""
    faults = []
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"],
    ])

    machine, machine_name = MACHINES[kind]
    if pe.FILE_HEADER.Machine != machine:
        faults.append("machine 0x%X, not %s" % (pe.FILE_HEADER.Machine, machine_name))
    if not pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]:
        faults.append("not marked as a DLL")

    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return faults + ["no export table"]
    table = pe.DIRECTORY_ENTRY_EXPORT.struct
    module = pe.get_string_at_rva(table.Name)
    if module != b"mirdu.dll":
        faults.append("module name %r, not 'mirdu.dll'" % module)
    if table.Base != ORDINAL_BASE:
        faults.append("ordinal base %d, not %d" % (table.Base, ORDINAL_BASE))
    if table.NumberOfFunctions != SLOTS:
        faults.append("%d ordinal slots, not %d" % (table.NumberOfFunctions, SLOTS))

    # The raw arrays: every slot's address, and every name with the slot it points at.
    addresses = dwords(pe, table.AddressOfFunctions, table.NumberOfFunctions)
    name_rvas = dwords(pe, table.AddressOfNames, table.NumberOfNames)
    name_slots = words(pe, table.AddressOfNameOrdinals, table.NumberOfNames)
    names = {}
    for rva, slot in zip(name_rvas, name_slots):
        name = pe.get_string_at_rva(rva).decode("ascii", "replace")
        names[name] = table.Base + slot

    export_dir = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]]
    for ordinal, name in EXPORTS.items():
        if names.get(name) != ordinal:
            faults.append("%s at ordinal %s, not %d" % (name, names.get(name), ordinal))
        slot = ordinal - table.Base
        address = addresses[slot] if 0 <= slot < len(addresses) else 0
        section = pe.get_section_by_rva(address) if address else None
        if export_dir.VirtualAddress <= address < export_dir.VirtualAddress + export_dir.Size:
            faults.append("ordinal %d is a forwarder" % ordinal)
        elif section is None or not section.Characteristics & 0x20000000:  # executable
            faults.append("ordinal %d (%s) has address 0x%X, not in code" % (ordinal, name, address))
    for ordinal in sorted(EMPTY):
        slot = ordinal - table.Base
        if 0 <= slot < len(addresses) and addresses[slot] != 0:
            faults.append("empty ordinal %d has address 0x%X" % (ordinal, addresses[slot]))
    for name in sorted(set(names) - set(EXPORTS.values())):
        faults.append("unexpected export %r at ordinal %d" % (name, names[name]))
    if any("DllMain" in name for name in names):
        faults.append("the entry callback is exported")
    for name in names:
        if name.startswith("_") or "@" in name:
            faults.append("decorated name %r" % name)

    imports = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if not imports <= ALLOWED_IMPORTS or not {"kernel32.dll", "user32.dll"} <= imports:
        faults.append("imports %s, allowed only %s" % (sorted(imports), sorted(ALLOWED_IMPORTS)))
    if hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"):
        faults.append("delay-load imports present")

    size = os.path.getsize(path)
    if kind == "win32" and size > MAX_WIN32_SIZE:
        faults.append("%d bytes, more than %d" % (size, MAX_WIN32_SIZE))
    return faults


def main(argv):
    root = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    paths = {
        "win32": os.environ.get("MIRDU_WIN32_DLL", os.path.join(root, "build", "win32", "mirdu.dll")),
        "win64": os.environ.get("MIRDU_WIN64_DLL", os.path.join(root, "build", "win64", "mirdu.dll")),
    }
    if len(argv) == 3 and argv[1] in MACHINES:
        paths = {argv[1]: argv[2]}
    else:
        for kind, path in zip(("win32", "win64"), argv[1:]):
            paths[kind] = path

    failed = False
    for kind, path in paths.items():
        if not os.path.isfile(path):
            print("FAIL %s: %s is missing (make build builds both DLLs)" % (kind, path))
            failed = True
            continue
        faults = check(kind, path)
        for fault in faults:
            print("FAIL %s %s: %s" % (kind, path, fault))
        if not faults:
            print("ok   %s %s" % (kind, path))
        failed = failed or bool(faults)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
