#include "driver/fatal.h"

#include "platform/platform.h"
#include "support/fileio.h"
#include "support/heap.h"
#include "support/strings.h"

void fatalError(const char* message) {
    writeConsole("symweld: ");
    writeConsoleLine(message);
    theHeap.releaseAll();
    platformExit(1);
}

void printUsage() {
    static const char* const lines[] = {
        "",
        "Usage: symweld fas-name obj-name [debug-obj-name]",
        "Generate an object file with debug info from a Fasm '.fas' file and its '.obj' file.",
        "Example: symweld hello.fas hello.obj hello_d.obj",
        "",
        "If debug-obj-name is not specified, the source obj file is overridden by ",
        "the debug version.",
        "",
    };
    // One piece, so that the text is never interleaved with other output.
    TextBuilder text;
    text.initText();
    for (const char* line : lines) {
        for (const char* p = line; *p; ++p) text.appendChar(*p);
        for (const char* p = platformConventions.lineEnd; *p; ++p) text.appendChar(*p);
    }
    const char* usage = text.terminate();
    writeConsole(usage);
    text.release();
}
