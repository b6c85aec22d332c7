// What the lines of the library's log are: calls with their values by name, the banner, the
// closing prompt, capture errors.
#ifndef MIRDU_RUNNER_LOGLINE_H
#define MIRDU_RUNNER_LOGLINE_H

#include <string>
#include <utility>
#include <vector>

struct LogLine {
    enum Kind { kOther, kBanner, kPrompt, kCall, kError } kind = kOther;
    std::string call;                                       // a call's name
    std::vector<std::pair<std::string, std::string>> args;  // its values by name, as printed
    std::string capture;                                    // a write's capture file name
};

// Reads the log in order: the prompt is the line after an empty one, and capture numbers
// count the writes since the last banner, as the library numbers them from each load.
class LogReader {
public:
    LogLine Next(const std::string &line);
    // The bytes that the read calls asked for, by the lengths their lines give.
    unsigned long long readBack() const { return readBack_; }

private:
    bool previousEmpty_ = false;
    unsigned captures_ = 0; // the library's signed counter, wrapping as it does
    unsigned long long readBack_ = 0;
};

#endif
