// Helpers shared by the unit tests.
#pragma once

struct FatalExit {
    int code;
};

#include <string>

#include "platform/platform.h"

// The console line the fatal exit writes for a message.
inline std::string fatalLine(const char* message) {
    return std::string("symweld: ") + message + platformConventions.lineEnd;
}
