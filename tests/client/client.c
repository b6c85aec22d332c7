/* mirdu-client: a scriptable client program for the end-to-end tests.
 *
 *   mirdu-client.exe [--out FILE] STEP...
 *
 * Runs the steps in order and writes one result line per step to FILE (flushed at once), so
 * that the console carries nothing but the library's own lines. Steps:
 *   load[:PATH]          LoadLibraryA (default "mirdu.dll")
 *   unload               FreeLibrary
 *   NAME[,ARG...]        call an export by name with up to six arguments
 *   #ORDINAL[,ARG...]    the same, found by ordinal
 *   sleep:MS             Sleep
 *   peek:MS              wait up to MS for an event in the console input queue (Wine reads the
 *                        terminal only while someone reads or peeks)
 *   queuekey             put a key press ('a' down and up) into the console input queue
 *   keys:MS              read console input events for MS (input mode 0, as the library's key
 *                        wait sets it) and report each key event: "key down=D vk=VK scan=SC
 *                        char=CH state=ST" (hex, scan decimal), then "keys end"; shows what
 *                        Wine makes of the bytes typed into the terminal
 *   thread               start a thread that returns at once and join it (up to 10 s): "thread
 *                        joined" or "thread timeout"; the library sees thread attach and detach
 *   resolve:NAME|#ORD    GetProcAddress without calling: "resolve NAME RVA" (hex offset from the
 *                        module base) or "resolve NAME none"
 *   exit                 end the process with ExitProcess, the library still loaded
 *   crash                write to address 0: the process ends with an access violation
 *   lines:N              print N lines of its own on its console, the K-th K characters long,
 *                        each a run of letters that ends in "|"; through WriteConsoleA, so that
 *                        a GUI program prints them in the console the library opened
 *   mark:TEXT            write TEXT to the result file
 *   repeat:N:STEP        run STEP N times, writing only "repeat N done" (long runs of lines)
 *   console              "console yes" when the process has a console, else "console no"
 *   window:TITLE         show a top-level window with a text and a button: "window ok"
 *   msgbox:TEXT          block in a message box until it is answered: "msgbox ID"
 *   flashtool:TITLE      a GUI flash tool as vendors write them, until its window is closed
 *                        (flashtool.c): a box for the firmware file, Browse..., Erase and
 *                        Verify check boxes, Program device, a message box at the end
 *   programmer:FIRMWARE|BACKUP  a command-line flash tool (programmer.c): reads the device id
 *                        and refuses an unknown one (exit status 3), programs, verifies (exit
 *                        status 4 when a block differs) and backs a block up
 *   devicetool:TITLE     a device tool with a menu bar, tabs, a combo box, a list box, a tree
 *                        view, a list view, check boxes whose state it remembers and Ctrl+P,
 *                        until its window is closed (devicetool.c)
 *   forget:TITLE         what the device tool of that title remembered is forgotten
 *   stack:OFFSET         i686 only: make later calls with the stack pointer at OFFSET modulo
 *                        16 (4, 8 or 12: aligned to 4 bytes only, as code from compilers that
 *                        keep just what the 32-bit convention guarantees calls); default 0
 * Arguments: a number (decimal, 0x hex, negative), "null", "entry" (a DeviceEntry filled with
 * 0x55 bytes), "buf:N[:SEED]" (N bytes of the test pattern), "rbuf:N[:SEED]" (the same, checked
 * unchanged after the call), "expect:N[:SEED]" (N bytes of 0x5A, checked to hold the pattern
 * after the call: what a read of the pattern's bytes delivers), "erased:N" (the same, checked
 * to hold 0xFF bytes: what a read of memory never written delivers).
 * Result lines: "NAME = XXXXXXXX" then " entry=HOST,ID", " unchanged=0|1" or " expected=0|1"
 * where it applies,
 * and on i686 " popped=N" when the call removed N bytes of its arguments itself (not cdecl);
 * a step that cannot run gives "NAME error ..." and the client exits with status 2.
 * The same source builds mirdu-client-gui.exe, a GUI-subsystem program, which Windows starts
 * without a console. */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "exports/mirdu.h"
