// The command line, the console's conventions and standard output.
#include "platform/win32/support.h"

const PlatformConventions platformConventions = {"/-", "\r\n", false, false};

const char* platformCommandLine() {
    return GetCommandLineA();
}

const char* const* platformArgumentVector() {
    return nullptr;
}

// Console write results are never looked at on Windows.
bool platformStandardOutputFailed() {
    return false;
}

void platformWriteStandardOutput(const void* bytes, uint32_t count) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, count, &written, nullptr);
}
