// The DLL under the name the program loads, in a folder of the run first on its PATH.
#ifndef MIRDU_RUNNER_PLACEMENT_H
#define MIRDU_RUNNER_PLACEMENT_H

#include <string>

#include "runner/report.h"
#include "runner/scope.h"

class DllPlacement {
public:
    DllPlacement() = default;
    DllPlacement(const DllPlacement &) = delete;
    DllPlacement &operator=(const DllPlacement &) = delete;
    ~DllPlacement() { Remove(); }

    // Copies dll as name into a new folder and puts that folder first on PATH, which the
    // program inherits, until changes are undone.
    Failure Place(const std::wstring &dll, const std::wstring &name, ProcessChanges &changes);
    void Remove();
    // The run's folder, where the DLL is: the run may keep a file of its own there too.
    const std::wstring &folder() const { return folder_; }

private:
    std::wstring folder_, file_;
};

// Refuses when Windows would load another file of that name before it reaches PATH: from
// the program's folder, the system folders, the Windows folder or the current folder.
Failure CheckSearchOrder(const std::wstring &program, int programBits, const std::wstring &dll,
                         const std::wstring &name);

#endif