#include "tests/client/client.h"

typedef intptr_t(__cdecl *AnyCall)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t);

static FILE *out;
HMODULE library;
static int quiet; /* inside a repeat: results are not written, errors are */

#if defined(__i386__)
/* Calls proc with six arguments and the stack pointer at offset modulo 16 at the call, and
 * stores in *popped how many bytes of them the callee removed itself (0 for cdecl). */
intptr_t __cdecl CallAtStackOffset(AnyCall proc, const intptr_t *args, uint32_t offset,
                                   uint32_t *popped);
__asm__(".text\n"
        ".globl _CallAtStackOffset\n"
        "_CallAtStackOffset:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl 12(%ebp), %esi\n"
        "    andl $-16, %esp\n"
        "    movl $8, %eax\n" /* the 24 bytes of arguments leave it at 8 modulo 16 */
        "    subl 16(%ebp), %eax\n"
        "    andl $15, %eax\n"
        "    subl %eax, %esp\n"
        "    movl %esp, %edi\n" /* where a cdecl callee leaves the stack, once cleaned up */
        "    pushl 20(%esi)\n"
        "    pushl 16(%esi)\n"
        "    pushl 12(%esi)\n"
        "    pushl 8(%esi)\n"
        "    pushl 4(%esi)\n"
        "    pushl (%esi)\n"
        "    call *8(%ebp)\n"
        "    leal 24(%esp), %ecx\n"
        "    subl %edi, %ecx\n"
        "    movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    leal -8(%ebp), %esp\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebp\n"
        "    ret\n");
static uint32_t stackOffset;
#endif

void Report(const char *format, ...)
{
    if (quiet)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(out, format, args);
    va_end(args);
    fputc('\n', out);
    fflush(out);
}

TransferFn Transfer(const char *name)
{
    return library ? (TransferFn)(void (*)(void))GetProcAddress(library, name) : NULL;
}

void Fail(const char *step, const char *why)
{
    quiet = 0;
    Report("%s error %s (%lu)", step, why, GetLastError());
    exit(2);
}

/* The test pattern: an xorshift32 stream, never all zeros, the same in the test scripts. */
static void FillPattern(unsigned char *p, size_t n, uint32_t seed)
{
    uint32_t x = seed ? seed : 0x9E3779B9u;
    for (size_t i = 0; i < n; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        for (size_t k = 0; k < 4 && i + k < n; k++)
            p[i + k] = (unsigned char)(x >> (8 * k));
    }
}

struct Call {
    intptr_t args[6];
    DeviceEntry entry;
    int usesEntry;
    unsigned char *readBuffer, *readCopy;
    size_t readLength;
    int expects; /* readCopy is the pattern that readBuffer should hold after the call */
};

/* "N[:SEED]": N bytes of the pattern. */
static unsigned char *PatternBuffer(const char *lengthAndSeed, size_t *length)
{
    char *rest;
    unsigned long n = strtoul(lengthAndSeed, &rest, 0);
    uint32_t seed = *rest == ':' ? (uint32_t)strtoul(rest + 1, NULL, 0) : 0;
    unsigned char *p = malloc(n ? n : 1);
    if (!p)
        return NULL;
    FillPattern(p, n, seed);
    *length = n;
    return p;
}

