// --memory and --preload: the run's device memory, a file in the run's folder that
// mirdu-memory.dll opens at each load (device/memory.h), named to the program in MIRDU_MEMORY.
// The preloads are laid in it before the program starts.
#ifndef MIRDU_RUNNER_MEMORY_H
#define MIRDU_RUNNER_MEMORY_H

#include <functional>
#include <string>
#include <vector>

#include "runner/report.h"

class RunMemory {
public:
    RunMemory() = default;
    RunMemory(const RunMemory &) = delete;
    RunMemory &operator=(const RunMemory &) = delete;
    ~RunMemory() { Remove(); }

    // Makes the memory in folder and lays the preloads (as --preload gives them, each checked
    // by ParsePreloadSource) in it in their order. Where one overlaps those before it, it wins,
    // and tell says so in one line. Names the file to the program from now on.
    Failure Make(const std::wstring &folder, const std::vector<std::wstring> &preloads,
                 const std::function<void(const std::wstring &)> &tell);
    // How many loads of the library opened the memory; 0 when there is none.
    long Loads() const;
    // Removes the file; the program is told no more of it.
    void Remove();

private:
    std::wstring path_, saved_;
    bool named_ = false;
};

#endif
