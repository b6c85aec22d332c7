#include "runner/pefile.h"

#include <windows.h>

#include <cstddef>

#include "shell/handle.h"

namespace {

// The DOS header's e_lfanew, the signature, the file header and the subsystem: the first page
// holds them. The subsystem stands at the same offset in 32-bit and 64-bit optional headers.
bool ReadFileHeader(const std::wstring &path, IMAGE_FILE_HEADER &header, WORD &subsystem,
                    std::wstring &why)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_EXISTING, 0, NULL));
    if (!file.valid()) {
        why = SystemMessage(GetLastError());
        return false;
    }
    unsigned char page[4096];
    DWORD size = 0;
    if (!ReadFile(file.get(), page, sizeof page, &size, NULL)) {
        why = SystemMessage(GetLastError());
        return false;
    }
    IMAGE_DOS_HEADER dos;
    DWORD signature;
    if (size < sizeof dos || (memcpy(&dos, page, sizeof dos), dos.e_magic != IMAGE_DOS_SIGNATURE)) {
        why = L"no MZ header";
        return false;
    }
    DWORD at = (DWORD)dos.e_lfanew;
    if (at > size - sizeof signature - sizeof header ||
        (memcpy(&signature, page + at, sizeof signature), signature != IMAGE_NT_SIGNATURE)) {
        why = L"no PE header";
        return false;
    }
    memcpy(&header, page + at + sizeof signature, sizeof header);
    DWORD subsystemAt = at + sizeof signature + sizeof header +
                        offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem);
    subsystem = IMAGE_SUBSYSTEM_UNKNOWN;
    if (header.SizeOfOptionalHeader >= offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem) + 2 &&
        subsystemAt + sizeof subsystem <= size)
        memcpy(&subsystem, page + subsystemAt, sizeof subsystem);
    return true;
}

} // namespace

Failure MachineBits(const std::wstring &path, PeKind kind, int status, int &bits, bool *gui)
{
    const wchar_t *what = kind == PeKind::kProgram ? L"program" : L"DLL";
    IMAGE_FILE_HEADER header;
    WORD subsystem;
    std::wstring why;
    if (!ReadFileHeader(path, header, subsystem, why))
        return Fail(status, path + L" is not a Windows " + what + L" (" + why + L")");
    bool isDll = header.Characteristics & IMAGE_FILE_DLL;
    if (isDll != (kind == PeKind::kDll) || !(header.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE))
        return Fail(status, path + L" is a Windows file but not a " + what);
    if (header.Machine == IMAGE_FILE_MACHINE_I386) {
        bits = 32;
    } else if (header.Machine == IMAGE_FILE_MACHINE_AMD64) {
        bits = 64;
    } else {
        wchar_t machine[8];
        wsprintfW(machine, L"0x%04X", header.Machine);
        return Fail(status, path + L" is a " + what + L" for machine type " + machine +
                                L", not i386 or x86_64");
    }
    if (gui)
        *gui = subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
    return {};
}