static int ParseArgument(struct Call *call, int index, const char *text)
{
    size_t length;
    if (strcmp(text, "null") == 0) {
        call->args[index] = 0;
    } else if (strcmp(text, "entry") == 0) {
        memset(&call->entry, 0x55, sizeof call->entry);
        call->usesEntry = 1;
        call->args[index] = (intptr_t)&call->entry;
    } else if (strncmp(text, "buf:", 4) == 0) {
        unsigned char *p = PatternBuffer(text + 4, &length);
        if (!p)
            return 0;
        call->args[index] = (intptr_t)p;
    } else if (strncmp(text, "rbuf:", 5) == 0) {
        call->readBuffer = PatternBuffer(text + 5, &call->readLength);
        call->readCopy = malloc(call->readLength ? call->readLength : 1);
        if (!call->readBuffer || !call->readCopy)
            return 0;
        memcpy(call->readCopy, call->readBuffer, call->readLength);
        call->args[index] = (intptr_t)call->readBuffer;
    } else if (strncmp(text, "expect:", 7) == 0 || strncmp(text, "erased:", 7) == 0) {
        call->readCopy = PatternBuffer(text + 7, &call->readLength);
        if (call->readCopy && strncmp(text, "erased:", 7) == 0)
            memset(call->readCopy, 0xFF, call->readLength);
        call->readBuffer = malloc(call->readLength ? call->readLength : 1);
        if (!call->readBuffer || !call->readCopy)
            return 0;
        memset(call->readBuffer, 0x5A, call->readLength);
        call->expects = 1;
        call->args[index] = (intptr_t)call->readBuffer;
    } else {
        char *end;
        long long value = strtoll(text, &end, 0);
        if (*end)
            value = (long long)strtoull(text, &end, 0);
        if (*end)
            return 0;
        call->args[index] = (intptr_t)(int32_t)(uint32_t)value;
    }
    return 1;
}

static void RunCall(const char *step)
{
    char name[64];
    size_t nameLength = strcspn(step, ",");
    if (nameLength >= sizeof name)
        Fail(step, "name too long");
    memcpy(name, step, nameLength);
    name[nameLength] = 0;

    if (!library)
        Fail(name, "library not loaded");
    FARPROC proc = name[0] == '#' ? GetProcAddress(library, MAKEINTRESOURCEA(atoi(name + 1)))
                                  : GetProcAddress(library, name);
    if (!proc) {
        Report("%s missing", name);
        return;
    }

    struct Call call;
    memset(&call, 0, sizeof call);
    const char *rest = step + nameLength;
    for (int i = 0; *rest == ',' && i < 6; i++) {
        char text[64];
        size_t n = strcspn(rest + 1, ",");
        if (n >= sizeof text)
            Fail(name, "argument too long");
        memcpy(text, rest + 1, n);
        text[n] = 0;
        if (!ParseArgument(&call, i, text))
            Fail(name, "bad argument");
        rest += n + 1;
    }

    uint32_t popped = 0;
#if defined(__i386__)
    uint32_t result = (uint32_t)CallAtStackOffset((AnyCall)proc, call.args, stackOffset, &popped);
#else
    uint32_t result = (uint32_t)((AnyCall)proc)(call.args[0], call.args[1], call.args[2],
                                                 call.args[3], call.args[4], call.args[5]);
#endif
    char extra[64] = "";
    if (call.usesEntry)
        snprintf(extra, sizeof extra, " entry=%d,%d", call.entry.host, call.entry.id);
    else if (call.readBuffer)
        snprintf(extra, sizeof extra, call.expects ? " expected=%d" : " unchanged=%d",
                 memcmp(call.readBuffer, call.readCopy, call.readLength) == 0);
    if (popped)
        snprintf(extra + strlen(extra), sizeof extra - strlen(extra), " popped=%u", popped);
    Report("%s = %08X%s", name, result, extra);
}

static void PeekForInput(DWORD milliseconds)
{
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE)
        Fail("peek", "no console input");
    DWORD start = GetTickCount(), count = 0;
    INPUT_RECORD record;
    while (GetTickCount() - start < milliseconds) {
        if (PeekConsoleInputA(input, &record, 1, &count) && count > 0)
            break;
        Sleep(20);
    }
    CloseHandle(input);
    Report("peek %s", count > 0 ? "input" : "timeout");
}

