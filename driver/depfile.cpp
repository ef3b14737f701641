#include "driver/depfile.h"

#include "driver/fatal.h"
#include "platform/platform.h"
#include "support/arrays.h"
#include "support/fileio.h"
#include "support/strings.h"

namespace {

void appendText(TextBuilder* text, const char* s) {
    for (const char* p = s; *p; ++p) text->appendChar(*p);
}

// A name as GNU make and Ninja read it: a blank, "#" and ":" take a
// backslash, "$" is doubled.
void appendEscaped(TextBuilder* text, const char* name) {
    for (const char* p = name; *p; ++p) {
        if (*p == ' ' || *p == '\t' || *p == '#' || *p == ':') text->appendChar('\\');
        if (*p == '$') text->appendChar('$');
        text->appendChar(*p);
    }
}

// A name that no line of the file can hold.
bool hasLineBreak(const char* name) {
    for (const char* p = name; *p; ++p)
        if (*p == '\n' || *p == '\r') return true;
    return false;
}

// The folder part of `base` followed by the name, into `path`.
const char* besideFolderOf(TextBuilder* path, const char* base, const char* name) {
    path->clear();
    uint32_t folder = platformFolderLength(base);
    for (uint32_t i = 0; i < folder; ++i) path->appendChar(base[i]);
    appendText(path, name);
    return path->terminate();
}

// The source name as this run opens it: as it stands where it is absolute,
// else from the folder fasm ran in, or, where that is not known, from the
// first of the current folder, the ".fas" file's and the object's that
// has it. Null when none has it.
const char* openableName(const DependencyFacts* facts, const char* name, TextBuilder* path) {
    if (platformIsAbsolutePath(name)) return isExistingRegularFile(name) ? name : nullptr;
    if (facts->fasmFolder) {
        path->clear();
        appendText(path, facts->fasmFolder);
        appendText(path, name);
        const char* joined = path->terminate();
        return isExistingRegularFile(joined) ? joined : nullptr;
    }
    if (isExistingRegularFile(name)) return name;
    const char* bases[] = {facts->fasName, facts->objName};
    for (const char* base : bases) {
        const char* joined = besideFolderOf(path, base, name);
        if (isExistingRegularFile(joined)) return joined;
    }
    return nullptr;
}

// Byte order, so that the list is the same on every run.
bool nameBelow(const void* inArray, const void* added) {
    const unsigned char* a = static_cast<const unsigned char*>(inArray);
    const unsigned char* b = static_cast<const unsigned char*>(added);
    while (*a && *a == *b) ++a, ++b;
    return *a < *b;
}

struct SourceList {
    const DependencyFacts* facts;
    SortedPtrArray names;  // heap strings, sorted, each once
};

void addSource(uintptr_t value, void* context) {
    SourceList* list = static_cast<SourceList*>(context);
    TextBuilder converted, path;
    converted.initText();
    path.initText();
    const char* name = openableName(list->facts, sourceFileName(reinterpret_cast<const char*>(value), &converted), &path);
    if (name && !hasLineBreak(name)) {
        bool known = false;
        for (uint32_t i = 0; i < list->names.count() && !known; ++i)
            known = strEqual(static_cast<const char*>(list->names.at(i)), name);
        if (!known) list->names.insertSorted(strDup(name));
    }
    path.release();
    converted.release();
}

void appendPrerequisite(TextBuilder* text, const char* name) {
    appendText(text, " \\\n  ");
    appendEscaped(text, name);
}

}  // namespace

void writeDependencyFile(const char* name, const DependencyFacts* facts) {
    if (hasLineBreak(facts->target) || hasLineBreak(facts->fasName) || hasLineBreak(facts->objName))
        fatalError("can't open dependency file");
    SourceList list;
    list.facts = facts;
    list.names.initSorted(nameBelow);
    facts->fas->sourceFiles.forEach(addSource, &list);
    if (facts->fas->readFilesListed) facts->fas->readFiles.forEach(addSource, &list);
    TextBuilder text;
    text.initText();
    appendEscaped(&text, facts->target);
    text.appendChar(':');
    appendPrerequisite(&text, facts->fasName);
    // The object welded in place is the target itself.
    if (!strEqual(facts->target, facts->objName) && !sameFile(facts->target, facts->objName))
        appendPrerequisite(&text, facts->objName);
    for (uint32_t i = 0; i < list.names.count(); ++i)
        appendPrerequisite(&text, static_cast<const char*>(list.names.at(i)));
    text.appendChar('\n');
    // Each source also as a target without a recipe, so that make goes on
    // when an include is deleted (and the source no longer reads it).
    for (uint32_t i = 0; i < list.names.count(); ++i) {
        text.appendChar('\n');
        appendEscaped(&text, static_cast<const char*>(list.names.at(i)));
        text.appendChar(':');
        text.appendChar('\n');
        strRelease(static_cast<const char*>(list.names.at(i)));
    }
    list.names.release();
    SaveResult result = saveFileSafely(name, text.buffer.data, text.buffer.size);
    text.release();
    if (result == SaveResult::cannotCreate) fatalError("can't open dependency file");
    if (result == SaveResult::writeFailed) fatalError("error while saving dependency file");
}
