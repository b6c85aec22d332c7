/* A small client program: loads mirdu.dll, walks a typical run and unloads.
 * Everything it shows comes from the library's console log; it prints only its own errors. */
#include <windows.h>
#include <stdio.h>

#include "exports/mirdu.h"

typedef int32_t(__cdecl *FindFirstFn)(DeviceEntry *);
typedef int32_t(__cdecl *FindNextFn)(int32_t, DeviceEntry *);
typedef int32_t(__cdecl *NoArgFn)(void);
typedef int32_t(__cdecl *OpenFn)(int32_t, int32_t);
typedef uint32_t(__cdecl *TransferFn)(int32_t, void *, uint32_t, uint32_t);

static HMODULE library;

static FARPROC Find(const char *name)
{
    FARPROC proc = GetProcAddress(library, name);
    if (!proc) {
        fprintf(stderr, "mirdu-demo: mirdu.dll has no %s\n", name);
        ExitProcess(1);
    }
    return proc;
}

int main(void)
{
    library = LoadLibraryA("mirdu.dll");
    if (!library) {
        fprintf(stderr, "mirdu-demo: cannot load mirdu.dll (error %lu)\n", GetLastError());
        return 1;
    }

    FindFirstFn findFirst = (FindFirstFn)Find("KVTFindFirst");
    FindNextFn findNext = (FindNextFn)Find("KVTFindNext");
    NoArgFn findClose = (NoArgFn)Find("KVTFindClose");
    OpenFn open = (OpenFn)Find("KVTOpen");
    TransferFn write = (TransferFn)Find("KVTWrite");
    TransferFn read = (TransferFn)Find("KVTRead");
    NoArgFn go = (NoArgFn)Find("KVTGo");
    NoArgFn close = (NoArgFn)Find("KVTClose");

    /* Enumerate until the library signals the last device. */
    DeviceEntry entry;
    findFirst(&entry);
    while (findNext(0, &entry) != 0)
        ;
    findClose();

    open(0, 0);

    unsigned char block[256];
    for (int i = 0; i < 256; i++)
        block[i] = (unsigned char)i;
    write(0, block, 0x1000, sizeof block);
    read(0, block, 0x1000, sizeof block);

    go();
    close();

    /* The library asks for a key here and returns once one is pressed. */
    FreeLibrary(library);
    return 0;
}
