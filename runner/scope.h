// What a run changes in mirdu-run.exe's own process (environment variables, the current
// folder), undone in reverse order when the object goes, however the run ends: an engine that
// serves many runs starts each one as it started the first.
#ifndef MIRDU_RUNNER_SCOPE_H
#define MIRDU_RUNNER_SCOPE_H

#include <string>
#include <vector>

class ProcessChanges {
public:
    ProcessChanges() = default;
    ProcessChanges(const ProcessChanges &) = delete;
    ProcessChanges &operator=(const ProcessChanges &) = delete;
    ~ProcessChanges();

    void SetVariable(const std::wstring &name, const std::wstring &value);
    // False when there is no such folder.
    bool SetFolder(const std::wstring &folder);

private:
    struct Saved {
        bool folder;   // else a variable, by name
        std::wstring name, value;
        bool existed;  // a variable that was set
    };
    std::vector<Saved> saved_;
};

// The variable's value; empty when it is not set.
std::wstring Variable(const std::wstring &name);

#endif
