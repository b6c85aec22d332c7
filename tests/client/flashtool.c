/* The test client's flash tool (step flashtool:TITLE), as vendors write them: a label
 * "Firmware file:" and an edit box, "Browse..." (the standard Open dialog), check boxes "Erase
 * before writing" and "Verify after writing", and "Program device", enabled while the box has
 * text, which reads the file and writes it with the loaded library's KVTWrite in blocks of 256
 * bytes from address 0x10000 up, a block a timer tick. With verify ticked it then reads every
 * block back with KVTRead and compares them all. It ends in a message box: "Programming complete", or
 * "Verify failed at 0xADDR" for the first block that differs. Captions have & marks. Results:
 * "flashtool verify ok" or "flashtool verify failed at ADDR", and when its window is closed
 * "flashtool erase=0|1 blocks=N". */
#include <windows.h>
#include <commdlg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tests/client/client.h"

enum { kFileBox = 1001, kBrowse, kErase, kProgram, kStatus, kVerify };
enum { kFlashBase = 0x10000, kBlock = 256 };

static struct {
    HWND window;
    unsigned char *image;
    long size, written;
    int erase, verify, blocks;
} flash;

BOOL ChooseFirmware(HWND owner, char *file, DWORD size)
{
    OPENFILENAMEA open;
    memset(&open, 0, sizeof open);
    open.lStructSize = sizeof open;
    open.hwndOwner = owner;
    open.lpstrFilter = "Firmware (*.bin)\0*.bin\0All files\0*.*\0";
    open.lpstrFile = file;
    open.nMaxFile = size;
    open.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    return GetOpenFileNameA(&open);
}

static void ChooseFile(HWND window)
{
    char file[MAX_PATH] = "";
    GetDlgItemTextA(window, kFileBox, file, sizeof file);
    if (ChooseFirmware(window, file, sizeof file))
        SetDlgItemTextA(window, kFileBox, file);
}

static void StartProgramming(HWND window)
{
    char file[MAX_PATH];
    GetDlgItemTextA(window, kFileBox, file, sizeof file);
    FILE *f = fopen(file, "rb");
    if (!f) {
        MessageBoxA(window, "Cannot open the firmware file.", "Device Programmer", MB_ICONERROR);
        return;
    }
    free(flash.image);
    flash.image = malloc(1 << 20);
    flash.size = flash.image ? (long)fread(flash.image, 1, 1 << 20, f) : 0;
    fclose(f);
    flash.written = 0;
    flash.erase = IsDlgButtonChecked(window, kErase) == BST_CHECKED;
    flash.verify = IsDlgButtonChecked(window, kVerify) == BST_CHECKED;
    EnableWindow(GetDlgItem(window, kProgram), FALSE);
    SetDlgItemTextA(window, kStatus, "Programming...");
    SetTimer(window, 1, 5, NULL);
}

/* Every block read back; the first that differs from the file, -1 when none does. */
static long FirstBlockThatDiffers(void)
{
    TransferFn read = Transfer("KVTRead");
    unsigned char block[kBlock];
    long first = -1;
    if (!read)
        return 0;
    for (long at = 0; at < flash.size; at += kBlock) {
        long n = flash.size - at < kBlock ? flash.size - at : kBlock;
        memset(block, 0, sizeof block);
        if ((read(0, block, kFlashBase + (uint32_t)at, (uint32_t)n) != (uint32_t)n ||
             memcmp(block, flash.image + at, n) != 0) && first < 0)
            first = at;
    }
    return first;
}

static void Finish(HWND window, TransferFn write)
{
    char box[64] = "Programming complete";
    long differs = write && flash.verify ? FirstBlockThatDiffers() : -1;
    if (differs >= 0)
        snprintf(box, sizeof box, "Verify failed at 0x%08lX", kFlashBase + differs);
    if (write && flash.verify && differs < 0)
        Report("flashtool verify ok");
    else if (write && flash.verify)
        Report("flashtool verify failed at %08lX", kFlashBase + differs);
    SetDlgItemTextA(window, kStatus, write ? "Done." : "No library.");
    EnableWindow(GetDlgItem(window, kProgram), TRUE);
    MessageBoxA(window, write ? box : "The library is not loaded.", "Device Programmer",
                write && differs < 0 ? MB_ICONINFORMATION : MB_ICONERROR);
}

static void ProgramBlock(HWND window)
{
    TransferFn write = Transfer("KVTWrite");
    if (flash.written < flash.size && write) {
        long n = flash.size - flash.written < kBlock ? flash.size - flash.written : kBlock;
        write(0, flash.image + flash.written, kFlashBase + (uint32_t)flash.written, (uint32_t)n);
        flash.written += n;
        flash.blocks++;
        return;
    }
    KillTimer(window, 1);
    Finish(window, write);
}

static LRESULT CALLBACK FlashToolProc(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == WM_COMMAND && LOWORD(w) == kFileBox && HIWORD(w) == EN_CHANGE)
        EnableWindow(GetDlgItem(window, kProgram),
                     GetWindowTextLengthA(GetDlgItem(window, kFileBox)) > 0);
    else if (message == WM_COMMAND && LOWORD(w) == kBrowse && HIWORD(w) == BN_CLICKED)
        ChooseFile(window);
    else if (message == WM_COMMAND && LOWORD(w) == kProgram && HIWORD(w) == BN_CLICKED)
        StartProgramming(window);
    else if (message == WM_TIMER)
        ProgramBlock(window);
    else if (message == WM_DESTROY)
        PostQuitMessage(0);
    else
        return DefWindowProcA(window, message, w, l);
    return 0;
}

static void AddControl(const char *type, const char *text, DWORD style, int x, int y, int width,
                       int id)
{
    CreateWindowA(type, text, WS_CHILD | WS_VISIBLE | style, x, y, width, 24, flash.window,
                  (HMENU)(intptr_t)id, GetModuleHandleA(NULL), NULL);
}

void RunFlashTool(const char *title)
{
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = FlashToolProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "MirduFlashTool";
    RegisterClassA(&windowClass);
    flash.window = CreateWindowA("MirduFlashTool", title, WS_OVERLAPPEDWINDOW, 60, 60, 440, 200,
                                 NULL, NULL, windowClass.hInstance, NULL);
    if (!flash.window)
        Fail("flashtool", "CreateWindowA failed");
    AddControl("STATIC", "&Firmware file:", 0, 12, 14, 100, -1);
    AddControl("EDIT", "", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 112, 12, 220, kFileBox);
    AddControl("BUTTON", "&Browse...", WS_TABSTOP | BS_PUSHBUTTON, 340, 12, 80, kBrowse);
    AddControl("BUTTON", "&Erase before writing", WS_TABSTOP | BS_AUTOCHECKBOX, 12, 48, 200,
               kErase);
    AddControl("BUTTON", "&Verify after writing", WS_TABSTOP | BS_AUTOCHECKBOX, 220, 48, 200,
               kVerify);
    AddControl("BUTTON", "&Program device", WS_TABSTOP | WS_DISABLED | BS_DEFPUSHBUTTON, 12, 84,
               140, kProgram);
    AddControl("STATIC", "Ready.", 0, 12, 124, 300, kStatus);
    ShowWindow(flash.window, SW_SHOWNORMAL);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (!IsDialogMessageA(flash.window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    Report("flashtool erase=%d blocks=%d", flash.erase, flash.blocks);
}
