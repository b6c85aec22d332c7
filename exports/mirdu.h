// The calls that mirdu.dll exports, for client programs, the demo and the tests.
// Every argument is one 32-bit value and every call returns one 32-bit integer; the caller
// removes the arguments (cdecl), so passing more arguments than a call reads is harmless.
#ifndef MIRDU_H
#define MIRDU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Filled by KVTFindFirst and KVTFindNext: host is always 0, id comes from the id counter.
typedef struct DeviceEntry {
    int32_t host;
    int32_t id;
} DeviceEntry;

#define MIRDU_FIND_FIRST_RESULT 0xDEAD
#define MIRDU_OPEN_RESULT ((int32_t)0xDEADBEEF)

int32_t __cdecl KVTFindFirst(DeviceEntry *entry);
int32_t __cdecl KVTFindNext(int32_t unused, DeviceEntry *entry);
int32_t __cdecl KVTFindClose(void);
int32_t __cdecl KVTOpen(int32_t host, int32_t id);
int32_t __cdecl KVTClose(void);

uint32_t __cdecl KVTWrite(int32_t unused, const void *buf, uint32_t addr, uint32_t len);
uint32_t __cdecl KVTRead(int32_t unused, void *buf, uint32_t addr, uint32_t len);
int32_t __cdecl KVTSyncWrite(int32_t unused, const void *buf, uint32_t addr, uint32_t len);
int32_t __cdecl KVTSyncRead(int32_t unused, void *buf, uint32_t addr, uint32_t len);

int32_t __cdecl KVTGo(void);
int32_t __cdecl KVTReset(int32_t unused, int32_t flag);
int32_t __cdecl KVTSyncSoftReset(void);

int32_t __cdecl ExpFn0000(int32_t unused, uint32_t a, uint32_t b);
int32_t __cdecl ExpFn0001(void);
int32_t __cdecl ExpFn0002(void);
int32_t __cdecl ExpFn0003(void);
int32_t __cdecl ExpFn0004(void);
int32_t __cdecl ExpFn0005(uint32_t a, uint32_t b, uint32_t c, uint32_t d);

#ifdef __cplusplus
}
#endif

#endif
