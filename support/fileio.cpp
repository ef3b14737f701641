#include "support/fileio.h"

#include "support/strings.h"

namespace {
// Largest piece handed to one system call.
const uint32_t maximumTransfer = 1u << 30;
}

bool FileHandle::openForReading(const char* name) {
    return platformOpenForReading(&handle, name);
}

bool FileHandle::createForWriting(const char* name) {
    return platformCreateForWriting(&handle, name);
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

bool FileHandle::readWhole(ByteBuffer* buffer) {
    uint64_t size = 0;
    if (!platformFileSize(handle, &size)) return false;
    if (size >= 0x80000000ull) return false;
    uint32_t n = static_cast<uint32_t>(size);
    uint8_t* gap = buffer->insertGap(0, n);
    return read(gap, n);
}

void writeConsole(const char* text) {
    platformWriteStandardOutput(text, strLength(text));
}

void writeConsoleLine(const char* text) {
    writeConsole(text);
    writeConsole(platformConventions.lineEnd);
}
