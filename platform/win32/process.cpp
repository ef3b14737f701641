// The threads of a run and the end of the process.
#include "platform/win32/support.h"

namespace {

PlatformExitHook exitHook = nullptr;

// Set by the one thread that ends the process early. Under wine two threads
// that terminate the process at once can each end the other in the middle
// of its exit and leave the process hung; the second one waits instead.
volatile LONG runEnding = 0;

// The threads of a run (see platformRunProgram): the worker runs the
// program, the process's first thread waits for it, and a watcher waits
// for the first thread.
struct RunThreads {
    void (*program)();
    HANDLE worker;
    DWORD workerId;
    HANDLE first;
    HANDLE watcherStarted;
};
RunThreads runThreads = {nullptr, nullptr, 0, nullptr, nullptr};

// Wakes when the first thread was ended from outside, as wine ends the
// thread that a SIGQUIT meets (with exit code 0, a success for a run that
// wrote nothing). The run then ends as on an interrupt. When the worker ends
// the process, this thread ends with the first one.
DWORD WINAPI endRunWithFirstThread(LPVOID) {
    SetEvent(runThreads.watcherStarted);
    WaitForSingleObject(runThreads.first, INFINITE);
    win32::endUnfinishedRun();
    return 0;
}

DWORD WINAPI runProgram(LPVOID) {
    runThreads.program();
    return 0;
}

}  // namespace

namespace win32 {

// Nothing of the process's own runs after it: the worker may have been
// stopped or ended holding a lock that the C runtime's exit code would wait
// for, and the temporary goes with the process's handles.
void endProcess(UINT code) {
    if (InterlockedExchange(&runEnding, 1) != 0) Sleep(INFINITE);
    TerminateProcess(GetCurrentProcess(), code);
    for (;;) Sleep(INFINITE);
}

// Not before the worker exists, nor on the worker itself. wine stops a
// thread only outside its own critical sections, while ending a thread
// leaves the lock it holds taken, and the thread that ends the process can
// then wait for that lock forever.
bool stopWorker() {
    if (!runThreads.worker || GetCurrentThreadId() == runThreads.workerId) return false;
    if (SuspendThread(runThreads.worker) == static_cast<DWORD>(-1)) return false;
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(runThreads.worker, &context);
    return true;
}

void resumeWorker() {
    ResumeThread(runThreads.worker);
}

}  // namespace win32

// The program runs on a thread of its own while the first thread only
// waits for it. A SIGQUIT that wine delivers to the process meets the first
// thread, which holds none of wine's locks while it waits; a working thread
// ended that way could hold one for good. A watcher ends the run when the
// first thread was ended, and the first thread ends it when the worker was
// (the program ends the process itself otherwise). Where a thread cannot
// be made, the program runs on the first thread.
//
// Not while the loader starts the process: a thread ended there would
// leave the loader's lock held, and a new thread waits for that lock.
void platformRunProgram(void (*program)()) {
    runThreads.program = program;
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE first = nullptr;
    if (started &&
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &first, SYNCHRONIZE, FALSE, 0)) {
        runThreads.first = first;
        runThreads.watcherStarted = started;
        HANDLE watcher = CreateThread(nullptr, 64 * 1024, endRunWithFirstThread, nullptr,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        // The process does not end while a thread is still starting: wine
        // can crash then.
        if (watcher) {
            WaitForSingleObject(started, 5000);
            CloseHandle(watcher);
        }
    }
    DWORD id = 0;
    HANDLE worker = CreateThread(nullptr, 0, runProgram, nullptr, CREATE_SUSPENDED, &id);
    if (!worker) {
        program();
        return;
    }
    runThreads.workerId = id;
    // Published before it runs: a handler that sees the handle sees the id.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&runThreads.worker), worker);
    ResumeThread(worker);
    WaitForSingleObject(worker, INFINITE);
    win32::endProcess(win32::outputReplaced ? 0 : STATUS_CONTROL_C_EXIT);
}

void platformSetExitHook(PlatformExitHook hook) {
    exitHook = hook;
}

void platformExit(int code) {
    if (exitHook) exitHook(code);
    ExitProcess(static_cast<UINT>(code));
}
