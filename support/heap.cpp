#include "support/heap.h"

#include <cstring>

#include "driver/fatal.h"
#include "platform/platform.h"

BlockHeap theHeap;

namespace {

const uint32_t granule = 8;

uint32_t roundUp(uint32_t n) {
    return (n + granule - 1) & ~(granule - 1);
}

// The chunk region never moves, so its base is asked once.
char* regionBase = nullptr;
bool regionKnown = false;

char* base() {
    if (!regionKnown) {
        regionBase = platformChunkBase();
        regionKnown = true;
    }
    return regionBase;
}

char* at(uint32_t offset) {
    return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(base()) + offset);
}

uint32_t offsetOf(const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base()));
}

// In-band fields live in memory that is poisoned for the address sanitizer
// while free, so every access opens the word briefly.
uint32_t readWord(uint32_t address) {
    char* p = at(address);
    platformUnpoison(p, 4);
    uint32_t value;
    memcpy(&value, p, 4);
    platformPoison(p, 4);
    return value;
}

void writeWord(uint32_t address, uint32_t value) {
    char* p = at(address);
    platformUnpoison(p, 4);
    memcpy(p, &value, 4);
    platformPoison(p, 4);
}

// A free block is {next, size}.
uint32_t nextOf(uint32_t block) { return readWord(block); }
uint32_t sizeOf(uint32_t block) { return readWord(block + 4); }
void setNext(uint32_t block, uint32_t next) { writeWord(block, next); }
void setSize(uint32_t block, uint32_t size) { writeWord(block + 4, size); }

}  // namespace

void copyBytes(void* destination, const void* source, uint32_t n) {
    if (n) memcpy(destination, source, n);
}

void moveBytes(void* destination, const void* source, uint32_t n) {
    if (n && destination != source) memmove(destination, source, n);
}

void BlockHeap::init() {
    chunks = 0;
    freeList = 0;
    hint = noHint;
    pendingCount = 0;
}

uint32_t BlockHeap::grow(uint32_t request, uint32_t* predecessor) {
    if (request > 0x7FFFFFF0u) fatalError("out of memory");
    uint32_t payload = request * 2 > minimumPayload ? request * 2 : minimumPayload;
    if (payload > 0xFFFFFFF0u - 4) fatalError("out of memory");
    void* memory = platformChunkAllocate(payload + 4);
    if (!memory) fatalError("out of memory");
    uint32_t chunk = offsetOf(memory);
    platformUnpoison(memory, 4);
    memcpy(memory, &chunks, 4);
    platformPoison(static_cast<char*>(memory) + 4, payload);
    chunks = chunk;

    // Link the payload into the free list at its address position, unmerged.
    uint32_t block = chunk + 4;
    uint32_t previous = 0;
    uint32_t current = freeList;
    while (current != 0 && current < block) {
        previous = current;
        current = nextOf(current);
    }
    setNext(block, current);
    setSize(block, payload);
    if (previous)
        setNext(previous, block);
    else
        freeList = block;
    *predecessor = previous;
    return block;
}

void* BlockHeap::allocate(uint32_t n) {
    if (pendingCount) flush();
    hint = noHint;
    if (n == 0) n = 1;
    if (n > 0x7FFFFFF0u) fatalError("out of memory");
    uint32_t r = roundUp(n);

    uint32_t previous = 0;
    uint32_t block = freeList;
    while (block != 0 && sizeOf(block) < r) {
        previous = block;
        block = nextOf(block);
    }
    if (block == 0) {
        block = grow(r, &previous);
    }

    uint32_t size = sizeOf(block);
    uint32_t successor = nextOf(block);
    uint32_t replacement = successor;
    if (size != r) {
        replacement = block + r;
        setNext(replacement, successor);
        setSize(replacement, size - r);
    }
    if (previous)
        setNext(previous, replacement);
    else
        freeList = replacement;

    char* p = at(block);
    platformUnpoison(p, n);
    platformMarkUndefined(p, n);
    return p;
}

