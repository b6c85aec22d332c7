// The line of a call as the tests' one table of lines has it (tests/pylib/call_lines.py),
// with its values filled in, line end included.
#ifndef MIRDU_TESTS_UNIT_CALL_LINE_H
#define MIRDU_TESTS_UNIT_CALL_LINE_H

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/call_lines.h"

inline std::string Line(const char *name, ...)
{
    for (const auto &entry : kCallLines) {
        if (std::strcmp(entry.name, name) != 0)
            continue;
        char text[128];
        va_list values;
        va_start(values, name);
        std::vsnprintf(text, sizeof text, entry.format, values);
        va_end(values);
        return text;
    }
    ADD_FAILURE() << "no line for " << name;
    return "";
}

#endif
