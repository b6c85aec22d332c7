// Drive F:, where the library writes its capture files.
#ifndef MIRDU_RUNNER_DRIVE_H
#define MIRDU_RUNNER_DRIVE_H

#include <string>

#include "runner/paths.h"
#include "runner/report.h"

// F: mapped to a folder for the run, as subst does; the mapping goes with the object.
class DriveMapping {
public:
    DriveMapping() = default;
    DriveMapping(const DriveMapping &) = delete;
    DriveMapping &operator=(const DriveMapping &) = delete;
    ~DriveMapping() { Unmap(); }

    // Refuses when F: is taken, saying what it is; makes the folder when it is missing.
    Failure Map(const std::wstring &folder);
    void Unmap();

private:
    std::wstring rawTarget_; // as the system keeps it, to remove exactly this mapping
};

// Without --captures: F: has to be there already.
Failure CheckDriveF();

// The folder, made with its parents when missing.
Failure MakeFolder(const std::wstring &path);

#endif
