// Test entry: the tool's heap is set up once, and the fatal exit throws a
// FatalExit instead of ending the process, so tests can see it.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/heap.h"
#include "tests/test_support.h"

namespace {
[[noreturn]] void throwOnExit(int code) {
    throw FatalExit{code};
}
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    theHeap.init();
    platformSetExitHook(throwOnExit);
    return RUN_ALL_TESTS();
}
