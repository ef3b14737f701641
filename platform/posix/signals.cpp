// Signals: an interrupt removes the temporary before it ends the process,
// and the final step of a run holds interrupts back until its result is
// known.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cstring>
#include <unistd.h>

namespace {

// Every catchable signal whose default action ends the process, apart from
// the faults of the process itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGSYS,
// SIGTRAP), which belong to debuggers and sanitizers; and the real-time
// signals, added where the set is made.
const int interruptSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

sigset_t interruptSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : interruptSignals) sigaddset(&set, signalNumber);
#ifdef SIGRTMIN
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) sigaddset(&set, signalNumber);
#endif
    return set;
}

void removeTemporaryAndDie(int signalNumber) {
    if (posix::temporaryExists) unlinkat(posix::temporaryFolder, posix::temporaryName, 0);
    posix::temporaryExists = 0;
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// SIGPIPE and SIGXFSZ come from the system when a write of this process
// meets a closed pipe or the file-size limit: that write then fails like
// any other. Sent by another process, they end the run like the others.
void endOnSignalFromOutside(int signalNumber, siginfo_t* info, void*) {
    bool fromOwnWrite = info && info->si_code == SI_USER && info->si_pid == getpid();
    if (!fromOwnWrite) removeTemporaryAndDie(signalNumber);
}

// The final step of a run that writes its output (the rename, or the
// in-place write) runs with interrupts held back, and its result decides
// the run's: once the new output is in place, they stay held until the
// process has ended, and a later final step (the dependency file's) no
// longer gives way to them; otherwise they take effect.
sigset_t maskBeforeFinalStep;
bool finalStepActive = false;
bool outputCommitted = false;

}  // namespace

// Signals that would end the process first remove the temporary; a signal
// that the caller ignores (nohup, background jobs) stays ignored.
void posix::catchInterrupts() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    sigset_t all = interruptSet();
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (sigismember(&all, signalNumber) != 1) continue;
        struct sigaction old;
        // Only the default action is replaced: a signal ignored at start
        // stays ignored, and a handler of a sanitizer stays in place.
        if (sigaction(signalNumber, nullptr, &old) != 0) continue;
        if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = removeTemporaryAndDie;
        action.sa_mask = all;
        sigaction(signalNumber, &action, nullptr);
    }
}

void posix::blockInterrupts(sigset_t* previous) {
    sigset_t set = interruptSet();
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &set, previous);
}

bool posix::interruptPending() {
    sigset_t pending;
    sigset_t interrupts = interruptSet();
    if (sigpending(&pending) != 0) return false;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        if (sigismember(&interrupts, signalNumber) == 1 && sigismember(&pending, signalNumber) == 1) return true;
    return false;
}

void posix::beginFinalStep() {
    catchInterrupts();
    // Held already: the mask saved first is the one to go back to.
    if (finalStepActive) return;
    blockInterrupts(&maskBeforeFinalStep);
    finalStepActive = true;
}

// Whether the final step must give way to an interrupt that came meanwhile.
bool posix::finalStepInterrupted() {
    return !outputCommitted && interruptPending();
}

void posix::endFinalStep(bool outputReplaced) {
    if (outputReplaced) outputCommitted = true;
    if (!finalStepActive || outputCommitted) return;
    finalStepActive = false;
    sigprocmask(SIG_SETMASK, &maskBeforeFinalStep, nullptr);
}

// A console write to a closed pipe must not end the process, and a write
// past the file-size limit must fail like any other write; the same signals
// sent by another process end the run. Ignored at start, they stay ignored.
void posix::catchSignalsFromWrites() {
    const int fromWrites[] = {SIGPIPE, SIGXFSZ};
    for (int signalNumber : fromWrites) {
        struct sigaction old;
        if (sigaction(signalNumber, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = endOnSignalFromOutside;
        action.sa_flags = SA_SIGINFO;
        sigfillset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
}

void platformHoldInterrupts() {
    posix::beginFinalStep();
}

bool platformInterruptPending() {
    return posix::finalStepInterrupted();
}

void platformOutputDecided(bool replaced) {
    posix::settleInPlaceFile(replaced);
    posix::endFinalStep(replaced);
}
