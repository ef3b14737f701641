// Yields the arguments one at a time. Where the system passes them already
// split (POSIX), they are used as they are; otherwise the raw command line
// is split by the tool's own rules: blanks and tabs separate, a double quote
// that begins an argument groups blanks into it, nothing else is special.
#pragma once

#include "support/strings.h"

struct ArgScanner {
    const char* position;
    const char* const* vector;  // the system's argument vector, or null
    TextBuilder text;

    // Starts on the given command line, or on the system's arguments when
    // null, and passes over the tool's own name.
    void init(const char* commandLine = nullptr);
    // Starts on an argument vector (tool name first, null-terminated).
    void initVector(const char* const* arguments);
    // The next argument, valid until the following call; null at the end.
    const char* next();
    void release();
};
