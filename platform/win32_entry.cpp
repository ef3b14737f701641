// Process entry on Windows: the command line comes from GetCommandLineA, so
// the C runtime's argument vector is not used.
#include <windows.h>

#include "platform/platform.h"

void platformCatchInterrupts();
void platformRunProgram(void (*program)());

namespace {
// Called by the loader before the C runtime starts: from the earliest
// instant the program runs, an interrupt never ends it with success.
void NTAPI catchInterruptsAtStart(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH) platformCatchInterrupts();
}
}  // namespace

extern "C" {
__attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK symweldStartCallback = catchInterruptsAtStart;
}

int main() {
    platformCatchInterrupts();  // where a loader calls no TLS callbacks
    platformRunProgram(symweldMain);
    return 0;
}
