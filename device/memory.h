// The device memory of the memory build (mirdu-memory.dll): what the run wrote, answered back to
// its reads. It lives in a file, so that it outlives a load of the library and costs only the
// bytes written: a sparse file whose data part is the 4 GiB address space, byte for byte, and
// whose header maps the pages ever written. A page never written reads as 0xFF, as erased flash
// does; a page is filled with 0xFF when a write first touches part of it.
//
// mirdu.dll is built without MIRDU_MEMORY: its reads leave the caller's buffer as it was, and
// these calls are empty.
#ifndef MIRDU_DEVICE_MEMORY_H
#define MIRDU_DEVICE_MEMORY_H

#include <stdint.h>

// The file a runner makes for the run, named to the program in this environment variable.
#define MIRDU_MEMORY_VARIABLE L"MIRDU_MEMORY"

enum : uint32_t {
    kMemoryPageSize = 4096,
    kMemoryPages = 1u << 20, // 4 GiB of 4 KiB pages
    kMemoryBitmapOffset = kMemoryPageSize,
    kMemoryBitmapSize = kMemoryPages / 8,
    kMemoryDataOffset = kMemoryBitmapOffset + kMemoryBitmapSize, // the byte of address 0
};

// The first page of the file.
struct MemoryHeader {
    char magic[16];           // kMemoryMagic
    volatile long loads;      // how many loads of the library opened the file
};
extern const char kMemoryMagic[16];

#ifdef MIRDU_MEMORY

// Opens the device memory in path, making it there when the file is new or empty. False when
// the file cannot be opened or is no device memory: then writes are not kept and reads answer
// 0xFF.
bool OpenDeviceMemory(const wchar_t *path);
// At load: the file named by MIRDU_MEMORY, or else one of this load's own in %TEMP%, removed
// when it closes. Counts the load in the header.
void OpenRunMemory();
void CloseDeviceMemory();

// The bytes of a write, kept at addr; bytes past FFFFFFFF are not kept. A null buf keeps
// nothing. False when the bytes could not all be kept (no memory open, a disk full).
bool KeepWritten(const void *buf, uint32_t addr, uint32_t len);
// Fills buf with the len bytes at addr: what was written there last, else 0xFF. A null buf
// is left alone.
void AnswerRead(void *buf, uint32_t addr, uint32_t len);

#else

inline void OpenRunMemory() {}
inline void CloseDeviceMemory() {}
inline bool KeepWritten(const void *, uint32_t, uint32_t) { return true; }
inline void AnswerRead(void *, uint32_t, uint32_t) {}

#endif

#endif
