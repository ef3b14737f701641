// Process entry on Windows: the command line comes from GetCommandLineA, so
// the C runtime's argument vector is not used.
#include "platform/platform.h"

int main() {
    symweldMain();
    return 0;
}
