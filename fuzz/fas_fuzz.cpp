// The .fas loader alone.
#include "fas/fasfile.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runInput([&] {
        FasFile fas;
        fas.init();
        fill(&fas.content, data, size);
        fas.parseContent();
        fas.release();
    });
    return 0;
}
