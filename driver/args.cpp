#include "driver/args.h"

#include "platform/platform.h"

void ArgScanner::init(const char* commandLine) {
    const char* const* arguments = commandLine ? nullptr : platformArgumentVector();
    if (arguments) {
        initVector(arguments);
        return;
    }
    position = commandLine ? commandLine : platformCommandLine();
    vector = nullptr;
    text.initText();
    next();
}

void ArgScanner::initVector(const char* const* arguments) {
    position = nullptr;
    vector = arguments;
    text.buffer.init();
    if (*vector) ++vector;
}

const char* ArgScanner::next() {
    if (vector) return *vector ? *vector++ : nullptr;
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
