// Process entry and the main sequence of one run.
#include "codeview/builder.h"
#include "coff/coff.h"
#include "driver/args.h"
#include "driver/depfile.h"
#include "driver/fatal.h"
#include "platform/platform.h"
#include "support/fileio.h"
#include "support/heap.h"
#include "support/strings.h"

namespace {

struct RunState {
    char* fasName;
    char* objName;
    char* outputName;
    // The folder fasm ran in, as a prefix of names (possibly empty) that
    // leads there from the current folder; null where it is not known.
    char* fasmFolder;
    // Where to write the dependency file (--depfile=FILE), or null.
    char* depfileName;
    DependencyFile depfile;
    bool helpRequested;
    bool versionRequested;
    FasFile fas;
    CoffObject coff;
    CvBuilder builder;
};

// Characteristics of both debug sections: initialised data, 1-byte
// alignment, discardable, readable.
const uint32_t debugSectionCharacteristics = 0x42100040;

bool isOption(const char* arg) {
    for (const char* p = platformConventions.optionPrefixes; *p; ++p)
        if (arg[0] == *p) return true;
    return false;
}

bool isHelpOption(const char* arg) {
    return arg[1] == '?' || arg[1] == 'h';
}

enum class OptionKind { help, version, endOfOptions, depfile, procedures, invalid };

const char depfileOption[] = "--depfile=";

// Only the character after the prefix counts, except for the long options
// of systems whose tools have them.
OptionKind judgeOption(const char* arg) {
    if (platformConventions.longOptions && arg[1] == '-') {
        if (strEqual(arg, "--help")) return OptionKind::help;
        if (strEqual(arg, "--version")) return OptionKind::version;
        if (strEqual(arg, "--")) return OptionKind::endOfOptions;
        if (strEqual(arg, "--procedures")) return OptionKind::procedures;
        bool depfile = true;
        for (uint32_t i = 0; depfileOption[i] && depfile; ++i) depfile = arg[i] == depfileOption[i];
        if (depfile && arg[sizeof depfileOption - 1]) return OptionKind::depfile;
        return OptionKind::invalid;
    }
    return isHelpOption(arg) ? OptionKind::help : OptionKind::invalid;
}

[[noreturn]] void argumentError(const char* message) {
    printUsage();
    fatalError(message);
}

// Reads the arguments in order; the first offending one decides the message.
void collectArguments(RunState* run) {
    ArgScanner scanner;
    scanner.init();
    bool optionsEnded = false;
    while (const char* arg = scanner.next()) {
        if (!optionsEnded && isOption(arg)) {
            OptionKind kind = judgeOption(arg);
            if (kind == OptionKind::invalid) argumentError("invalid option");
            if (kind == OptionKind::endOfOptions) {
                optionsEnded = true;
                continue;
            }
            if (kind == OptionKind::depfile) {
                strRelease(run->depfileName);
                run->depfileName = strDup(arg + sizeof depfileOption - 1);
                continue;
            }
            if (kind == OptionKind::procedures) {
                run->builder.procedures = true;
                continue;
            }
            run->helpRequested = kind == OptionKind::help;
            run->versionRequested = kind == OptionKind::version;
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

struct InputSearch {
    const RunState* run;
    const char* candidate;  // the name that must not be an input
    bool found;
    // Whether a name that leads where a source would be counts too, where
    // no file is there (a source deleted since fasm read it).
    bool byName;
};

// Whether `output` is the file at `path`, or, where asked, names the place
// of that path whether or not a file is there.
bool leadsTo(const char* output, const char* path, bool byName) {
    return sameFile(output, path) || (byName && namesOneFile(output, path));
}

// Whether the output is the file that the folder part of `base` and the
// name lead to.
bool sameFileBeside(const char* output, const char* base, const char* name, bool byName) {
    uint32_t folder = platformFolderLength(base);
    if (folder == 0) return false;  // the current folder, already asked
    TextBuilder path;
    path.initText();
    for (uint32_t i = 0; i < folder; ++i) path.appendChar(base[i]);
    for (const char* p = name; *p; ++p) path.appendChar(*p);
    bool same = leadsTo(output, path.terminate(), byName);
    path.release();
    return same;
}

// Whether the output is the file that `prefix` followed by the name leads to.
bool sameFileAfterPrefix(const char* output, const char* prefix, const char* name, bool byName) {
    TextBuilder path;
    path.initText();
    for (const char* p = prefix; *p; ++p) path.appendChar(*p);
    for (const char* p = name; *p; ++p) path.appendChar(*p);
    bool same = leadsTo(output, path.terminate(), byName);
    path.release();
    return same;
}

// A source name is as fasm saw it, relative to the folder fasm ran in: the
// one the ".fas" file tells (fasmFolder) where it can be told, and the
// current folder, the .fas file's and the object's as well.
void matchSourceFile(uintptr_t value, void* context) {
    InputSearch* search = static_cast<InputSearch*>(context);
    const RunState* run = search->run;
    if (search->found) return;
    TextBuilder scratch;
    scratch.initText();
    const char* name = sourceFileName(reinterpret_cast<const char*>(value), &scratch);
    bool relative = !platformIsAbsolutePath(name);
    const char* candidate = search->candidate;
    bool byName = search->byName;
    search->found = leadsTo(candidate, name, byName) ||
                    (relative && run->fasmFolder && sameFileAfterPrefix(candidate, run->fasmFolder, name, byName)) ||
                    (relative && (sameFileBeside(candidate, run->fasName, name, byName) ||
                                  sameFileBeside(candidate, run->objName, name, byName)));
    scratch.release();
}

bool isSeparator(char c) {
    return c == '/' || (!platformConventions.sourceBackslashIsSlash && c == '\\');
}

// The length of `objFolder`'s part before a tail that is `recordedFolder`
// (both folder parts, separators included), or -1 where it does not end so.
int32_t prefixBeforeTail(const char* objFolder, uint32_t objLength, const char* recordedFolder,
                         uint32_t recordedLength) {
    if (recordedLength > objLength) return -1;
    uint32_t start = objLength - recordedLength;
    if (start > 0 && !isSeparator(objFolder[start - 1])) return -1;
    for (uint32_t i = 0; i < recordedLength; ++i) {
        char a = objFolder[start + i], b = recordedFolder[i];
        if (a != b && !(isSeparator(a) && isSeparator(b))) return -1;
    }
    return static_cast<int32_t>(start);
}

// The folder fasm ran in, from the name it was given for the object (as
// the ".fas" file records it) and where the object lies now. Where the
// object's folder as named here ends with the recorded folder, what comes
// before is fasm's folder; else one step up from the object's folder for
// each folder in the recorded name. The result counts only if it leads back
// to the object; a recorded name that is absolute or climbs with ".." tells
// nothing.
char* findFasmFolder(const RunState* run) {
    const char* recorded = run->fas.outputFileName;
    if (!recorded || !recorded[0] || platformIsAbsolutePath(recorded)) return nullptr;
    TextBuilder scratch;
    scratch.initText();
    recorded = sourceFileName(recorded, &scratch);
    uint32_t objFolder = platformFolderLength(run->objName);
    uint32_t recordedFolder = platformFolderLength(recorded);
    TextBuilder folder;
    folder.initText();
    bool known = true;
    int32_t tail = prefixBeforeTail(run->objName, objFolder, recorded, recordedFolder);
    for (int32_t i = 0; i < tail; ++i) folder.appendChar(run->objName[i]);
    if (tail < 0 || !sameFileAfterPrefix(run->objName, folder.terminate(), recorded, false)) {
        folder.clear();
        for (uint32_t i = 0; i < objFolder; ++i) folder.appendChar(run->objName[i]);
        const char* part = recorded;
        for (const char* p = recorded; *p; ++p) {
            if (!isSeparator(*p)) continue;
            uint32_t length = static_cast<uint32_t>(p - part);
            if (length == 2 && part[0] == '.' && part[1] == '.') known = false;
            if (length > 0 && !(length == 1 && part[0] == '.')) {
                folder.appendChar('.');
                folder.appendChar('.');
                folder.appendChar(platformConventions.sourceBackslashIsSlash ? '/' : '\\');
            }
            part = p + 1;
        }
    }
    char* result = nullptr;
    if (known && sameFileAfterPrefix(run->objName, folder.terminate(), recorded, false))
        result = strDup(folder.terminate());
    folder.release();
    scratch.release();
    return result;
}

// Whether writing the output could destroy a file other than the object:
// it exists as a regular file (links followed) and is not the object,
// however either is spelled. Only then are inputs compared with it.
bool outputReplacesAnotherFile(const RunState* run) {
    return isExistingRegularFile(run->outputName) && !sameFile(run->outputName, run->objName);
}

// Whether the output would overwrite the .fas file or a file fasm read
// source lines from: one slip of tab completion must not cost the user
// their source code.
bool isAnInput(const RunState* run, const char* name, bool byName) {
    InputSearch search = {run, name, sameFile(name, run->fasName), byName};
    run->fas.sourceFiles.forEach(matchSourceFile, &search);
    run->fas.readFiles.forEach(matchSourceFile, &search);
    return search.found;
}

bool outputIsAnInput(RunState* run) {
    if (!run->fas.listReadFiles) return false;
    run->fasmFolder = findFasmFolder(run);
    return isAnInput(run, run->outputName, false);
}

// The dependency file must not take the place of any file the run reads
// or writes: neither the file itself (a hard link, a link) nor the name
// where the file does not exist yet (the output, "./out.obj", a dangling
// link to it, a source deleted since fasm read it).
bool depfileIsAnInput(const RunState* run) {
    const char* name = run->depfileName;
    const char* others[] = {run->fasName, run->objName, run->outputName};
    bool found = isAnInput(run, name, true);
    for (const char* other : others) found = found || sameFile(name, other) || namesOneFile(name, other);
    return found;
}

// Whether an existing output holds anything but an object or nothing: a
// source the lookups above could not find (a damaged ".fas"), a README, a
// PDB. What cannot be read cannot be judged, and is refused as well: a
// write-only file can still be replaced.
bool outputIsNotAnObject(const char* name) {
    uint8_t header[coffFileHeaderSize];
    uint32_t got = 0;
    if (!readOutputStart(name, header, coffFileHeaderSize, &got)) return true;
    return got > 0 && !isCoffObjectHeader(header, got);
}

// Adds ".debug$T" and ".debug$S" to the object and writes it.
void weld(RunState* run) {
    platformTakeTurnsOnOutput(run->outputName);
    // The files that only define macros or constants are found in a pass of
    // their own, made only where the output could be one of them or a
    // dependency file is to list them.
    bool replacesAnotherFile = outputReplacesAnotherFile(run);
    run->fas.listReadFiles = replacesAnotherFile || run->depfileName;
    run->fas.load(run->fasName);
    run->coff.load(run->objName);
    if (outputIsAnInput(run)) fatalError("output file is an input file");
    if (run->depfileName && depfileIsAnInput(run)) fatalError("dependency file is an input file");
    if (replacesAnotherFile && outputIsNotAnObject(run->outputName)) fatalError("output file is not an object file");
    if (run->coff.findSection(".debug$S") || run->coff.findSection(".debug$T"))
        fatalError("the object file already has debug info");
    if (run->depfileName) {
        DependencyFacts facts = {run->outputName, run->fasName, run->objName, run->fasmFolder, &run->fas};
        prepareDependencyFile(&run->depfile, &facts);
    }

    uint32_t types = run->coff.addSection(".debug$T", debugSectionCharacteristics);
    run->builder.writeTypes();
    run->coff.setSectionData(types, run->builder.types.data, run->builder.types.size);
    run->builder.generate(run->outputName);
    uint32_t symbols = run->coff.addSection(".debug$S", debugSectionCharacteristics);
    run->coff.setSectionData(symbols, run->builder.output.data, run->builder.output.size);
    run->coff.setSectionRelocations(symbols, run->builder.relocations.data, run->builder.relocationCount);
    // The object holds its own copies now; the builder's buffers go back so
    // that the file image can reuse their memory.
    run->builder.output.release();
    run->builder.relocations.release();
    // The output first: once it is in place an interrupt no longer ends
    // the run, and the dependency file follows it (see saveDependencyFile).
    run->coff.save(run->outputName);
    if (run->depfileName) saveDependencyFile(&run->depfile);
}

void runMainSequence(RunState* run) {
    run->fasName = nullptr;
    run->objName = nullptr;
    run->outputName = nullptr;
    run->fasmFolder = nullptr;
    run->depfileName = nullptr;
    run->helpRequested = false;
    run->versionRequested = false;
    run->fas.init();
    run->coff.init();
    run->builder.init(&run->fas, &run->coff);
    collectArguments(run);
    run->depfile.init(run->depfileName);
    if (run->helpRequested || run->versionRequested) {
        if (run->helpRequested)
            printUsage();
        else
            writeConsoleLine("symweld " SYMWELD_VERSION);
        // No message: it would go where the text could not.
        if (platformStandardOutputFailed()) {
            theHeap.releaseAll();
            platformExit(1);
        }
    } else {
        if (!run->fasName) argumentError("no fas file specified");
        if (!run->objName) argumentError("no obj file specified");
        if (!run->outputName) run->outputName = strDup(run->objName);
        weld(run);
    }
    run->depfile.release();
    run->builder.release();
    run->coff.release();
    run->fas.release();
    strRelease(run->fasName);
    strRelease(run->objName);
    strRelease(run->outputName);
    strRelease(run->fasmFolder);
    strRelease(run->depfileName);
}

}  // namespace

void symweldMain() {
    theHeap.init();
    static RunState run;
    runMainSequence(&run);
    theHeap.releaseAll();
    platformExit(0);
}
