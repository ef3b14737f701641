// Splits the raw command line by the tool's own rules: blanks and tabs
// separate, a double quote that begins an argument groups blanks into it,
// nothing else is special.
#pragma once

#include "support/strings.h"

struct ArgScanner {
    const char* position;
    TextBuilder text;

    // Starts on the given command line (the system's when null) and passes
    // over the tool's own name.
    void init(const char* commandLine = nullptr);
    // The next argument, valid until the following call; null at the end.
    const char* next();
    void release();
};
