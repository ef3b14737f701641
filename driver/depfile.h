// The dependency file: what a build system needs to rebuild the object
// when any file fasm read changes, in make's syntax (which Ninja reads too).
#pragma once

#include "fas/fasfile.h"

struct DependencyFacts {
    const char* target;      // the output, as named on the command line
    const char* fasName;
    const char* objName;
    const char* fasmFolder;  // prefix that leads to fasm's folder, or null
    const FasFile* fas;      // loaded with its read files listed
};

// Writes "target: prerequisites" to the file, safely as the output is
// written: the ".fas" file, the object and every source file fasm read,
// named as this run opens them, and each source as a target of its own
// without prerequisites. A source that no longer exists is left out.
// Ends the run with a message when the file cannot be written.
void writeDependencyFile(const char* name, const DependencyFacts* facts);
