#include "support/hashtable.h"

#include <cstring>

#include "support/heap.h"
#include "support/strings.h"

namespace {

uintptr_t integerHash(uintptr_t key) { return key; }
bool integerEquals(uintptr_t stored, uintptr_t key) { return stored == key; }

uintptr_t stringKeyHash(uintptr_t key) { return stringHash(reinterpret_cast<const char*>(key)); }
bool stringEquals(uintptr_t stored, uintptr_t key) {
    return strEqual(reinterpret_cast<const char*>(stored), reinterpret_cast<const char*>(key));
}

// Keys are 32-bit numbers or strings with a 32-bit hash, so a tag of
// hash + 1 is never 0.
uint64_t tagOf(uint32_t hash) { return static_cast<uint64_t>(hash) + 1; }

template <typename T>
T* allocateZeroed(uint32_t capacity) {
    uint32_t bytes = capacity * static_cast<uint32_t>(sizeof(T));
    T* array = static_cast<T*>(allocate(bytes));
    memset(array, 0, bytes);
    return array;
}

}  // namespace

const HashKeyOps integerKeys = {integerHash, integerEquals};
const HashKeyOps stringKeys = {stringKeyHash, stringEquals};

uint32_t stringHash(const char* s) {
    uint32_t h = 1234;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) h = (h * 33) ^ *p;
    return h;
}

void HashTable::init(const HashKeyOps* keyOps) {
    ops = keyOps;
    capacity = initialCapacity;
    slots = allocateZeroed<HashSlot>(capacity);
    tags = allocateZeroed<uint64_t>(capacity);
    count = 0;
    maxProbe = 0;
    missKey = 0;
}

uintptr_t HashTable::put(uintptr_t key, uintptr_t value) {
    // A key that `get` just missed lands where that search stopped: the
    // probe sequence up to there holds no equal key and has not changed.
    bool missed = missKey != 0 && missKey == key;
    uint32_t hash = missed ? static_cast<uint32_t>(missHash) : static_cast<uint32_t>(ops->hash(key));
    uint64_t tag = tagOf(hash);
    uint32_t i = missed ? missSlot : static_cast<uint32_t>(hash % capacity);
    uint32_t probe = missed ? missProbe : 1;
    missKey = 0;
    for (;; ++probe) {
        if (tags[i] == 0) {
            slots[i].key = key;
            slots[i].value = value;
            tags[i] = tag;
            if (probe > maxProbe) maxProbe = probe;
            ++count;
            if (static_cast<uint64_t>(count) * 4 >= static_cast<uint64_t>(capacity) * 3) grow();
            return 0;
        }
        if (tags[i] == tag && ops->equals(slots[i].key, key)) {
            uintptr_t old = slots[i].value;
            slots[i].value = value;
            return old;
        }
        if (++i == capacity) i = 0;
    }
}

bool HashTable::get(uintptr_t key, uintptr_t* value) const {
    uint32_t hash = static_cast<uint32_t>(ops->hash(key));
    uint64_t tag = tagOf(hash);
    uint32_t i = static_cast<uint32_t>(hash % capacity);
    for (uint32_t remaining = maxProbe, probe = 1; remaining > 0; --remaining, ++probe) {
        if (tags[i] == 0) {
            missKey = key;
            missHash = hash;
            missSlot = i;
            missProbe = probe;
            return false;
        }
        if (tags[i] == tag && ops->equals(slots[i].key, key)) {
            *value = slots[i].value;
            return slots[i].value != 0;
        }
        if (++i == capacity) i = 0;
    }
    return false;
}

void HashTable::grow() {
    uint32_t newCapacity = static_cast<uint32_t>(static_cast<uint64_t>(capacity) * 3 / 2);
    HashSlot* newSlots = allocateZeroed<HashSlot>(newCapacity);
    uint64_t* newTags = allocateZeroed<uint64_t>(newCapacity);
    uint32_t newMaxProbe = 0;
    for (uint32_t s = 0; s < capacity; ++s) {
        if (tags[s] == 0) continue;
        uint32_t i = static_cast<uint32_t>((tags[s] - 1) % newCapacity);
        uint32_t probe = 1;
        while (newTags[i] != 0) {
            ++probe;
            if (++i == newCapacity) i = 0;
        }
        newSlots[i] = slots[s];
        newTags[i] = tags[s];
        if (probe > newMaxProbe) newMaxProbe = probe;
    }
    release();
    slots = newSlots;
    tags = newTags;
    capacity = newCapacity;
    maxProbe = newMaxProbe;
}

void HashTable::forEach(HashVisitor visitor, void* context) const {
    for (uint32_t i = 0; i < capacity; ++i)
        if (slots[i].key != 0) visitor(slots[i].value, context);
}

void HashTable::release() {
    deallocate(slots, capacity * static_cast<uint32_t>(sizeof(HashSlot)));
    deallocate(tags, capacity * static_cast<uint32_t>(sizeof(uint64_t)));
    slots = nullptr;
    tags = nullptr;
}

void HashTable::releaseEach(HashVisitor visitor, void* context) {
    forEach(visitor, context);
    release();
}
