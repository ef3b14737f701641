// MD5 message digest (RFC 1321), over one byte range or fed in pieces.
#pragma once

#include <cstdint>

struct Md5 {
    uint32_t state[4];
    uint64_t length;  // bytes fed so far
    uint8_t pending[64];
    uint32_t pendingSize;

    void init();
    void update(const uint8_t* data, uint32_t n);
    void finish(uint8_t digest[16]);
};

void md5(const uint8_t* data, uint32_t length, uint8_t digest[16]);
