// The tool's one memory manager: chunks from the system, carved into blocks
// of 8-byte granules, first fit over an address-ordered free list whose
// neighbours merge, with a small sorted cache of recent frees.
#pragma once

#include <cstdint>

struct PendingRange {
    uint32_t start;
    uint32_t end;  // exclusive
};

// Addresses inside the heap are 32-bit offsets from the chunk region's base,
// so that in-band links stay 32 bits wide on every host.
struct BlockHeap {
    static const uint32_t pendingCapacity = 32;
    static const uint32_t noHint = 0xFFFFFFFFu;
    static const uint32_t minimumPayload = 131072;
    // Header of blocks that carry their size: the total size in the 4 bytes
    // just before the caller's bytes, 8 bytes in all to keep alignment.
    static const uint32_t taggedHeaderSize = 8;

    uint32_t chunks;    // newest chunk, 0 when none
    uint32_t freeList;  // lowest free block, 0 when none
    uint32_t hint;      // block made by the latest free-list insertion
    uint32_t pendingCount;
    PendingRange pending[pendingCapacity];

    void init();
    void* allocate(uint32_t n);
    void deallocate(void* p, uint32_t n);
    void* allocateWithHeader(uint32_t n);
    void deallocateWithHeader(void* p);
    void releaseAll();

    // Inspection for tests: number of chunks and the free list.
    uint32_t chunkCount() const;
    uint32_t freeBlockCount() const;
    uint32_t freeBytes() const;

    void flush();
    void insertFree(uint32_t address, uint32_t size);
    uint32_t grow(uint32_t request, uint32_t* predecessor);
};

// The process-wide heap, initialised by the driver before anything allocates.
extern BlockHeap theHeap;

// Non-overlapping forward copy.
void copyBytes(void* destination, const void* source, uint32_t n);
// Copy that allows the ranges to overlap.
void moveBytes(void* destination, const void* source, uint32_t n);

// Shorthands for the process-wide heap.
inline void* allocate(uint32_t n) { return theHeap.allocate(n); }
inline void deallocate(void* p, uint32_t n) { theHeap.deallocate(p, n); }
inline void* allocateWithHeader(uint32_t n) { return theHeap.allocateWithHeader(n); }
inline void deallocateWithHeader(void* p) { theHeap.deallocateWithHeader(p); }
