// The dependency file: what a build system needs to rebuild the object
// when any source file fasm read changes, in make's syntax (which Ninja
// reads too).
#pragma once

#include "fas/fasfile.h"
#include "support/strings.h"

struct DependencyFacts {
    const char* target;      // the output, as named on the command line
    const char* fasName;
    const char* objName;
    const char* fasmFolder;  // prefix that leads to fasm's folder, or null
    const FasFile* fas;      // loaded with its read files listed
};

// The file's text, composed and checked before the output is written, so
// that every refusal comes while nothing has been written yet.
struct DependencyFile {
    const char* name;
    TextBuilder text;
    uint32_t targetLength;  // of the escaped first target, before its colon

    void init(const char* fileName);
    void release();
};

// Composes "target: prerequisites": the ".fas" file, the object (unless it
// is the output) and every source file fasm read, named as this run opens
// them, and each source as a target of its own without prerequisites. A
// source that no longer exists is left out. Ends the run with a message
// that names the file where a name cannot be written so that GNU make and
// Ninja both read it back exactly, and where the existing file may not be
// replaced: it is neither empty nor a dependency file whose first target is
// this output, or it cannot be written at all.
void prepareDependencyFile(DependencyFile* file, const DependencyFacts* facts);

// Writes the text, safely as the output is written, once the output is in
// place. From the output's replace on, an interrupt is held until this
// write has ended, so that the run ends with both files in place and exit
// code 0. Where the write fails, the run ends with a message and exit code
// 1: the new output is in place, the old dependency file as it was.
void saveDependencyFile(DependencyFile* file);

// Whether both names lead to one file, whether or not it exists yet: the
// same name in the same folder once links are followed.
bool namesOneFile(const char* a, const char* b);
