// Open addressing with linear probing; keys and values are words the table
// never owns. A key of 0 marks an empty slot; a value of 0 reads as absent.
#pragma once

#include <cstdint>

struct HashKeyOps {
    uintptr_t (*hash)(uintptr_t key);
    bool (*equals)(uintptr_t stored, uintptr_t key);
};

// Keys that are numbers: the hash is the key itself.
extern const HashKeyOps integerKeys;
// Keys that point to zero-terminated strings.
extern const HashKeyOps stringKeys;

uint32_t stringHash(const char* s);

struct HashSlot {
    uintptr_t key;
    uintptr_t value;
};

typedef void (*HashVisitor)(uintptr_t value, void* context);

struct HashTable {
    static const uint32_t initialCapacity = 8199;

    const HashKeyOps* ops;
    HashSlot* slots;
    // Beside each slot, its key's hash + 1 (0xFFFFFFFF for the hash
    // 0xFFFFFFFF too), or 0 while the slot is empty: probes walk this dense
    // array, several tags at a time, and compare keys only when tags match.
    uint32_t* tags;
    uint32_t capacity;
    uint32_t count;
    uint32_t maxProbe;  // longest probe sequence of any stored key
    // Where the latest failed `get` stopped: the empty slot at which `put`
    // of the same key would land, while nothing has been stored since.
    mutable uintptr_t missKey;
    mutable uintptr_t missHash;
    mutable uint32_t missSlot;
    mutable uint32_t missProbe;

    void init(const HashKeyOps* keyOps);
    // Stores or replaces; returns the replaced value, 0 for a new key.
    uintptr_t put(uintptr_t key, uintptr_t value);
    bool get(uintptr_t key, uintptr_t* value) const;
    void forEach(HashVisitor visitor, void* context) const;
    void release();
    void releaseEach(HashVisitor visitor, void* context);

    void grow();
    uint32_t homeOfStored(uint32_t slot, uint32_t newCapacity) const;
};
