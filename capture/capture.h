// Capture files: every write call keeps its data in a numbered file on drive F:.
#ifndef MIRDU_CAPTURE_H
#define MIRDU_CAPTURE_H

#include <stdint.h>

// Room for the longest path: "f:\" + an 11-character number + "-kvtsyncwrite-" + 8 digits + ".bin".
enum { kCapturePathSize = 52 };

// Takes the current value of a sequence counter and advances it, wrapping from
// 2147483647 to -2147483648.
int32_t TakeSequenceNumber(int32_t *counter);

// Formats "f:\NNNN-TAG-AAAAAAAA.bin" into path; returns the length.
int FormatCapturePath(char *path, const char *tag, int32_t number, uint32_t addr);

// Writes len bytes from buf to the next capture file named after tag and addr. With report
// set, a failure to create or fully write the file is shown as a console line.
void Capture(const char *tag, const void *buf, uint32_t addr, uint32_t len, bool report);

#endif
