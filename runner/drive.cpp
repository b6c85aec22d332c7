#include "runner/drive.h"

#include <windows.h>

namespace {

const wchar_t kDrive[] = L"F:";

// What F: stands for, as QueryDosDevice tells: empty when it is free.
std::wstring DeviceOfF()
{
    wchar_t target[4096];
    return QueryDosDeviceW(kDrive, target, ARRAYSIZE(target)) ? target : L"";
}

std::wstring DriveType()
{
    switch (GetDriveTypeW(L"F:\\")) {
    case DRIVE_REMOVABLE: return L"a removable drive";
    case DRIVE_FIXED: return L"a fixed drive";
    case DRIVE_REMOTE: return L"a network drive";
    case DRIVE_CDROM: return L"a CD drive";
    case DRIVE_RAMDISK: return L"a RAM disk";
    default: return L"a drive";
    }
}

} // namespace

Failure MakeFolder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {};
    size_t parent = path.find_last_of(L"\\/");
    if (parent != std::wstring::npos && parent > 2 && path[parent - 1] != L':')
        if (Failure failure = MakeFolder(path.substr(0, parent)))
            return failure;
    if (!CreateDirectoryW(path.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Fail(kExitRunner, L"cannot make the folder " + path + L": " +
                                     SystemMessage(GetLastError()));
    return {};
}

Failure DriveMapping::Map(const std::wstring &folder)
{
    std::wstring taken = DeviceOfF();
    if (!taken.empty() || (GetLogicalDrives() & (1u << 5)) ||
        GetFileAttributesW(L"F:\\") != INVALID_FILE_ATTRIBUTES)
        return Fail(kExitRunner, L"drive F: is taken (" + DriveType() + L", " +
                                     (taken.empty() ? L"device unknown" : taken) +
                                     L"): --captures maps F: only when it is free. Run without "
                                     L"--captures to write to that drive, or free it first "
                                     L"(subst F: /D for a subst mapping)");
    std::wstring path = FullPath(folder);
    if (Failure failure = MakeFolder(path))
        return failure;
    if (!DefineDosDeviceW(0, kDrive, path.c_str()))
        return Fail(kExitRunner, L"cannot map drive F: to " + path + L": " +
                                     SystemMessage(GetLastError()));
    rawTarget_ = DeviceOfF();
    return {};
}

void DriveMapping::Unmap()
{
    if (rawTarget_.empty())
        return;
    DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_RAW_TARGET_PATH,
                     kDrive, rawTarget_.c_str());
    rawTarget_.clear();
}

Failure CheckDriveF()
{
    DWORD attributes = GetFileAttributesW(L"F:\\");
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(kExitRunner, L"there is no drive F: for the capture files: map one "
                                 L"(mkdir C:\\captures, then subst F: C:\\captures) or give "
                                 L"--captures DIR");
    return {};
}
