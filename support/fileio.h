// Files and console: plain success flags, no messages of their own.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "support/buffer.h"

struct FileHandle {
    PlatformFile handle;

    bool openForReading(const char* name);
    bool createForWriting(const char* name);
    bool close();
    // Each transfers every byte or fails; an early end of file is a failure.
    bool read(void* destination, uint32_t n);
    bool write(const void* source, uint32_t n);
    // Appends the whole file to the (empty) buffer. Files of 2 GiB or more
    // are refused, since no buffer may hold them.
    bool readWhole(ByteBuffer* buffer);
};

void writeConsole(const char* text);
void writeConsoleLine(const char* text);
