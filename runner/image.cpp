#include "runner/image.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "runner/imagefile.h"
#include "runner/paths.h"
#include "shell/handle.h"

namespace {

using Address = unsigned long long;
const Address kAddressSpace = 1ull << 32;
const Address kMaxBinary = 256ull << 20; // one stray write far away would make 4 GiB

struct Capture {
    std::wstring name;
    CaptureFile file;
};

// Capture order: by number; files of one number (from two loads) older first, then by name.
bool Earlier(const Capture &a, const Capture &b)
{
    if (a.file.order != b.file.order)
        return a.file.order < b.file.order;
    if (LONG order = CompareFileTime(&a.file.written, &b.file.written))
        return order < 0;
    return a.name < b.name;
}

std::vector<Capture> InCaptureOrder(const Captures &captures)
{
    std::vector<Capture> ordered;
    for (const auto &file : captures)
        ordered.push_back({file.first, file.second});
    std::sort(ordered.begin(), ordered.end(), Earlier);
    return ordered;
}

std::wstring HumanSize(Address count)
{
    const struct {
        const wchar_t *unit;
        int shift;
    } units[] = {{L" GiB", 30}, {L" MiB", 20}, {L" KiB", 10}};
    for (const auto &u : units)
        if (count >= 1ull << u.shift) {
            wchar_t text[32];
            swprintf(text, ARRAYSIZE(text), L"%.4g", (double)count / (1ull << u.shift));
            return text + std::wstring(u.unit);
        }
    return std::to_wstring(count) + L" bytes";
}

// Bytes of one capture that no later capture replaced.
struct Piece {
    Address start, end;
    std::unique_ptr<unsigned char[]> bytes;
};

struct Span {
    Address start, end;
};

// start -> end of the addresses laid so far, as disjoint ranges with gaps between them.
using Covered = std::map<Address, Address>;

// Marks start..end covered; returns the parts of it that were not yet, in address order.
// Each range it meets is merged away, so a run of many captures stays near-linear.
std::vector<Span> Cover(Covered &covered, Address start, Address end)
{
    std::vector<Span> fresh;
    auto range = covered.upper_bound(start);
    if (range != covered.begin() && std::prev(range)->second >= start)
        --range;
    Address at = start, low = start, high = end;
    while (range != covered.end() && range->first <= end) {
        if (range->first > at)
            fresh.push_back({at, range->first});
        at = std::max(at, range->second);
        low = std::min(low, range->first);
        high = std::max(high, range->second);
        range = covered.erase(range);
    }
    if (at < end)
        fresh.push_back({at, end});
    covered[low] = high;
    return fresh;
}

bool ReadAt(HANDLE file, Address offset, unsigned char *data, Address size)
{
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        DWORD chunk = size > (1u << 30) ? (1u << 30) : (DWORD)size, got = 0;
        if (!ReadFile(file, data, chunk, &got, &at))
            return false;
        if (got == 0)
            return SetLastError(ERROR_HANDLE_EOF), false;
        data += got;
        offset += got;
        size -= got;
    }
    return true;
}

Address SizeOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return ((Address)info.nFileSizeHigh << 32) | info.nFileSizeLow;
}

// A capture is read exactly as it was listed: one that grows, shrinks or is written to
// meanwhile gives no image rather than half of one.
Failure Unchanged(const std::wstring &path, const CaptureFile &listed,
                  const BY_HANDLE_FILE_INFORMATION &opened, const BY_HANDLE_FILE_INFORMATION &now)
{
    if (SizeOf(now) == listed.size &&
        CompareFileTime(&opened.ftLastWriteTime, &now.ftLastWriteTime) == 0)
        return {};
    return Fail(kExitRunner, path + L" changed while it was read (" +
                                 std::to_wstring(listed.size) + L" bytes before, " +
                                 std::to_wstring(SizeOf(now)) +
                                 L" after): make the image again once nothing writes there");
}

// Fails, naming it, unless the capture is a file on disk that ends by FFFFFFFF.
Failure CheckCapture(const std::wstring &path, const CaptureFile &capture)
{
    if (Failure failure = CheckCaptureFile(path, capture))
        return failure;
    if (capture.address + capture.size > kAddressSpace)
        return Fail(kExitRunner, path + L": its " + std::to_wstring(capture.size) +
                                     L" bytes at " + Hex8(capture.address) +
                                     L" run past FFFFFFFF, the last device address");
    return {};
}

// Reads the bytes of the capture that the later ones left uncovered.
Failure LayCapture(const std::wstring &path, const CaptureFile &capture, Covered &covered,
                   std::vector<Piece> &pieces)
{
    if (capture.size == 0)
        return {};
    std::vector<Span> fresh = Cover(covered, capture.address, capture.address + capture.size);
    if (fresh.empty())
        return {};
    UniqueHandle file;
    BY_HANDLE_FILE_INFORMATION opened, now;
    if (Failure failure = OpenCaptureFile(path, GENERIC_READ, file, opened))
        return failure;
    if (Failure failure = Unchanged(path, capture, opened, opened))
        return failure;
    for (const Span &span : fresh) {
        Address size = span.end - span.start;
        Piece piece{span.start, span.end,
                    std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size])};
        if (!piece.bytes)
            return Fail(kExitRunner, L"not enough memory for the image: make it with "
                                     L"mirdu-image from the capture files");
        if (!ReadAt(file.get(), span.start - capture.address, piece.bytes.get(), size))
            return Fail(kExitRunner,
                        L"cannot read " + path + L": " + SystemMessage(GetLastError()));
        pieces.push_back(std::move(piece));
    }
    if (!GetFileInformationByHandle(file.get(), &now))
        return Fail(kExitRunner, L"cannot read " + path + L": " + SystemMessage(GetLastError()));
    return Unchanged(path, capture, opened, now);
}

