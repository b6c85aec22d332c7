// Device enumeration, open and close: made-up device ids on host 0, handed out from a counter.
#include "exports/mirdu.h"
#include "shell/log.h"

namespace {

// Next id to hand out; wraps from 255 to 0 and is never reset while the library is loaded.
uint8_t g_nextId;

// The KVTFindNext that hands out this id ends the list (ids 0 to 4 on a fresh load).
const uint8_t kLastIdOfList = 4;

// Fills the caller's entry with host 0 and the next id and prints the line with what the
// entry now holds. A null entry gets nothing written but still uses up its id.
uint8_t HandOutEntry(const char *format, DeviceEntry *entry)
{
    const uint8_t id = g_nextId++;
    int32_t host = 0, shownId = id;
    if (entry) {
        entry->host = 0;
        entry->id = id;
        host = entry->host;
        shownId = entry->id;
    }
    PrintFormatted(format, host, shownId);
    return id;
}

} // namespace

extern "C" int32_t __cdecl KVTFindFirst(DeviceEntry *entry)
{
    HandOutEntry("KVTFindFirst : host = %d, id = %d\n", entry);
    return MIRDU_FIND_FIRST_RESULT;
}

extern "C" int32_t __cdecl KVTFindNext(int32_t, DeviceEntry *entry)
{
    return HandOutEntry("KVTFindNext : host = %d, id = %d\n", entry) == kLastIdOfList ? 0 : 1;
}

extern "C" int32_t __cdecl KVTFindClose(void)
{
    return PrintFormatted("KVTFindClose\n");
}

extern "C" int32_t __cdecl KVTOpen(int32_t host, int32_t id)
{
    PrintFormatted("KVTOpen : host = %d, id = %d\n", host, id);
    return MIRDU_OPEN_RESULT;
}

extern "C" int32_t __cdecl KVTClose(void)
{
    return PrintFormatted("KVTClose\n");
}