static void QueueKey(void)
{
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE)
        Fail("queuekey", "no console input");
    INPUT_RECORD keys[2];
    memset(keys, 0, sizeof keys);
    for (int i = 0; i < 2; i++) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = 'A';
        keys[i].Event.KeyEvent.wVirtualScanCode = 0x1E;
        keys[i].Event.KeyEvent.uChar.AsciiChar = 'a';
    }
    DWORD written = 0;
    WriteConsoleInputA(input, keys, 2, &written);
    CloseHandle(input);
    Report("queuekey %lu", written);
}

static void ReadKeys(DWORD milliseconds)
{
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE)
        Fail("keys", "no console input");
    DWORD mode = 0, start = GetTickCount();
    BOOL saved = GetConsoleMode(input, &mode);
    SetConsoleMode(input, 0);
    while (GetTickCount() - start < milliseconds) {
        INPUT_RECORD record;
        DWORD count = 0;
        /* Peek first: a plain read would block past the deadline. */
        if (!PeekConsoleInputA(input, &record, 1, &count) || count == 0) {
            Sleep(20);
            continue;
        }
        if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0)
            break;
        if (record.EventType == KEY_EVENT) {
            const KEY_EVENT_RECORD *key = &record.Event.KeyEvent;
            Report("key down=%d vk=%02X scan=%u char=%02X state=%04lX", key->bKeyDown ? 1 : 0,
                   key->wVirtualKeyCode, key->wVirtualScanCode,
                   (unsigned char)key->uChar.AsciiChar, key->dwControlKeyState);
        }
    }
    if (saved)
        SetConsoleMode(input, mode);
    CloseHandle(input);
    Report("keys end");
}

static DWORD WINAPI ReturnAtOnce(LPVOID unused)
{
    (void)unused;
    return 0;
}

static void StartAndJoinThread(void)
{
    HANDLE thread = CreateThread(NULL, 0, ReturnAtOnce, NULL, 0, NULL);
    if (!thread)
        Fail("thread", "CreateThread failed");
    DWORD waited = WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    Report("thread %s", waited == WAIT_OBJECT_0 ? "joined" : "timeout");
}

static void Resolve(const char *item)
{
    if (!library)
        Fail("resolve", "library not loaded");
    FARPROC proc = item[0] == '#' ? GetProcAddress(library, MAKEINTRESOURCEA(atoi(item + 1)))
                                  : GetProcAddress(library, item);
    if (proc)
        Report("resolve %s %llX", item, (unsigned long long)((uintptr_t)proc - (uintptr_t)library));
    else
        Report("resolve %s none", item);
}

static void ReportConsole(void)
{
    HANDLE output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    Report("console %s", output != INVALID_HANDLE_VALUE ? "yes" : "no");
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
}

static HWND mainWindow;

static void ShowMainWindow(const char *title)
{
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = "MirduClient";
    RegisterClassA(&windowClass);
    mainWindow = CreateWindowA("MirduClient", title, WS_OVERLAPPEDWINDOW, 40, 40, 360, 160, NULL,
                               NULL, windowClass.hInstance, NULL);
    if (!mainWindow)
        Fail("window", "CreateWindowA failed");
    CreateWindowA("STATIC", "Ready.", WS_CHILD | WS_VISIBLE, 16, 16, 300, 24, mainWindow, NULL,
                  windowClass.hInstance, NULL);
    CreateWindowA("BUTTON", "Program device", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 16, 56, 140,
                  32, mainWindow, NULL, windowClass.hInstance, NULL);
    ShowWindow(mainWindow, SW_SHOWNORMAL);
    UpdateWindow(mainWindow);
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
    Report("window ok");
}

