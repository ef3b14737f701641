#include "support/strings.h"

#include <cstring>

#include "support/heap.h"

const char emptyString[1] = {0};

char* strDupN(const char* p, uint32_t n) {
    if (n == 0) return const_cast<char*>(emptyString);
    char* block = static_cast<char*>(allocate(n + 5));
    uint32_t total = n + 5;
    memcpy(block, &total, 4);
    copyBytes(block + 4, p, n);
    block[4 + n] = 0;
    return block + 4;
}

char* strDup(const char* s) {
    if (s == emptyString) return const_cast<char*>(emptyString);
    return strDupN(s, strLength(s));
}

// A heap string's block is {n + 5} followed by the characters and a zero;
// strings need no alignment, so their header is 4 bytes.
void strRelease(const char* s) {
    if (s == emptyString || !s) return;
    char* block = const_cast<char*>(s) - 4;
    uint32_t total;
    memcpy(&total, block, 4);
    deallocate(block, total);
}

uint32_t strLength(const char* s) {
    return static_cast<uint32_t>(strlen(s));
}

bool strEqual(const char* a, const char* b) {
    return strcmp(a, b) == 0;
}

void TextBuilder::initText() {
    buffer.data = static_cast<uint8_t*>(allocate(initialCapacity));
    buffer.size = 0;
    buffer.capacity = initialCapacity;
}

const char* TextBuilder::terminate() {
    buffer.data[buffer.size] = 0;
    buffer.data[buffer.size + 1] = 0;
    return reinterpret_cast<const char*>(buffer.data);
}
