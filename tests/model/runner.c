/* mirdu-model-runner: runs a long script of library calls in one process.
 *
 *   mirdu-model-runner.exe SCRIPT RESULTS [PATTERN]
 *
 * Loads mirdu.dll once, then runs SCRIPT line by line and writes one line per call to RESULTS.
 * Script lines:
 *   NAME ARG...        call an export found by name, with the arguments given (at most 8; the
 *   @ORDINAL ARG...    rest are 0); "@2869" finds the export by ordinal instead
 *   sample             write a resource sample line (see below)
 * Arguments:
 *   a hex number       passed as it stands, all 64 bits (0x optional)
 *   E                  pointer to a DeviceEntry with guard words on both sides, filled with 0x55
 *   W+HEX              pointer into the data region: PATTERN's bytes, loaded at kRegionBase and
 *                      then made read-only, so that a call that writes into it faults
 * Result lines:
 *   "%08X"             the call's 32-bit result
 *   " e=HOST,ID,GUARD" after a call with an E argument: what the entry holds, and 1 when the
 *                      guard words around it are untouched
 *   "S CALLS HANDLES PRIVATE WORKINGSET" for a sample: calls run so far, the process's handle
 *                      count, private bytes and working set
 * Every line is flushed at once, so a crash leaves the results of every call before it.
 * The process then ends by returning from main: the library's unload prompt waits for a key. */
#include <windows.h>
#include <psapi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Where the pattern data lives: a fixed address, so that the script knows the pointers. */
#define kRegionBase ((uintptr_t)0x40000000)
#define kRegionSize ((size_t)1 << 20)

typedef intptr_t(__cdecl *AnyCall)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t,
                                    intptr_t, intptr_t);

static FILE *results;

static void Die(const char *what, const char *detail)
{
    fprintf(results ? results : stderr, "FATAL %s %s (%lu)\n", what, detail, GetLastError());
    if (results)
        fflush(results);
    ExitProcess(3);
}

static unsigned char *LoadRegion(const char *path)
{
    unsigned char *region = VirtualAlloc((void *)kRegionBase, kRegionSize,
                                         MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (region != (unsigned char *)kRegionBase)
        Die("region", "VirtualAlloc at the fixed base failed");
    if (path) {
        FILE *f = fopen(path, "rb");
        if (!f)
            Die("pattern", path);
        size_t n = fread(region, 1, kRegionSize, f);
        fclose(f);
        if (n != kRegionSize)
            Die("pattern", "short file");
    }
    DWORD old;
    if (!VirtualProtect(region, kRegionSize, PAGE_READONLY, &old))
        Die("region", "VirtualProtect failed");
    return region;
}

typedef LONG(WINAPI *QuerySystem)(ULONG, void *, ULONG, ULONG *);

/* The process's handles as the wineserver lists them (SystemHandleInformation, class 16). */
static long CountOwnHandles(void)
{
    static QuerySystem query;
    static unsigned char *buffer;
    static ULONG size = 1 << 20;
    if (!query)
        query = (QuerySystem)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (!buffer)
        buffer = malloc(size);
    ULONG needed = 0;
    LONG status = query(16, buffer, size, &needed);
    if (status != 0)
        return -(long)status;
    ULONG count = *(ULONG *)buffer;
    /* SYSTEM_HANDLE_ENTRY: ULONG OwnerPid; BYTE ObjectType, HandleFlags; USHORT HandleValue;
       PVOID ObjectPointer; ULONG AccessMask; aligned to pointer size. */
    struct HandleEntry { ULONG owner; BYTE type, flags; USHORT value; void *object; ULONG access; };
    struct HandleEntry *entries = (struct HandleEntry *)(buffer + sizeof(void *));
    long own = 0;
    for (ULONG i = 0; i < count; i++)
        if (entries[i].owner == GetCurrentProcessId())
            own++;
    return own;
}

static void Sample(unsigned long calls)
{
    DWORD handles = 0;
    BOOL counted = GetProcessHandleCount(GetCurrentProcess(), &handles);
    PROCESS_MEMORY_COUNTERS_EX memory;
    memset(&memory, 0, sizeof memory);
    memory.cb = sizeof memory;
    K32GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS *)&memory, sizeof memory);
    fprintf(results, "S %lu %d:%lu %ld %llu %llu %llu\n", calls, counted, handles, CountOwnHandles(),
            (unsigned long long)memory.PrivateUsage, (unsigned long long)memory.WorkingSetSize,
            (unsigned long long)memory.PagefileUsage);
    fflush(results);
}

struct Entry {
    uint32_t before;
    int32_t host;
    int32_t id;
    uint32_t after;
};

static void RunCall(HMODULE library, char *line)
{
    char *name = strtok(line, " ");
    FARPROC proc = name[0] == '@' ? GetProcAddress(library, MAKEINTRESOURCEA(atoi(name + 1)))
                                  : GetProcAddress(library, name);
    if (!proc)
        Die("missing", name);

    intptr_t args[8] = {0};
    struct Entry entry;
    int usesEntry = 0;
    char *token;
    for (int i = 0; (token = strtok(NULL, " ")) != NULL; i++) {
        if (i == 8)
            Die("too many arguments", name);
        if (strcmp(token, "E") == 0) {
            memset(&entry, 0x55, sizeof entry);
            args[i] = (intptr_t)&entry.host;
            usesEntry = 1;
        } else if (strncmp(token, "W+", 2) == 0) {
            uintptr_t offset = (uintptr_t)strtoull(token + 2, NULL, 16);
            if (offset > kRegionSize)
                Die("offset", token);
            args[i] = (intptr_t)(kRegionBase + offset);
        } else {
            args[i] = (intptr_t)strtoull(token, NULL, 16);
        }
    }

    uint32_t result = (uint32_t)((AnyCall)proc)(args[0], args[1], args[2], args[3], args[4],
                                                 args[5], args[6], args[7]);
    if (usesEntry)
        fprintf(results, "%08X e=%d,%d,%d\n", result, entry.host, entry.id,
                entry.before == 0x55555555u && entry.after == 0x55555555u);
    else
        fprintf(results, "%08X\n", result);
    fflush(results);
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: mirdu-model-runner SCRIPT RESULTS [PATTERN]\n");
        return 2;
    }
    FILE *script = fopen(argv[1], "r");
    results = fopen(argv[2], "w");
    if (!script || !results)
        Die("open", "script or results file");
    LoadRegion(argc > 3 ? argv[3] : NULL);

    HMODULE library = LoadLibraryA("mirdu.dll");
    if (!library)
        Die("load", "mirdu.dll");

    static char line[1024];
    unsigned long calls = 0;
    while (fgets(line, sizeof line, script)) {
        line[strcspn(line, "\r\n")] = 0;
        if (line[0] == 0)
            continue;
        if (strcmp(line, "sample") == 0) {
            Sample(calls);
        } else if (strcmp(line, "leakhandle") == 0) {
            CreateEventA(NULL, FALSE, FALSE, NULL);
        } else if (strcmp(line, "leakfile") == 0) {
            CreateFileA("f:\\leak.bin", GENERIC_WRITE, FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
        } else if (strcmp(line, "leakmemory") == 0) {
            memset(malloc(1 << 20), 1, 1 << 20);
        } else {
            RunCall(library, line);
            calls++;
        }
    }
    fclose(script);
    fprintf(results, "END %lu\n", calls);
    fclose(results);
    return 0;
}
