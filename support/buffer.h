// Growable block of bytes: every variable-length piece of data lives in one.
#pragma once

#include <cstdint>
#include <cstring>

// Little-endian access to bytes of file images.
inline uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t readU64(const uint8_t* p) {
    return static_cast<uint64_t>(readU32(p)) | (static_cast<uint64_t>(readU32(p + 4)) << 32);
}
inline void writeU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void writeU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

struct ByteBuffer {
    uint8_t* data;
    uint32_t size;
    uint32_t capacity;

    void init() {
        data = nullptr;
        size = 0;
        capacity = 0;
    }
    void release();
    void clear() { size = 0; }

    // Makes room for n more bytes: capacity grows to 3/2 of the need,
    // rounded down to even, never below the need.
    void reserve(uint32_t n) {
        if (n > capacity - size) grow(n);
    }
    void grow(uint32_t n);

    void appendBytes(const void* source, uint32_t n) {
        reserve(n);
        if (n) memcpy(data + size, source, n);
        size += n;
    }
    void appendU8(uint8_t v) {
        reserve(1);
        data[size++] = v;
    }
    void appendU16(uint16_t v) {
        reserve(2);
        writeU16(data + size, v);
        size += 2;
    }
    void appendU32(uint32_t v) {
        reserve(4);
        writeU32(data + size, v);
        size += 4;
    }
    // Appends n zero bytes.
    void appendZeros(uint32_t n) {
        reserve(n);
        if (n) memset(data + size, 0, n);
        size += n;
    }
    // Opens n bytes at the offset (moving what follows up) and returns them.
    uint8_t* insertGap(uint32_t offset, uint32_t n) {
        reserve(n);
        if (offset < size) memmove(data + offset + n, data + offset, size - offset);
        size += n;
        return data + offset;
    }
};
