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

HashSlot* allocateSlots(uint32_t capacity) {
    uint32_t bytes = capacity * static_cast<uint32_t>(sizeof(HashSlot));
    HashSlot* slots = static_cast<HashSlot*>(allocate(bytes));
    memset(slots, 0, bytes);
    return slots;
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
    slots = allocateSlots(capacity);
    count = 0;
    maxProbe = 0;
    missKey = 0;
}

uintptr_t HashTable::put(uintptr_t key, uintptr_t value) {
    // A key that `get` just missed lands where that search stopped: the
    // probe sequence up to there holds no equal key and has not changed.
    bool missed = missKey != 0 && missKey == key;
    uintptr_t hash = missed ? missHash : ops->hash(key);
    uint32_t i = missed ? missSlot : static_cast<uint32_t>(hash % capacity);
    uint32_t probe = missed ? missProbe : 1;
    missKey = 0;
    for (;; ++probe) {
        HashSlot& slot = slots[i];
        if (slot.key == 0) {
            slot.key = key;
            slot.value = value;
            slot.hash = hash;
            if (probe > maxProbe) maxProbe = probe;
            ++count;
            if (static_cast<uint64_t>(count) * 4 >= static_cast<uint64_t>(capacity) * 3) grow();
            return 0;
        }
        if (slot.hash == hash && ops->equals(slot.key, key)) {
            uintptr_t old = slot.value;
            slot.value = value;
            return old;
        }
        if (++i == capacity) i = 0;
    }
}

bool HashTable::get(uintptr_t key, uintptr_t* value) const {
    uintptr_t hash = ops->hash(key);
    uint32_t i = static_cast<uint32_t>(hash % capacity);
    for (uint32_t remaining = maxProbe, probe = 1; remaining > 0; --remaining, ++probe) {
        const HashSlot& slot = slots[i];
        if (slot.key == 0) {
            missKey = key;
            missHash = hash;
            missSlot = i;
            missProbe = probe;
            return false;
        }
        if (slot.hash == hash && ops->equals(slot.key, key)) {
            *value = slot.value;
            return slot.value != 0;
        }
        if (++i == capacity) i = 0;
    }
    return false;
}

void HashTable::grow() {
    uint32_t newCapacity = static_cast<uint32_t>(static_cast<uint64_t>(capacity) * 3 / 2);
    HashSlot* newSlots = allocateSlots(newCapacity);
    uint32_t newMaxProbe = 0;
    for (uint32_t s = 0; s < capacity; ++s) {
        if (slots[s].key == 0) continue;
        uint32_t i = static_cast<uint32_t>(slots[s].hash % newCapacity);
        uint32_t probe = 1;
        while (newSlots[i].key != 0) {
            ++probe;
            if (++i == newCapacity) i = 0;
        }
        newSlots[i] = slots[s];
        if (probe > newMaxProbe) newMaxProbe = probe;
    }
    deallocate(slots, capacity * static_cast<uint32_t>(sizeof(HashSlot)));
    slots = newSlots;
    capacity = newCapacity;
    maxProbe = newMaxProbe;
}

void HashTable::forEach(HashVisitor visitor, void* context) const {
    for (uint32_t i = 0; i < capacity; ++i)
        if (slots[i].key != 0) visitor(slots[i].value, context);
}

void HashTable::release() {
    deallocate(slots, capacity * static_cast<uint32_t>(sizeof(HashSlot)));
    slots = nullptr;
}

void HashTable::releaseEach(HashVisitor visitor, void* context) {
    forEach(visitor, context);
    release();
}
