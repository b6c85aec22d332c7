// Paths as the user gives them and as mirdu-run shows them. Under Wine a path that starts with
// "/" is a Linux path, which Windows programs know by another name (on drive Z:, or a drive that
// maps the same folder); for the Linux runner, whose user thinks in Linux paths, the paths that
// mirdu-run shows are Linux paths again.
#ifndef MIRDU_RUNNER_PATHS_H
#define MIRDU_RUNNER_PATHS_H

#include <string>

// The full Windows path of a path given to mirdu-run.
std::wstring FullPath(const std::wstring &path);
// From here on, paths are shown as Linux paths (under Wine).
void ShowLinuxPaths();
// A Windows path as mirdu-run shows it to its user.
std::wstring ShownPath(const std::wstring &path);

#endif
