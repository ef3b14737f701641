// Arrays of pointers kept in a byte buffer, their sorted form, and constant
// key/value tables with a default row.
#pragma once

#include <cstdint>

#include "support/buffer.h"

typedef void (*PtrVisitor)(void* element, void* context);

struct PtrArray {
    ByteBuffer buffer;

    void init() { buffer.init(); }
    uint32_t count() const { return buffer.size / static_cast<uint32_t>(sizeof(void*)); }
    void* at(uint32_t index) const {
        void* element;
        memcpy(&element, buffer.data + index * sizeof(void*), sizeof(void*));
        return element;
    }
    void insertAt(uint32_t index, void* element);
    void forEach(PtrVisitor visitor, void* context) const;
    void release() { buffer.release(); }
};

// Whether the element in the array lies below the new element.
typedef bool (*PtrBelow)(const void* inArray, const void* added);

struct SortedPtrArray {
    PtrArray array;
    PtrBelow compare;

    void initSorted(PtrBelow below) {
        array.init();
        compare = below;
    }
    // Inserts in front of the first element that is not below the new one.
    // Elements mostly arrive in order: when the last element lies below the
    // new one, the lower bound is the end and no search is needed.
    void insertSorted(void* element) {
        uint32_t n = count();
        if (n > 0 && compare(at(n - 1), element)) {
            array.buffer.appendBytes(&element, static_cast<uint32_t>(sizeof(void*)));
            return;
        }
        insertSearching(element);
    }
    void insertSearching(void* element);
    uint32_t count() const { return array.count(); }
    void* at(uint32_t index) const { return array.at(index); }
    void forEach(PtrVisitor visitor, void* context) const { array.forEach(visitor, context); }
    void release() { array.release(); }
};

// A row of a constant table; the row with key 0 ends the table and holds the
// default value.
struct ValuePair {
    uint32_t key;
    uint32_t value;
};

uint32_t lookupValue(const ValuePair* table, uint32_t key);
