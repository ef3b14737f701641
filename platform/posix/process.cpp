// The command line and the end of the process.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <unistd.h>

namespace {
char** savedArgv = nullptr;
PlatformExitHook exitHook = nullptr;
}  // namespace

// The shell has already split the arguments, and Linux users expect a path
// that begins with "/" to be a path: only "-" begins an option.
const PlatformConventions platformConventions = {"-", "\n", true, true};

const char* platformCommandLine() {
    return "";
}

const char* const* platformArgumentVector() {
    static const char* const noArguments[] = {"symweld", nullptr};
    return savedArgv ? savedArgv : noArguments;
}

void platformSetExitHook(PlatformExitHook hook) {
    exitHook = hook;
}

void platformExit(int code) {
    if (exitHook) exitHook(code);
    _exit(code);
}

void platformSetArguments(int argc, char** argv) {
    if (argc > 0) savedArgv = argv;
    posix::openClosedStandardHandles();
    posix::catchSignalsFromWrites();
}
