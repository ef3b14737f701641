#include "support/buffer.h"

#include "driver/fatal.h"
#include "support/heap.h"

void ByteBuffer::release() {
    deallocate(data, capacity);
    data = nullptr;
    size = 0;
    capacity = 0;
}

void ByteBuffer::grow(uint32_t n) {
    uint64_t needed = static_cast<uint64_t>(size) + n;
    if (needed <= capacity) return;
    // Sizes stay below 2^31.
    if (needed >= 0x80000000ull) fatalError("out of memory");
    uint64_t wanted = (needed * 3 / 2) & ~uint64_t(1);
    if (wanted < needed) wanted = needed;
    if (wanted >= 0x80000000ull) wanted = needed;
    uint32_t newCapacity = static_cast<uint32_t>(wanted);
    uint8_t* block = static_cast<uint8_t*>(allocate(newCapacity));
    copyBytes(block, data, size);
    deallocate(data, capacity);
    data = block;
    capacity = newCapacity;
}

