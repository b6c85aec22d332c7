// The file that an image is written to: a temporary file beside it, moved into place when
// complete and deleted otherwise, so that nothing is left half-written and on a failure an
// earlier file of that name stays as it was.
#ifndef MIRDU_RUNNER_IMAGEFILE_H
#define MIRDU_RUNNER_IMAGEFILE_H

#include <windows.h>

#include <string>

#include "runner/report.h"
#include "shell/handle.h"

class ImageFile {
public:
    ImageFile() = default;
    ImageFile(const ImageFile &) = delete;
    ImageFile &operator=(const ImageFile &) = delete;
    ~ImageFile();

    // Makes the temporary file for path, a full path.
    Failure Create(const std::wstring &path);
    // Small pieces are gathered into larger writes; a large one goes out as it is. A failure
    // is kept for Commit.
    void Put(const void *data, size_t size);
    // Moves the file into place, unless a write failed.
    Failure Commit();

private:
    void WriteOut(const char *data, size_t size);
    Failure Cannot(DWORD error) const;

    UniqueHandle file_;
    std::wstring path_, temporary_;
    std::string buffer_;
    DWORD error_ = 0;
};

#endif
