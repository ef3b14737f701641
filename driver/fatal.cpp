#include "driver/fatal.h"

#include "platform/platform.h"
#include "support/fileio.h"
#include "support/heap.h"

void fatalError(const char* message) {
    writeConsole("symweld: ");
    writeConsoleLine(message);
    theHeap.releaseAll();
    platformExit(1);
}

void printUsage() {
    writeConsoleLine(
        "\r\n"
        "Usage: symweld fas-name obj-name [debug-obj-name]\r\n"
        "Generate an object file with debug info from a Fasm '.fas' file and its '.obj' file.\r\n"
        "Example: symweld hello.fas hello.obj hello_d.obj\r\n"
        "\r\n"
        "If debug-obj-name is not specified, the source obj file is overridden by \r\n"
        "the debug version.\r\n");
}
