// Process entry on POSIX: hands argv to the platform layer, which rebuilds
// the raw command line from it, and runs the tool.
#include "platform/platform.h"

void platformSetArguments(int argc, char** argv);

int main(int argc, char** argv) {
    platformSetArguments(argc, argv);
    symweldMain();
    return 0;
}
