// Run control and the extension calls: each logs its line and answers 1.
#include "exports/mirdu.h"
#include "shell/log.h"

extern "C" int32_t __cdecl KVTGo(void)
{
    PrintFormatted("KVTGo\n");
    return 1;
}

extern "C" int32_t __cdecl KVTReset(int32_t, int32_t flag)
{
    PrintFormatted("KVTReset : %s\n", flag != 0 ? "on" : "off");
    return 1;
}

extern "C" int32_t __cdecl KVTSyncSoftReset(void)
{
    PrintFormatted("KVTSyncSoftReset\n");
    return 1;
}

extern "C" int32_t __cdecl ExpFn0000(int32_t, uint32_t a, uint32_t b)
{
    PrintFormatted("ExpFn0000 : %08X %08X\n", a, b);
    return 1;
}

extern "C" int32_t __cdecl ExpFn0001(void)
{
    PrintFormatted("ExpFn0001\n");
    return 1;
}

extern "C" int32_t __cdecl ExpFn0002(void)
{
    PrintFormatted("ExpFn0002\n");
    return 1;
}

extern "C" int32_t __cdecl ExpFn0003(void)
{
    PrintFormatted("ExpFn0003\n");
    return 1;
}

extern "C" int32_t __cdecl ExpFn0004(void)
{
    PrintFormatted("ExpFn0004\n");
    return 1;
}

extern "C" int32_t __cdecl ExpFn0005(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    PrintFormatted("ExpFn0005 : %08X %08X %08X %08X\n", a, b, c, d);
    return 1;
}
