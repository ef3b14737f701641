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

namespace {

void appendLines(TextBuilder* text, const char* const* lines, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        for (const char* p = lines[i]; *p; ++p) text->appendChar(*p);
        for (const char* p = platformConventions.lineEnd; *p; ++p) text->appendChar(*p);
    }
}

}  // namespace

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
    // The options only the Linux build has.
    static const char* const longOptionLines[] = {
        "Options:",
        "  --procedures    also write procedure records and array types for debuggers",
        "  --depfile=FILE  also write a dependency file for make and Ninja",
        "",
    };
    // One piece, so that the text is never interleaved with other output.
    TextBuilder text;
    text.initText();
    appendLines(&text, lines, sizeof lines / sizeof lines[0]);
    if (platformConventions.longOptions)
        appendLines(&text, longOptionLines, sizeof longOptionLines / sizeof longOptionLines[0]);
    const char* usage = text.terminate();
    writeConsole(usage);
    text.release();
}
