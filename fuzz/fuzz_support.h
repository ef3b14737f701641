// Shared by the fuzz harnesses: the fatal exit returns to the harness, so a
// message counts as a handled input, not a crash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "support/buffer.h"
#include "support/heap.h"

struct FuzzFatal {};

[[noreturn]] inline void throwOnExit(int) {
    throw FuzzFatal{};
}

// Runs one input through `body` with a fresh heap; every chunk is returned
// afterwards, whether the body ended normally or through the fatal exit.
template <typename Body>
void runInput(Body body) {
    platformSetExitHook(throwOnExit);
    theHeap.init();
    try {
        body();
        theHeap.releaseAll();
    } catch (const FuzzFatal&) {
        // The fatal exit has already returned every chunk.
    }
}

inline void fill(ByteBuffer* buffer, const uint8_t* data, size_t size) {
    buffer->init();
    buffer->appendBytes(data, static_cast<uint32_t>(size));
}
