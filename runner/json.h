// The one framing of the engine's protocol, between mirdu-run.exe and the Linux runner (host.h)
// and between mirdu-run.exe and its console reader (follow.h): one JSON object a line. Objects
// are flat: their values are strings, numbers, true, false, null, or arrays of strings.
// Strings are carried as bytes: UTF-8, or the console's own bytes, which pass unchanged.
#ifndef MIRDU_RUNNER_JSON_H
#define MIRDU_RUNNER_JSON_H

#include <map>
#include <string>
#include <vector>

struct JsonValue {
    enum Kind { kNull, kString, kNumber, kBool, kArray } kind = kNull;
    std::string text;                // kString
    double number = 0;               // kNumber
    bool flag = false;               // kBool
    std::vector<std::string> items;  // kArray
};

using JsonObject = std::map<std::string, JsonValue>;

// A JSON string of these bytes: quotes, backslashes and control characters escaped.
std::string JsonString(const std::string &bytes);

// One line's object; false for anything else (or nested objects and arrays of other values).
// \u escapes become UTF-8, a surrogate pair as the one character it stands for, a lone
// surrogate as U+FFFD.
bool ParseJsonObject(const std::string &line, JsonObject &object);

// The value's text, or empty when it is no string.
const std::string &TextOf(const JsonObject &object, const std::string &key);

#endif
