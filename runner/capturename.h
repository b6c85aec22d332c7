// The names of the library's capture files, NNNN-kvtwrite-AAAAAAAA.bin and
// NNNN-kvtsyncwrite-AAAAAAAA.bin: formatted as the library formats them, and read back.
#ifndef MIRDU_RUNNER_CAPTURENAME_H
#define MIRDU_RUNNER_CAPTURENAME_H

#include <cstdint>
#include <string>

// The write call that made a capture: KVTWrite (tag kvtwrite) or KVTSyncWrite (kvtsyncwrite).
enum class WriteCall { kWrite, kSyncWrite };

struct CaptureName {
    int32_t number;   // the library's signed counter of writes since its load
    WriteCall call;
    uint32_t address; // the device address of the write
};

// "%04d-TAG-%08X.bin": 0000 ... 2147483647, then, once the counter has wrapped,
// -2147483648 ... -001.
std::string FormatCaptureName(const CaptureName &name);

// True for exactly the names that FormatCaptureName makes: no other case, no other padding.
bool ParseCaptureName(const std::wstring &text, CaptureName &name);

// Capture order within one load: the counter taken as unsigned counts on past the wrap.
inline uint32_t CaptureOrder(int32_t number) { return (uint32_t)number; }

#endif
