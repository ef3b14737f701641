#include "support/fileio.h"

#include "support/strings.h"

namespace {
// Largest piece handed to one system call. Pieces of a few MiB cost nothing
// in speed and keep the process quick to answer an interrupt: wine, for
// one, runs a Ctrl-C handler only once the call in progress has returned.
const uint32_t maximumTransfer = 8u << 20;
}

bool FileHandle::openForReading(const char* name) {
    return platformOpenForReading(&handle, name);
}

bool FileHandle::openRegularForReading(const char* name) {
    return platformOpenRegularForReading(&handle, name);
}

bool FileHandle::openOutputForReading(const char* name) {
    return platformOpenOutputForReading(&handle, name);
}

bool FileHandle::close() {
    return platformClose(handle);
}

bool FileHandle::read(void* destination, uint32_t n) {
    uint8_t* p = static_cast<uint8_t*>(destination);
    while (n > 0) {
        uint32_t done = 0;
        if (!platformRead(handle, p, n < maximumTransfer ? n : maximumTransfer, &done)) return false;
        if (done == 0) return false;
        p += done;
        n -= done;
    }
    return true;
}

bool FileHandle::write(const void* source, uint32_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(source);
    while (n > 0) {
        uint32_t done = 0;
        if (!platformWrite(handle, p, n < maximumTransfer ? n : maximumTransfer, &done)) return false;
        if (done == 0) return false;
        p += done;
        n -= done;
    }
    return true;
}

bool FileHandle::readSome(void* destination, uint32_t n, uint32_t* done) {
    return platformRead(handle, destination, n < maximumTransfer ? n : maximumTransfer, done);
}

bool FileHandle::readWhole(ByteBuffer* buffer) {
    uint64_t size = 0;
    if (!platformFileSize(handle, &size)) return false;
    if (size >= 0x80000000ull) return false;
    uint32_t n = static_cast<uint32_t>(size);
    uint8_t* gap = buffer->insertGap(0, n);
    return read(gap, n);
}

namespace {
// Longest path the tool resolves an output name to.
const uint32_t maximumPath = 4096;

// Writes the new content over the old from the start, cuts the file to its
// new length only at the end, and waits until it is on the disk.
bool writeOver(FileHandle* file, const void* bytes, uint32_t size) {
    return platformSetFilePosition(file->handle, 0) && file->write(bytes, size) &&
           platformSetFileLength(file->handle, size) && platformFlushFile(file->handle);
}

// The plain write, where no temporary can be made beside the target, never
// leaving less than the user had: room for the whole new content is made
// first, and if the write still fails the old content is put back. An
// interrupt waits until the file holds one content or the other.
SaveResult saveInPlace(const char* target, const void* bytes, uint32_t size, bool* oldContentLost) {
    FileHandle file;
    if (!platformOpenInPlace(&file.handle, target)) return SaveResult::cannotCreate;
    ByteBuffer old;
    old.init();
    bool ready = file.readWhole(&old) && platformReserveFileSize(file.handle, size);
    bool written = false;
    bool restored = true;
    if (ready) {
        platformHoldInterrupts();
        if (!platformInterruptPending()) {
            written = writeOver(&file, bytes, size) && platformDropSpecialBits(file.handle);
            if (!written) restored = writeOver(&file, old.data, old.size);
        }
    }
    // The new content is on the disk once the flush has succeeded: a close
    // that fails after it (EINTR, a late error of a network share) takes
    // nothing back, so the run has written its output.
    file.close();
    old.release();
    if (ready) platformOutputDecided(written);
    // A write whose undo failed too leaves a file that holds neither content
    // for sure.
    if (oldContentLost) *oldContentLost = !written && !restored;
    return written ? SaveResult::saved : SaveResult::writeFailed;
}
}  // namespace

SaveResult saveFileSafely(const char* name, const void* bytes, uint32_t size, bool* oldContentLost) {
    if (oldContentLost) *oldContentLost = false;
    char target[maximumPath];
    PlatformFileInfo info;
    if (!platformResolveOutput(name, target, maximumPath) || !platformInspect(target, &info, true))
        return SaveResult::cannotCreate;
    // Replacing a device or a pipe by a regular file would harm the system,
    // and replacing a file the user could not write would bypass its
    // permissions (a rename only asks the folder).
    if (info.exists && (!info.regular || !info.writable)) return SaveResult::cannotCreate;
    FileHandle file;
    bool noTemporary = false;
    if (!platformCreateTemporary(&file.handle, target, &noTemporary)) {
        // A writable output in a folder the user cannot add files to, or a
        // name so near the path limit that no temporary's name fits: the
        // plain write, which an interruption can leave half written.
        if (!noTemporary) return SaveResult::cannotCreate;
        return saveInPlace(target, bytes, size, oldContentLost);
    }
    // On the disk before it takes the output's name: a write failure that a
    // cache would report only later still leaves the old output.
    bool written = file.write(bytes, size) && platformFlushFile(file.handle) &&
                   platformSetOutputPermissions(file.handle, target) &&
                   platformKeepTemporary(file.handle);
    bool closed = file.close();
    bool refused = false;
    if (!written || !closed || !platformReplaceWithTemporary(target, &refused)) {
        platformRemoveTemporary();
        return refused ? SaveResult::cannotCreate : SaveResult::writeFailed;
    }
    return SaveResult::saved;
}

bool sameFile(const char* a, const char* b) {
    PlatformFileInfo first, second;
    return platformInspect(a, &first, false) && first.exists && platformInspect(b, &second, false) && second.exists &&
           first.volume == second.volume && first.index == second.index;
}

bool readOutputStart(const char* name, uint8_t* bytes, uint32_t capacity, uint32_t* got) {
    FileHandle file;
    *got = 0;
    if (!file.openOutputForReading(name)) return false;
    uint32_t done = 0;
    bool read = true;
    while (*got < capacity && (read = file.readSome(bytes + *got, capacity - *got, &done)) && done > 0) *got += done;
    file.close();
    return read;
}

const char* sourceFileName(const char* name, TextBuilder* scratch) {
    if (!platformConventions.sourceBackslashIsSlash) return name;
    const char* p = name;
    while (*p && *p != '\\') ++p;
    if (!*p) return name;
    scratch->clear();
    for (p = name; *p; ++p) scratch->appendChar(*p == '\\' ? '/' : *p);
    return scratch->terminate();
}

bool isExistingRegularFile(const char* name) {
    PlatformFileInfo info;
    return platformInspect(name, &info, false) && info.exists && info.regular;
}

bool mayBeRegularFile(const char* name) {
    PlatformFileInfo info;
    return !platformInspect(name, &info, false) || (info.exists && info.regular);
}

void writeConsole(const char* text) {
    platformWriteStandardOutput(text, strLength(text));
}

void writeConsoleLine(const char* text) {
    writeConsole(text);
    writeConsole(platformConventions.lineEnd);
}
