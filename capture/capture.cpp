// Capture files: named, created, written and closed within the write call that makes them.
#include "capture/capture.h"

#include "shell/log.h"

namespace {

const char kCaptureDirectory[] = "f:\\";

// Shared by both write calls, so numbers rise across both kinds of file.
int32_t g_captureSequence;
char g_capturePath[kCapturePathSize];
HANDLE g_captureFile;
DWORD g_captureWritten;

} // namespace

int32_t TakeSequenceNumber(int32_t *counter)
{
    const int32_t taken = *counter;
    // Unsigned arithmetic: the wrap to the most negative number is defined.
    *counter = static_cast<int32_t>(static_cast<uint32_t>(taken) + 1u);
    return taken;
}

int FormatCapturePath(char *path, const char *tag, int32_t number, uint32_t addr)
{
    return wsprintfA(path, "%s%04d-%s-%08X.bin", kCaptureDirectory, number, tag, addr);
}

void Capture(const char *tag, const void *buf, uint32_t addr, uint32_t len, bool report)
{
    // The number is used up here, whatever happens to the file.
    FormatCapturePath(g_capturePath, tag, TakeSequenceNumber(&g_captureSequence), addr);

    g_captureFile = CreateFileA(g_capturePath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (g_captureFile == INVALID_HANDLE_VALUE) {
        if (report)
            PrintLine("Error creating file !\n");
        return;
    }

    // A null buffer with bytes to write would fault; it counts as nothing written.
    g_captureWritten = 0;
    if (buf != NULL || len == 0)
        WriteFile(g_captureFile, buf, len, &g_captureWritten, NULL);
    CloseHandle(g_captureFile);

    if (report && g_captureWritten != len)
        PrintLine("Error writing file !\n");
}
