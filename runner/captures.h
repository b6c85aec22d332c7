// The capture files in the folder of drive F:, before and after the run.
#ifndef MIRDU_RUNNER_CAPTURES_H
#define MIRDU_RUNNER_CAPTURES_H

#include <windows.h>

#include <map>
#include <string>

struct CaptureFile {
    unsigned long long size;
    FILETIME written, created;
};
using Captures = std::map<std::wstring, CaptureFile>;

// NNNN-kvtwrite-AAAAAAAA.bin or NNNN-kvtsyncwrite-AAAAAAAA.bin: four digits or more.
bool IsCaptureName(const std::wstring &name);
Captures ListCaptures(const std::wstring &folder);
// The files that are new or changed since before.
Captures WrittenSince(const Captures &before, const Captures &after);

#endif
