#include "codeview/md5.h"

#include <cstring>

namespace {

const uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotate(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t word(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

#define MD5_STEP(f, a, b, c, d, k, s, i) a = b + rotate(a + f(b, c, d) + x[k] + sines[i], s)
#define MD5_F(b, c, d) (d ^ (b & (c ^ d)))
#define MD5_G(b, c, d) (c ^ (d & (b ^ c)))
#define MD5_H(b, c, d) (b ^ c ^ d)
#define MD5_I(b, c, d) (c ^ (b | ~d))

void transform(uint32_t state[4], const uint8_t* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = word(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 16; i += 4) {
        MD5_STEP(MD5_F, a, b, c, d, i, 7, i);
        MD5_STEP(MD5_F, d, a, b, c, i + 1, 12, i + 1);
        MD5_STEP(MD5_F, c, d, a, b, i + 2, 17, i + 2);
        MD5_STEP(MD5_F, b, c, d, a, i + 3, 22, i + 3);
    }
    for (int i = 0; i < 16; i += 4) {
        MD5_STEP(MD5_G, a, b, c, d, (5 * i + 1) & 15, 5, 16 + i);
        MD5_STEP(MD5_G, d, a, b, c, (5 * i + 6) & 15, 9, 17 + i);
        MD5_STEP(MD5_G, c, d, a, b, (5 * i + 11) & 15, 14, 18 + i);
        MD5_STEP(MD5_G, b, c, d, a, (5 * i + 16) & 15, 20, 19 + i);
    }
    for (int i = 0; i < 16; i += 4) {
        MD5_STEP(MD5_H, a, b, c, d, (3 * i + 5) & 15, 4, 32 + i);
        MD5_STEP(MD5_H, d, a, b, c, (3 * i + 8) & 15, 11, 33 + i);
        MD5_STEP(MD5_H, c, d, a, b, (3 * i + 11) & 15, 16, 34 + i);
        MD5_STEP(MD5_H, b, c, d, a, (3 * i + 14) & 15, 23, 35 + i);
    }
    for (int i = 0; i < 16; i += 4) {
        MD5_STEP(MD5_I, a, b, c, d, (7 * i) & 15, 6, 48 + i);
        MD5_STEP(MD5_I, d, a, b, c, (7 * i + 7) & 15, 10, 49 + i);
        MD5_STEP(MD5_I, c, d, a, b, (7 * i + 14) & 15, 15, 50 + i);
        MD5_STEP(MD5_I, b, c, d, a, (7 * i + 21) & 15, 21, 51 + i);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void Md5::init() {
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
    length = 0;
    pendingSize = 0;
}

void Md5::update(const uint8_t* data, uint32_t n) {
    length += n;
    if (pendingSize > 0) {
        uint32_t take = 64 - pendingSize < n ? 64 - pendingSize : n;
        memcpy(pending + pendingSize, data, take);
        pendingSize += take;
        data += take;
        n -= take;
        if (pendingSize < 64) return;
        transform(state, pending);
        pendingSize = 0;
    }
    uint32_t whole = n & ~63u;
    for (uint32_t i = 0; i < whole; i += 64) transform(state, data + i);
    pendingSize = n - whole;
    if (pendingSize) memcpy(pending, data + whole, pendingSize);
}

void Md5::finish(uint8_t digest[16]) {
    // The tail, the 0x80 marker, zero padding and the bit length.
    uint8_t tail[128];
    memset(tail, 0, sizeof tail);
    if (pendingSize) memcpy(tail, pending, pendingSize);
    tail[pendingSize] = 0x80;
    uint32_t tailLength = pendingSize < 56 ? 64 : 128;
    uint64_t bits = length * 8;
    for (int i = 0; i < 8; ++i) tail[tailLength - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
    for (uint32_t i = 0; i < tailLength; i += 64) transform(state, tail + i);

    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (8 * j));
}

void md5(const uint8_t* data, uint32_t length, uint8_t digest[16]) {
    Md5 context;
    context.init();
    context.update(data, length);
    context.finish(digest);
}