static void PrintLines(unsigned long count)
{
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    char *line = malloc(count + 2);
    for (unsigned long length = 1; line && length <= count; length++) {
        for (unsigned long i = 0; i + 1 < length; i++)
            line[i] = (char)('a' + (i * 7 + length) % 26);
        line[length - 1] = '|';
        line[length] = '\n';
        DWORD written;
        WriteConsoleA(console, line, length + 1, &written, NULL);
    }
    free(line);
    Report("lines %lu done", count);
}

static void RunStep(const char *step)
{
    if (strncmp(step, "load", 4) == 0 && (step[4] == 0 || step[4] == ':')) {
        library = LoadLibraryA(step[4] ? step + 5 : "mirdu.dll");
        if (!library)
            Fail("load", "LoadLibraryA failed");
        Report("load ok");
    } else if (strcmp(step, "unload") == 0) {
        FreeLibrary(library);
        library = NULL;
        Report("unload done");
    } else if (strncmp(step, "sleep:", 6) == 0) {
        Sleep(strtoul(step + 6, NULL, 0));
    } else if (strncmp(step, "peek:", 5) == 0) {
        PeekForInput(strtoul(step + 5, NULL, 0));
    } else if (strcmp(step, "queuekey") == 0) {
        QueueKey();
    } else if (strncmp(step, "keys:", 5) == 0) {
        ReadKeys(strtoul(step + 5, NULL, 0));
    } else if (strcmp(step, "thread") == 0) {
        StartAndJoinThread();
    } else if (strncmp(step, "resolve:", 8) == 0) {
        Resolve(step + 8);
    } else if (strcmp(step, "exit") == 0) {
        Report("exit");
        ExitProcess(0);
    } else if (strcmp(step, "crash") == 0) {
        Report("crash");
        *(volatile int *)(intptr_t)atoi("0") = 0;
    } else if (strncmp(step, "lines:", 6) == 0) {
        PrintLines(strtoul(step + 6, NULL, 10));
    } else if (strcmp(step, "console") == 0) {
        ReportConsole();
    } else if (strncmp(step, "window:", 7) == 0) {
        ShowMainWindow(step + 7);
    } else if (strncmp(step, "flashtool:", 10) == 0) {
        RunFlashTool(step + 10);
    } else if (strncmp(step, "programmer:", 11) == 0) {
        RunProgrammer(step + 11);
    } else if (strncmp(step, "devicetool:", 11) == 0) {
        RunDeviceTool(step + 11);
    } else if (strncmp(step, "forget:", 7) == 0) {
        ForgetDeviceTool(step + 7);
    } else if (strncmp(step, "msgbox:", 7) == 0) {
        Report("msgbox %d", MessageBoxA(mainWindow, step + 7, "mirdu-client", MB_OK));
    } else if (strncmp(step, "mark:", 5) == 0) {
        Report("%s", step + 5);
    } else if (strncmp(step, "stack:", 6) == 0) {
#if defined(__i386__)
        stackOffset = strtoul(step + 6, NULL, 0);
        if (stackOffset % 4 || stackOffset >= 16)
            Fail("stack", "offset must be 0, 4, 8 or 12");
#else
        Fail("stack", "only the i686 build calls at other stack offsets");
#endif
    } else if (strncmp(step, "repeat:", 7) == 0) {
        char *rest;
        unsigned long count = strtoul(step + 7, &rest, 10);
        if (*rest != ':')
            Fail("repeat", "wants repeat:N:STEP");
        quiet = 1;
        for (unsigned long n = 0; n < count; n++)
            RunStep(rest + 1);
        quiet = 0;
        Report("repeat %lu done", count);
    } else {
        RunCall(step);
    }
}

int main(int argc, char **argv)
{
    int first = 1;
    out = stdout;
    if (argc > 2 && strcmp(argv[1], "--out") == 0) {
        out = fopen(argv[2], "w");
        if (!out)
            return 3;
        first = 3;
    }

    for (int i = first; i < argc; i++)
        RunStep(argv[i]);
    Report("done");
    return 0;
}
