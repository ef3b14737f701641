// The object loader and writer: load, write to memory, load again; the two
// written images must be the same.
#include <cstdlib>
#include <cstring>

#include "coff/coff.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runInput([&] {
        ByteBuffer input;
        fill(&input, data, size);
        CoffObject first;
        first.init();
        first.parseImage(input);
        ByteBuffer image;
        image.init();
        if (first.buildImage(&image)) {
            CoffObject second;
            second.init();
            second.parseImage(image);
            ByteBuffer again;
            again.init();
            if (!second.buildImage(&again) || again.size != image.size ||
                memcmp(again.data, image.data, image.size) != 0)
                abort();
            again.release();
            second.release();
        }
        image.release();
        first.release();
        input.release();
    });
    return 0;
}
