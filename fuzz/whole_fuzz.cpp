// The whole run on one input split into a .fas part and an object part:
// the first 4 bytes give the length of the .fas part, and their top bit
// asks for the procedure records. Mismatched pairs explore sections that do
// not exist and offsets outside sections.
#include "codeview/builder.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t fasSize = readU32(data) & 0x7FFFFFFFu;
    bool procedures = (readU32(data) & 0x80000000u) != 0;
    if (fasSize > size - 4) fasSize = static_cast<uint32_t>(size - 4);
    runInput([&] {
        FasFile fas;
        CoffObject coff;
        CvBuilder builder;
        fas.init();
        coff.init();
        builder.init(&fas, &coff);
        builder.procedures = procedures;
        fill(&fas.content, data + 4, fasSize);
        fas.parseContent();
        ByteBuffer object;
        fill(&object, data + 4 + fasSize, size - 4 - fasSize);
        coff.parseImage(object);
        object.release();
        if (coff.findSection(".debug$S") || coff.findSection(".debug$T")) return;
        uint32_t types = coff.addSection(".debug$T", 0x42100040);
        builder.writeTypes();
        coff.setSectionData(types, builder.types.data, builder.types.size);
        builder.generate("fuzz.obj");
        uint32_t symbols = coff.addSection(".debug$S", 0x42100040);
        coff.setSectionData(symbols, builder.output.data, builder.output.size);
        coff.setSectionRelocations(symbols, builder.relocations.data, builder.relocationCount);
        ByteBuffer image;
        image.init();
        coff.buildImage(&image);
        image.release();
        builder.release();
        coff.release();
        fas.release();
    });
    return 0;
}
