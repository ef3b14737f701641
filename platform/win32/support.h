// What the Win32 files of the platform layer share with each other: small
// helpers and the state that the console handler reads. Included only by
// platform/win32/*.cpp.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace win32 {

inline HANDLE toHandle(PlatformFile file) {
    return reinterpret_cast<HANDLE>(file);
}

inline uint32_t textLength(const char* text) {
    uint32_t n = 0;
    while (text[n]) ++n;
    return n;
}

inline void copyText(char* destination, const char* source, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) destination[i] = source[i];
    destination[length] = 0;
}

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline bool notFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// files.cpp

// Length of the folder part of a path, its last separator included.
uint32_t folderLength(const char* path);
// Whether another program (a virus scanner, an indexer, an editor) holds
// the file for a moment, rather than the file refusing the user for good.
bool heldByAnother(DWORD error, const char* name);
// Pauses between tries at a held file: about 2 s in all.
extern const DWORD heldFilePauses[];
extern const uint32_t heldFileTries;

// replace.cpp

// The open temporary of this run; INVALID_HANDLE_VALUE when there is none.
extern HANDLE temporaryHandle;
// Whether the temporary's second name exists, and whether it is being moved
// over the target (an interrupt then waits for the move to end).
enum : LONG { noKeptName = 0, keptNameExists = 1, keptNameMoving = 2 };
extern volatile LONG keptState;
void removeKeptName();

// signals.cpp

// Whether the new output is in place; whether the in-place write is under
// way, and whether an interrupt waited for it.
extern volatile LONG outputReplaced;
extern volatile LONG writingInPlace;
extern volatile LONG interruptWaiting;
// Ends a run that has not replaced its output as an interrupt does;
// returns for a run whose output is in place.
void endUnfinishedRun();

// process.cpp

// Ends the process with `code`, or waits for the thread that already does.
[[noreturn]] void endProcess(UINT code);
// Stops the thread that runs the program and waits until it has stopped;
// false where it cannot be stopped. resumeWorker lets it go on.
bool stopWorker();
void resumeWorker();

}  // namespace win32
