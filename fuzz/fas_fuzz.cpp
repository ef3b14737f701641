// The .fas loader alone.
#include "fas/fasfile.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runInput([&] {
        FasFile fas;
        fas.init();
        // The list of files read, as for an output that already exists.
        fas.listReadFiles = size % 2 == 0;
        fill(&fas.content, data, size);
        fas.parseContent();
        fas.release();
    });
    return 0;
}
