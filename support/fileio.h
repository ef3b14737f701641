// Files and console: plain success flags, no messages of their own. Every
// rule that keeps the user's files safe lives here.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "support/buffer.h"
#include "support/strings.h"

struct FileHandle {
    PlatformFile handle;

    bool openForReading(const char* name);
    // Regular files only, opened without waiting (for source files, which
    // may have been replaced by anything since they were assembled).
    bool openRegularForReading(const char* name);
    // An existing output, shared with every other use of it.
    bool openOutputForReading(const char* name);
    bool close();
    // Each transfers every byte or fails; an early end of file is a failure.
    bool read(void* destination, uint32_t n);
    bool write(const void* source, uint32_t n);
    // Reads up to n bytes; *done is 0 at the end of the file.
    bool readSome(void* destination, uint32_t n, uint32_t* done);
    // Appends the whole file to the (empty) buffer. Files of 2 GiB or more
    // are refused, since no buffer may hold them.
    bool readWhole(ByteBuffer* buffer);
};

enum class SaveResult { saved, cannotCreate, writeFailed };

// Writes the bytes under the name so that no failure or interruption harms
// anything: they go to a temporary file beside the target, which replaces
// the target only when complete. An existing output that is not a regular
// file, or that the user could not write, is refused (cannotCreate) and
// left as it is; a failed write leaves the old output and no temporary.
// Only where the write had to go in place and both the write and the undo
// failed is the old content lost: *oldContentLost (where asked) says so.
SaveResult saveFileSafely(const char* name, const void* bytes, uint32_t size, bool* oldContentLost = nullptr);

// Whether both names lead to one existing file (links followed).
bool sameFile(const char* a, const char* b);
// Reads the first bytes of an existing output, a regular file, up to
// `capacity` (fewer where the file is shorter); false when it cannot be
// opened or read.
bool readOutputStart(const char* name, uint8_t* bytes, uint32_t capacity, uint32_t* got);
// A source name from a ".fas" file, as the assembler on this system opened
// it: on Linux every backslash is a "/". Returns the name itself or the
// converted copy in `scratch`.
const char* sourceFileName(const char* name, TextBuilder* scratch);
// Whether the name leads to an existing regular file (links followed).
bool isExistingRegularFile(const char* name);
// The same, or a name whose look failed: that is no proof that it is gone.
bool mayBeRegularFile(const char* name);

void writeConsole(const char* text);
void writeConsoleLine(const char* text);
