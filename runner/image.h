// The memory image of capture files, as the device would hold it after them: Intel HEX or raw
// binary, byte for byte as mirdu-image writes it.
#ifndef MIRDU_RUNNER_IMAGE_H
#define MIRDU_RUNNER_IMAGE_H

#include <string>

#include "runner/captures.h"
#include "runner/report.h"

enum class ImageFormat { kBinary, kHex };

// From the name's extension, case-insensitive: .bin, or .hex and .ihex; false for another.
bool ImageFormatOf(const std::wstring &path, ImageFormat &format);

// Lays the captures of folder at their addresses in capture order and writes the image to
// path, through a temporary file beside it that replaces path only when complete.
Failure WriteImage(const std::wstring &folder, const Captures &captures, const std::wstring &path);

#endif