void BlockHeap::deallocate(void* p, uint32_t n) {
    if (!p) return;
    if (pendingCount == pendingCapacity) flush();
    platformPoison(p, n);
    uint32_t start = offsetOf(p);
    uint32_t end = start + n;
    // Frees mostly come in ascending order: a range at or above the end of
    // the highest entry can only join that entry's back or follow it, which
    // is what the walk below would find after passing every entry.
    if (pendingCount > 0 && start >= pending[pendingCount - 1].end) {
        if (start == pending[pendingCount - 1].end)
            pending[pendingCount - 1].end = end;
        else
            pending[pendingCount++] = PendingRange{start, end};
        return;
    }
    for (uint32_t i = 0; i < pendingCount; ++i) {
        PendingRange& e = pending[i];
        if (end == e.start) {
            e.start = start;
            return;
        }
        if (end < e.start) {
            for (uint32_t j = pendingCount; j > i; --j) pending[j] = pending[j - 1];
            pending[i] = PendingRange{start, end};
            ++pendingCount;
            return;
        }
        if (start == e.end) {
            e.end = end;
            return;
        }
    }
    pending[pendingCount++] = PendingRange{start, end};
}

// The size word sits just before the caller's bytes; 4 more bytes in front
// of it keep the caller's bytes 8-aligned for records with 64-bit fields.
void* BlockHeap::allocateWithHeader(uint32_t n) {
    if (n > 0x7FFFFFF0u) fatalError("out of memory");
    char* block = static_cast<char*>(allocate(n + taggedHeaderSize));
    uint32_t total = n + taggedHeaderSize;
    memcpy(block + taggedHeaderSize - 4, &total, 4);
    return block + taggedHeaderSize;
}

void BlockHeap::deallocateWithHeader(void* p) {
    if (!p) return;
    char* block = static_cast<char*>(p) - taggedHeaderSize;
    uint32_t total;
    memcpy(&total, block + taggedHeaderSize - 4, 4);
    deallocate(block, total);
}

void BlockHeap::flush() {
    for (uint32_t i = 0; i < pendingCount; ++i)
        insertFree(pending[i].start, pending[i].end - pending[i].start);
    pendingCount = 0;
}

void BlockHeap::insertFree(uint32_t address, uint32_t size) {
    size = roundUp(size);
    // Find the last free block not above the address.
    uint32_t previous = 0;
    uint32_t current;
    if (hint != noHint && hint < address) {
        previous = hint;
        current = nextOf(hint);
    } else {
        current = freeList;
    }
    while (current != 0 && current <= address) {
        previous = current;
        current = nextOf(current);
    }

    uint32_t block;
    if (previous && previous + sizeOf(previous) == address) {
        block = previous;
        setSize(block, sizeOf(block) + size);
    } else {
        block = address;
        setNext(block, current);
        setSize(block, size);
        if (previous)
            setNext(previous, block);
        else
            freeList = block;
    }
    uint32_t successor = nextOf(block);
    if (successor != 0 && block + sizeOf(block) == successor) {
        setNext(block, nextOf(successor));
        setSize(block, sizeOf(block) + sizeOf(successor));
    }
    hint = block;
}

void BlockHeap::releaseAll() {
    flush();
    uint32_t chunk = chunks;
    while (chunk != 0) {
        char* p = at(chunk);
        uint32_t link;
        platformUnpoison(p, 4);
        memcpy(&link, p, 4);
        platformChunkFree(p);
        chunk = link;
    }
    chunks = 0;
    freeList = 0;
    hint = noHint;
}

uint32_t BlockHeap::chunkCount() const {
    uint32_t count = 0;
    for (uint32_t chunk = chunks; chunk != 0; chunk = readWord(chunk)) ++count;
    return count;
}

uint32_t BlockHeap::freeBlockCount() const {
    uint32_t count = 0;
    for (uint32_t block = freeList; block != 0; block = nextOf(block)) ++count;
    return count;
}

uint32_t BlockHeap::freeBytes() const {
    uint32_t total = 0;
    for (uint32_t block = freeList; block != 0; block = nextOf(block)) total += sizeOf(block);
    return total;
}
