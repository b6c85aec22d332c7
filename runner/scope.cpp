#include "runner/scope.h"

#include <windows.h>

std::wstring Variable(const std::wstring &name)
{
    DWORD size = GetEnvironmentVariableW(name.c_str(), NULL, 0);
    std::wstring value(size, L'\0');
    DWORD length = size ? GetEnvironmentVariableW(name.c_str(), &value[0], size) : 0;
    value.resize(length < size ? length : 0);
    return value;
}

ProcessChanges::~ProcessChanges()
{
    for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
        if (saved->folder)
            SetCurrentDirectoryW(saved->value.c_str());
        else
            SetEnvironmentVariableW(saved->name.c_str(),
                                    saved->existed ? saved->value.c_str() : NULL);
    }
}

void ProcessChanges::SetVariable(const std::wstring &name, const std::wstring &value)
{
    bool existed = GetEnvironmentVariableW(name.c_str(), NULL, 0) != 0;
    saved_.push_back({false, name, Variable(name), existed});
    SetEnvironmentVariableW(name.c_str(), value.c_str());
}

bool ProcessChanges::SetFolder(const std::wstring &folder)
{
    wchar_t current[MAX_PATH * 4];
    DWORD length = GetCurrentDirectoryW(MAX_PATH * 4, current);
    if (length == 0 || length >= MAX_PATH * 4 || !SetCurrentDirectoryW(folder.c_str()))
        return false;
    saved_.push_back({true, L"", std::wstring(current, length), true});
    return true;
}
