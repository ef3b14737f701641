// What the POSIX files of the platform layer share among themselves: the
// temporary of this run, which the signal handlers remove, and the holding
// back of interrupts around the steps that must not be cut short.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace posix {

// Copies `length` characters and a terminating zero; false when they do not
// fit `capacity`.
bool copyName(char* destination, uint32_t capacity, const char* source, size_t length);
// Length of the folder part of a path, its final slash included.
size_t folderLength(const char* path);

// The temporary of this run: its folder, held open so that its name stays
// short whatever the folder's path, and its name in that folder. The signal
// handler reads them, so they are plain static storage.
extern int temporaryFolder;
extern char temporaryName[];
extern volatile sig_atomic_t temporaryExists;

// Signals that would end the process first remove the temporary.
void catchInterrupts();
// Holds back every interrupt, and SIGPIPE and SIGXFSZ, saving the old mask.
void blockInterrupts(sigset_t* previous);
// Whether an interrupt arrived while interrupts were held back.
bool interruptPending();
// An interrupt the final step must give way to: none once the output is in
// place.
bool finalStepInterrupted();
// The final step of a run that writes its output, with interrupts held
// back; they take effect at its end unless the new output is in place.
void beginFinalStep();
void endFinalStep(bool outputReplaced);
// Settles the mode of a file written in place once the write is decided,
// and lets go of it.
void settleInPlaceFile(bool written);
// Tells the in-place write that what was written to `fd` is on the disk.
void noteFlushed(int fd);
// Opens standard handles that are closed at start on /dev/null.
void openClosedStandardHandles();
// Installs the handlers for SIGPIPE and SIGXFSZ that let the process's own
// writes fail rather than end it.
void catchSignalsFromWrites();

}  // namespace posix
