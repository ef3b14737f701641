// Interrupts: Ctrl-C, Ctrl-Break, closing the console, logging off and
// shutting down, through the console control handler. An interrupt never
// ends a run with exit code 0 unless its output is in place.
#include "platform/win32/support.h"

namespace win32 {

volatile LONG outputReplaced = 0;
volatile LONG writingInPlace = 0;
volatile LONG interruptWaiting = 0;

// Ends a run that has not replaced its output with STATUS_CONTROL_C_EXIT,
// as Windows' own handler ends a console program on Ctrl-C (wine's would end
// it with 0, a success for a run that wrote nothing); the temporary goes
// with its handle. Returns for a run whose output is in place.
//
// The kept name is removed before the worker stops (removing a file can
// take the heap's lock, which a stopped thread may hold); a move that began
// meanwhile is let end, and decides.
void endUnfinishedRun() {
    for (;;) {
        while (keptState == keptNameMoving || writingInPlace) {
            InterlockedExchange(&interruptWaiting, 1);
            Sleep(1);
        }
        if (outputReplaced) return;
        removeKeptName();
        bool stopped = stopWorker();
        if (keptState != keptNameMoving && !writingInPlace && !outputReplaced) break;
        if (stopped) resumeWorker();
    }
    endProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace win32

namespace {

// A run whose output is in place is let finish as it would have.
BOOL WINAPI endRunOnInterrupt(DWORD) {
    win32::endUnfinishedRun();
    return TRUE;
}

}  // namespace

void platformCatchInterrupts() {
    static bool caught = false;
    if (!caught) caught = SetConsoleCtrlHandler(endRunOnInterrupt, TRUE) != 0;
}

void platformHoldInterrupts() {
    InterlockedExchange(&win32::writingInPlace, 1);
}

bool platformInterruptPending() {
    return win32::interruptWaiting != 0;
}

void platformOutputDecided(bool replaced) {
    if (replaced) InterlockedExchange(&win32::outputReplaced, 1);
    InterlockedExchange(&win32::writingInPlace, 0);
}
