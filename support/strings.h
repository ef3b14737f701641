// Zero-terminated single-byte strings: heap strings that carry their block
// size in a 4-byte header, one shared empty string, and a text builder.
#pragma once

#include <cstdint>

#include "support/buffer.h"

// The one empty string; never allocated, never freed.
extern const char emptyString[1];

char* strDup(const char* s);
char* strDupN(const char* p, uint32_t n);
void strRelease(const char* s);
uint32_t strLength(const char* s);
bool strEqual(const char* a, const char* b);

// Builds one string a byte at a time; always leaves room for two zero bytes.
struct TextBuilder {
    static const uint32_t initialCapacity = 4096;
    ByteBuffer buffer;

    void initText();
    void appendChar(char c) {
        buffer.reserve(3);
        buffer.data[buffer.size++] = static_cast<uint8_t>(c);
    }
    const char* terminate();
    void clear() { buffer.clear(); }
    void release() { buffer.release(); }
};
