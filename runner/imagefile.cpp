#include "runner/imagefile.h"

namespace {

const size_t kBlock = 1 << 20; // what goes to the file in one write

} // namespace

ImageFile::~ImageFile()
{
    file_.reset();
    if (!temporary_.empty())
        DeleteFileW(temporary_.c_str());
}

Failure ImageFile::Create(const std::wstring &path)
{
    path_ = path;
    size_t slash = path.find_last_of(L"\\/") + 1;
    std::wstring stem = path.substr(0, slash) + L"." + path.substr(slash) + L"." +
                        std::to_wstring(GetCurrentProcessId());
    for (int attempt = 0; attempt < 100; attempt++) {
        std::wstring name = stem + (attempt ? L"-" + std::to_wstring(attempt) : L"") + L".tmp";
        file_.reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, NULL));
        if (file_.valid()) {
            temporary_ = name;
            return {};
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return Cannot(GetLastError());
}

void ImageFile::Put(const void *data, size_t size)
{
    if (buffer_.size() + size > kBlock) {
        WriteOut(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    if (size > kBlock)
        WriteOut((const char *)data, size);
    else
        buffer_.append((const char *)data, size);
}

Failure ImageFile::Commit()
{
    WriteOut(buffer_.data(), buffer_.size());
    file_.reset();
    if (!error_ && !MoveFileExW(temporary_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING))
        error_ = GetLastError();
    if (error_)
        return Cannot(error_);
    temporary_.clear();
    return {};
}

void ImageFile::WriteOut(const char *data, size_t size)
{
    while (size > 0 && !error_) {
        DWORD chunk = size > kBlock ? (DWORD)kBlock : (DWORD)size, written = 0;
        if (!WriteFile(file_.get(), data, chunk, &written, NULL) || written == 0)
            error_ = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
        data += written;
        size -= written;
    }
}

Failure ImageFile::Cannot(DWORD error) const
{
    return Fail(kExitRunner, L"cannot write the image " + path_ + L": " + SystemMessage(error));
}
