// Memory transfers: writes are logged and captured, reads are logged and deliver no data. The
// memory build also keeps what is written and answers reads from it (device/memory.h).
#include "capture/capture.h"
#include "device/memory.h"
#include "exports/mirdu.h"
#include "shell/log.h"

// Pointers are printed by value; on a 64-bit build that is their low 32 bits.
static uint32_t PointerValue(const void *p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

extern "C" uint32_t __cdecl KVTWrite(int32_t, const void *buf, uint32_t addr, uint32_t len)
{
    PrintFormatted("KVTWrite : buf = %08X, addr = %08X, len = %08X\n", PointerValue(buf), addr, len);
    Capture("kvtwrite", buf, addr, len, true);
    KeepWritten(buf, addr, len);
    return len;
}

extern "C" uint32_t __cdecl KVTRead(int32_t, void *buf, uint32_t addr, uint32_t len)
{
    PrintFormatted("KVTRead : buf = %08X, addr = %08X, len = %08X\n", PointerValue(buf), addr, len);
    AnswerRead(buf, addr, len);
    return len;
}

extern "C" int32_t __cdecl KVTSyncWrite(int32_t, const void *buf, uint32_t addr, uint32_t len)
{
    PrintFormatted("KVTSyncWrite : buf = %08X, addr = %08X, len = %08X\n", PointerValue(buf), addr,
                   len);
    Capture("kvtsyncwrite", buf, addr, len, false);
    KeepWritten(buf, addr, len);
    return 1;
}

extern "C" int32_t __cdecl KVTSyncRead(int32_t, void *buf, uint32_t addr, uint32_t len)
{
    PrintFormatted("KVTSyncRead : buf = %08X, addr = %08X, len = %08X\n", PointerValue(buf), addr,
                   len);
    AnswerRead(buf, addr, len);
    return 1;
}
