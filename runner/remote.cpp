#include "runner/remote.h"

#include "runner/controls.h"
#include "runner/report.h"

namespace {

int ProcessBits(HANDLE process)
{
    BOOL wow = FALSE;
    if (!IsWow64Process(process, &wow))
        return 0;
    if (wow)
        return 32;
#ifdef _WIN64
    return 64;
#else
    // Not under WOW64: as the system is, which this 32-bit process sees from under it.
    BOOL self = FALSE;
    IsWow64Process(GetCurrentProcess(), &self);
    return self ? 64 : 32;
#endif
}

} // namespace

int WindowBits(HWND window)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    return process.valid() ? ProcessBits(process.get()) : 0;
}

bool SendToControl(HWND control, UINT message, WPARAM w, LPARAM l, DWORD_PTR &result)
{
    return SendMessageTimeoutW(control, message, w, l, SMTO_ABORTIFHUNG, kStepAnswerMs,
                               &result) != 0;
}

RemoteMemory::RemoteMemory(HWND window, size_t size)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    process_.reset(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                   PROCESS_QUERY_LIMITED_INFORMATION,
                               FALSE, id));
    bits_ = process_.valid() ? ProcessBits(process_.get()) : 0;
    void *memory = bits_ ? VirtualAllocEx(process_.get(), NULL, size, MEM_COMMIT | MEM_RESERVE,
                                          PAGE_READWRITE)
                         : NULL;
    if (!memory)
        why_ = L"cannot reach the program's memory for its control's items: " +
               SystemMessage(GetLastError());
    address_ = (ULONG_PTR)memory;
}

RemoteMemory::~RemoteMemory()
{
    if (address_)
        VirtualFreeEx(process_.get(), (void *)(ULONG_PTR)address_, 0, MEM_RELEASE);
}

bool RemoteMemory::Write(size_t offset, const void *data, size_t size)
{
    SIZE_T done = 0;
    return WriteProcessMemory(process_.get(), (void *)(ULONG_PTR)(address_ + offset), data, size,
                              &done) &&
           done == size;
}

bool RemoteMemory::Read(size_t offset, void *data, size_t size)
{
    SIZE_T done = 0;
    return ReadProcessMemory(process_.get(), (const void *)(ULONG_PTR)(address_ + offset), data,
                             size, &done) &&
           done == size;
}
