// The machine type in the headers of a Windows program or DLL.
#ifndef MIRDU_RUNNER_PEFILE_H
#define MIRDU_RUNNER_PEFILE_H

#include <string>

#include "runner/report.h"

enum class PeKind { kProgram, kDll };

// 32 or 64 in bits, and for a program whether it is a GUI program (which Windows starts with no
// console); a file that is not a Windows file of that kind, or for another machine, fails with
// the given status.
Failure MachineBits(const std::wstring &path, PeKind kind, int status, int &bits,
                    bool *gui = nullptr);

#endif
