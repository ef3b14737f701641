// Process entry and the main sequence of one run.
#include "codeview/builder.h"
#include "coff/coff.h"
#include "driver/args.h"
#include "driver/fatal.h"
#include "platform/platform.h"
#include "support/heap.h"
#include "support/strings.h"

namespace {

struct RunState {
    char* fasName;
    char* objName;
    char* outputName;
    bool helpRequested;
    FasFile fas;
    CoffObject coff;
    CvBuilder builder;
};

// Characteristics of both debug sections: initialised data, 1-byte
// alignment, discardable, readable.
const uint32_t debugSectionCharacteristics = 0x42100040;

bool isOption(const char* arg) {
    return arg[0] == '/' || arg[0] == '-';
}

bool isHelpOption(const char* arg) {
    return arg[1] == '?' || arg[1] == 'h';
}

[[noreturn]] void argumentError(const char* message) {
    printUsage();
    fatalError(message);
}

// Reads the arguments in order; the first offending one decides the message.
void collectArguments(RunState* run) {
    ArgScanner scanner;
    scanner.init();
    while (const char* arg = scanner.next()) {
        if (isOption(arg)) {
            if (!isHelpOption(arg)) argumentError("invalid option");
            run->helpRequested = true;
            break;
        }
        char* name = strDup(arg);
        if (!run->fasName)
            run->fasName = name;
        else if (!run->objName)
            run->objName = name;
        else if (!run->outputName)
            run->outputName = name;
        else
            argumentError("too many arguments");
    }
    scanner.release();
}

// Adds ".debug$T" and ".debug$S" to the object and writes it.
void weld(RunState* run) {
    run->fas.load(run->fasName);
    run->coff.load(run->objName);
    if (run->coff.findSection(".debug$S") || run->coff.findSection(".debug$T"))
        fatalError("the object file already has debug info");

    uint32_t types = run->coff.addSection(".debug$T", debugSectionCharacteristics);
    run->coff.setSectionData(types, debugTypesContents, sizeof debugTypesContents);
    run->builder.generate(run->outputName);
    uint32_t symbols = run->coff.addSection(".debug$S", debugSectionCharacteristics);
    run->coff.setSectionData(symbols, run->builder.output.data, run->builder.output.size);
    run->coff.setSectionRelocations(symbols, run->builder.relocations.data, run->builder.relocationCount);
    // The object holds its own copies now; the builder's buffers go back so
    // that the file image can reuse their memory.
    run->builder.output.release();
    run->builder.relocations.release();
    run->coff.save(run->outputName);
}

void runMainSequence(RunState* run) {
    run->fasName = nullptr;
    run->objName = nullptr;
    run->outputName = nullptr;
    run->helpRequested = false;
    run->fas.init();
    run->coff.init();
    run->builder.init(&run->fas, &run->coff);
    collectArguments(run);
    if (run->helpRequested) {
        printUsage();
    } else {
        if (!run->fasName) argumentError("no fas file specified");
        if (!run->objName) argumentError("no obj file specified");
        if (!run->outputName) run->outputName = strDup(run->objName);
        weld(run);
    }
    run->builder.release();
    run->coff.release();
    run->fas.release();
    strRelease(run->fasName);
    strRelease(run->objName);
    strRelease(run->outputName);
}

}  // namespace

void symweldMain() {
    theHeap.init();
    static RunState run;
    runMainSequence(&run);
    theHeap.releaseAll();
    platformExit(0);
}