// The pieces of every capture, in address order: the latest is laid first and keeps all its
// bytes; each earlier one only the bytes no later one covers.
Failure Lay(const std::wstring &folder, const Captures &captures, std::vector<Piece> &pieces)
{
    // Each is looked at before any is read, in the order of their names, as mirdu-image
    // looks at them: the first that cannot be laid is the one named.
    for (const auto &capture : captures)
        if (Failure failure = CheckCapture(InFolder(folder, capture.first), capture.second))
            return failure;
    std::vector<Capture> ordered = InCaptureOrder(captures);
    Covered covered;
    for (auto capture = ordered.rbegin(); capture != ordered.rend(); ++capture)
        if (Failure failure =
                LayCapture(InFolder(folder, capture->name), capture->file, covered, pieces))
            return failure;
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece &a, const Piece &b) { return a.start < b.start; });
    return {};
}

// Data records of up to 16 bytes, each starting where a run of written bytes or a 64 KiB
// window of addresses starts; an extended linear address record before the first record of
// each other window; the end-of-file record.
class HexRecords {
public:
    explicit HexRecords(ImageFile &out) : out_(out) {}

    void Add(Address address, const unsigned char *data, Address size)
    {
        for (Address i = 0; i < size; i++, address++) {
            if (count_ && (address != next_ || count_ == 16 || (address & 0xFFFF) == 0))
                Flush();
            if (!count_)
                start_ = address;
            bytes_[count_++] = data[i];
            next_ = address + 1;
        }
    }

    void End()
    {
        Flush();
        Record(0, 1, nullptr, 0);
    }

private:
    void Flush()
    {
        if (!count_)
            return;
        unsigned upper = (unsigned)(start_ >> 16);
        if (upper != upper_) {
            unsigned char bits[] = {(unsigned char)(upper >> 8), (unsigned char)upper};
            Record(0, 4, bits, 2);
            upper_ = upper;
        }
        Record((unsigned)start_ & 0xFFFF, 0, bytes_, count_);
        count_ = 0;
    }

    void Record(unsigned offset, unsigned type, const unsigned char *data, unsigned count)
    {
        static const char digits[] = "0123456789ABCDEF";
        char line[1 + 2 * (4 + 16 + 1) + 1], *at = line;
        unsigned sum = 0;
        auto put = [&](unsigned byte) {
            *at++ = digits[(byte >> 4) & 0xF];
            *at++ = digits[byte & 0xF];
            sum += byte;
        };
        *at++ = ':';
        put(count);
        put(offset >> 8);
        put(offset & 0xFF);
        put(type);
        for (unsigned i = 0; i < count; i++)
            put(data[i]);
        put(-sum & 0xFF);
        *at++ = '\n';
        out_.Put(line, at - line);
    }

    ImageFile &out_;
    Address start_ = 0, next_ = 0;
    unsigned char bytes_[16];
    unsigned count_ = 0, upper_ = 0;
};

// From the lowest to the highest written address, the gaps 0xFF as erased flash.
void WriteBinary(const std::vector<Piece> &pieces, ImageFile &out)
{
    static const std::string fill(64 << 10, '\xFF');
    Address at = pieces.empty() ? 0 : pieces.front().start;
    for (const Piece &piece : pieces) {
        while (at < piece.start) {
            Address gap = std::min<Address>(piece.start - at, fill.size());
            out.Put(fill.data(), gap);
            at += gap;
        }
        out.Put(piece.bytes.get(), piece.end - piece.start);
        at = piece.end;
    }
}

Failure CheckSpan(const std::vector<Piece> &pieces)
{
    if (pieces.empty())
        return {};
    Address first = pieces.front().start, last = pieces.back().end - 1, size = last - first + 1;
    if (size <= kMaxBinary)
        return {};
    return Fail(kExitRunner, L"a binary image of " + Hex8(first) + L"-" + Hex8(last) +
                                 L" would be " + HumanSize(size) + L" (" + std::to_wstring(size) +
                                 L" bytes), more than the " + HumanSize(kMaxBinary) +
                                 L" allowed: write Intel HEX (--image NAME.hex), or the binary "
                                 L"with mirdu-image -o FILE --max-size " + std::to_wstring(size) +
                                 L" from the capture files");
}

} // namespace

bool ImageFormatOf(const std::wstring &path, ImageFormat &format)
{
    // As Python's splitext: the dots a name begins with start no extension.
    std::wstring name = path.substr(path.find_last_of(L"\\/:") + 1);
    size_t dot = name.find_last_of(L'.');
    if (dot == std::wstring::npos || name.find_first_not_of(L'.') > dot)
        return false;
    std::wstring extension = name.substr(dot);
    for (wchar_t &c : extension)
        c = std::towlower(c);
    format = extension == L".bin" ? ImageFormat::kBinary : ImageFormat::kHex;
    return extension == L".bin" || extension == L".hex" || extension == L".ihex";
}

Failure WriteImage(const std::wstring &folder, const Captures &captures, const std::wstring &path)
{
    ImageFormat format = ImageFormat::kHex;
    ImageFormatOf(path, format);
    std::vector<Piece> pieces;
    if (Failure failure = Lay(folder, captures, pieces))
        return failure;
    if (format == ImageFormat::kBinary)
        if (Failure failure = CheckSpan(pieces))
            return failure;
    ImageFile out;
    if (Failure failure = out.Create(FullPath(path)))
        return failure;
    if (format == ImageFormat::kBinary) {
        WriteBinary(pieces, out);
    } else {
        HexRecords records(out);
        for (const Piece &piece : pieces)
            records.Add(piece.start, piece.bytes.get(), piece.end - piece.start);
        records.End();
    }
    return out.Commit();
}
