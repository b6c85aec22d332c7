// The capture files in the folder of drive F:, before and after the run.
#ifndef MIRDU_RUNNER_CAPTURES_H
#define MIRDU_RUNNER_CAPTURES_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runner/report.h"
#include "shell/handle.h"

struct CaptureFile {
    unsigned long long size;
    FILETIME written, created;
    DWORD attributes;
    uint32_t order, address; // from the name: CaptureOrder of its number, the device address
};
using Captures = std::map<std::wstring, CaptureFile>;

std::wstring InFolder(const std::wstring &folder, const std::wstring &name);
// Every entry with a capture's name, whatever it is; looked at, never opened.
Captures ListCaptures(const std::wstring &folder);
// The entries that are new or changed since before.
Captures WrittenSince(const Captures &before, const Captures &after);

// Opens a capture (access FILE_READ_ATTRIBUTES to look at it, GENERIC_READ to read it) and
// fails, naming it, unless it is a file on disk: a folder, a pipe, a device, a socket is not.
Failure OpenCaptureFile(const std::wstring &path, DWORD access, UniqueHandle &file,
                        BY_HANDLE_FILE_INFORMATION &info);
// Fails, naming it, unless the entry is a file on disk. Wine lists a pipe, a device and a
// socket as an empty file: such an entry, and a link, is opened to be looked at, never read.
Failure CheckCaptureFile(const std::wstring &path, const CaptureFile &file);
// Names and sizes, in the order of the capture numbers.
std::vector<std::pair<std::wstring, unsigned long long>> InOrder(const Captures &captures);
// Takes out of written what is no file on disk, each named on standard error.
void LeaveOddEntries(const std::wstring &folder, Captures &written);

#endif
