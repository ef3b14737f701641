#include "driver/args.h"

#include "platform/platform.h"

void ArgScanner::init(const char* commandLine) {
    position = commandLine ? commandLine : platformCommandLine();
    text.initText();
    next();
}

const char* ArgScanner::next() {
    text.clear();
    const char* p = position;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == 0) {
        position = p;
        return nullptr;
    }
    if (*p == '"') {
        ++p;
        while (*p != 0 && *p != '"') text.appendChar(*p++);
        if (*p == '"') ++p;
    } else {
        while (*p != 0 && *p != ' ' && *p != '\t') text.appendChar(*p++);
    }
    position = p;
    return text.terminate();
}

void ArgScanner::release() {
    text.release();
}
