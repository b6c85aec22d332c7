// --preload FILE: what the device memory holds before the program starts. FILE is Intel HEX
// (.hex, .ihex), or FILE@ADDR for the file's raw bytes at ADDR (0x hex or decimal). A file is
// read a piece at a time and its bytes handed on as they come, so that a large one costs no
// more memory than a piece.
#ifndef MIRDU_RUNNER_PRELOAD_H
#define MIRDU_RUNNER_PRELOAD_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "runner/report.h"

struct PreloadSource {
    std::wstring path;
    bool hex = false;
    uint32_t addr = 0; // raw bytes: where they go
};

// The option's value taken apart; false with why when it names no preload. The last "@" that
// a number follows starts ADDR: "me@home.hex" is a HEX file.
bool ParsePreloadSource(const std::wstring &text, PreloadSource &source, std::wstring &why);

// Where the bytes of a preload go, in the order of the file: their address and the bytes.
using PreloadSink = std::function<void(uint32_t addr, const unsigned char *data, size_t size)>;

// Intel HEX, fed a piece at a time: data records (00), the end-of-file record (01), extended
// segment (02) and linear (04) addresses; start addresses (03, 05) are left out, and so is what
// follows the end-of-file record. A record's data runs on past a 64 KiB boundary.
class HexReader {
public:
    explicit HexReader(PreloadSink sink) : sink_(std::move(sink)) {}
    // False with why ("line N: ...") at the first fault.
    bool Feed(const char *data, size_t size, std::wstring &why);
    // The end of the file: false with why when it had no end-of-file record.
    bool Finish(std::wstring &why);

private:
    bool Line(const char *text, size_t size, std::wstring &why);
    bool Record(const unsigned char *bytes, size_t count, std::wstring &why);

    PreloadSink sink_;
    std::string partial_; // the start of a line that the next piece ends
    unsigned line_ = 0;
    uint64_t base_ = 0;
    bool ended_ = false;
};

// Reads a preload's file into sink; what is wrong, naming the file, when it cannot.
Failure ReadPreload(const PreloadSource &source, const PreloadSink &sink);

// Disjoint ranges of addresses, [start, end), for telling where preloads overlap.
class AddressRanges {
public:
    void Add(uint64_t start, uint64_t end);
    void Add(const AddressRanges &other);
    // How many bytes and places of other lie in these, and the first of those places.
    struct Overlap {
        uint64_t bytes = 0, places = 0, firstStart = 0, firstEnd = 0;
    };
    Overlap Within(const AddressRanges &other) const;

private:
    std::map<uint64_t, uint64_t> ranges_; // start -> end
};

#endif
