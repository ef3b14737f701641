// Process entry and the main sequence of one run.
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
};

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

void runMainSequence() {
    RunState run = {nullptr, nullptr, nullptr, false};
    collectArguments(&run);
    if (run.helpRequested) {
        printUsage();
    } else {
        if (!run.fasName) argumentError("no fas file specified");
        if (!run.objName) argumentError("no obj file specified");
        if (!run.outputName) run.outputName = strDup(run.objName);
    }
    strRelease(run.fasName);
    strRelease(run.objName);
    strRelease(run.outputName);
}

}  // namespace

void symweldMain() {
    theHeap.init();
    runMainSequence();
    theHeap.releaseAll();
    platformExit(0);
}
