#include "driver/depfile.h"

#include "driver/fatal.h"
#include "platform/platform.h"
#include "support/arrays.h"
#include "support/fileio.h"
#include "support/strings.h"

namespace {

// Longest path a name is resolved to.
const uint32_t maximumPath = 4096;

void appendText(TextBuilder* text, const char* s) {
    for (const char* p = s; *p; ++p) text->appendChar(*p);
}

// A name as GNU make and Ninja read it: a blank, "#" and ":" take a
// backslash, "$" is doubled. Only names that pass nameReadsBack below.
void appendEscaped(TextBuilder* text, const char* name) {
    for (const char* p = name; *p; ++p) {
        if (*p == ' ' || *p == '#' || *p == ':') text->appendChar('\\');
        if (*p == '$') text->appendChar('$');
        text->appendChar(*p);
    }
}

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool contains(const char* set, char c) {
    for (const char* p = set; *p; ++p)
        if (*p == c) return true;
    return false;
}

// A name such as ".PHONY": make takes it as a special target.
bool isSpecialTargetName(const char* name) {
    if (name[0] != '.' || !name[1]) return false;
    for (const char* p = name + 1; *p; ++p)
        if (!((*p >= 'A' && *p <= 'Z') || *p == '_')) return false;
    return true;
}

// Whether make and Ninja both read the escaped name back as it is, asked
// of them byte by byte (see the tests). Ninja ends a name at a control
// character and at any of " & ' * ; < > ? ^ ` |, and keeps a backslash
// before anything but a blank, "#" and ":"; make takes ";" as the start of
// a recipe, "|" as order-only, "=" as a variable, "%" as a pattern, a
// leading "~" as a home folder, "[...]" as a wildcard, "a(b)" as an archive
// member. A backslash that would escape the next character, and a colon
// that ends the name, read back differently in one of them.
bool nameReadsBack(const char* name) {
    // No file has an empty name: the output's write refuses it.
    if (!name[0]) return true;
    // make drops a leading "./" (and the slashes after it) before it looks.
    const char* looked = name;
    while (looked[0] == '.' && looked[1] == '/') {
        looked += 2;
        while (*looked == '/') ++looked;
    }
    if (looked[0] == '~' || isSpecialTargetName(looked)) return false;
    bool openBracket = false, openParenthesis = false;
    const char* p = name;
    for (; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (isControl(c) || contains("\"&'*;<>?^`|=%", *p)) return false;
        if (*p == '\\' && (!p[1] || contains(" #:$", p[1]))) return false;
        if (*p == ']' && openBracket) return false;
        if (*p == '[') openBracket = true;
        if (*p == '(' && p != looked) openParenthesis = true;
    }
    bool endsArchiveMember = openParenthesis && p[-1] == ')';
    return p[-1] != ':' && !endsArchiveMember;
}

// Ends the run, naming the file; a control character shows as "\" and
// three octal digits, so that the message stays one line.
[[noreturn]] void refuseName(const char* name) {
    TextBuilder message;
    message.initText();
    appendText(&message, "can't write name to dependency file: ");
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!isControl(c)) {
            message.appendChar(*p);
            continue;
        }
        message.appendChar('\\');
        message.appendChar(static_cast<char>('0' + (c >> 6)));
        message.appendChar(static_cast<char>('0' + ((c >> 3) & 7)));
        message.appendChar(static_cast<char>('0' + (c & 7)));
    }
    fatalError(message.terminate());
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
// has it. A name whose look failed may be there: only one known to be
// absent (or no regular file) is passed over. Null when none has it.
const char* openableName(const DependencyFacts* facts, const char* name, TextBuilder* path) {
    if (platformIsAbsolutePath(name)) return mayBeRegularFile(name) ? name : nullptr;
    if (facts->fasmFolder) {
        path->clear();
        appendText(path, facts->fasmFolder);
        appendText(path, name);
        const char* joined = path->terminate();
        return mayBeRegularFile(joined) ? joined : nullptr;
    }
    if (mayBeRegularFile(name)) return name;
    const char* bases[] = {facts->fasName, facts->objName};
    for (const char* base : bases) {
        const char* joined = besideFolderOf(path, base, name);
        if (mayBeRegularFile(joined)) return joined;
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
    if (name) {
        bool known = false;
        for (uint32_t i = 0; i < list->names.count() && !known; ++i)
            known = strEqual(static_cast<const char*>(list->names.at(i)), name);
        if (!known) list->names.insertSorted(strDup(name));
    }
    path.release();
    converted.release();
}

void appendPrerequisite(TextBuilder* text, const char* name) {
    if (!nameReadsBack(name)) refuseName(name);
    appendText(text, " \\\n  ");
    appendEscaped(text, name);
}

// Returns the length of the escaped target that begins the text.
uint32_t composeText(TextBuilder* text, const DependencyFacts* facts) {
    SourceList list;
    list.facts = facts;
    list.names.initSorted(nameBelow);
    facts->fas->sourceFiles.forEach(addSource, &list);
    if (facts->fas->readFilesListed) facts->fas->readFiles.forEach(addSource, &list);
    if (!nameReadsBack(facts->target)) refuseName(facts->target);
    appendEscaped(text, facts->target);
    uint32_t targetLength = text->buffer.size;
    text->appendChar(':');
    appendPrerequisite(text, facts->fasName);
    // The object welded in place is the target itself.
    if (!namesOneFile(facts->target, facts->objName)) appendPrerequisite(text, facts->objName);
    for (uint32_t i = 0; i < list.names.count(); ++i)
        appendPrerequisite(text, static_cast<const char*>(list.names.at(i)));
    text->appendChar('\n');
    // Each source also as a target without a recipe, so that make goes on
    // when an include is deleted (and the source no longer reads it).
    for (uint32_t i = 0; i < list.names.count(); ++i) {
        text->appendChar('\n');
        appendEscaped(text, static_cast<const char*>(list.names.at(i)));
        text->appendChar(':');
        text->appendChar('\n');
        strRelease(static_cast<const char*>(list.names.at(i)));
    }
    list.names.release();
    return targetLength;
}

// The name with links followed, its folder's identity (and whether the
// user may add files to it, where asked) and its own name in that folder;
// false where the folder cannot be found.
bool locate(const char* name, char* target, PlatformFileInfo* folder, const char** base, bool askWritable) {
    if (!platformResolveOutput(name, target, maximumPath)) return false;
    uint32_t length = platformFolderLength(target);
    *base = target + length;
    char kept = target[length];
    target[length] = 0;
    bool found = platformInspect(length ? target : ".", folder, askWritable) && folder->exists;
    target[length] = kept;
    return found;
}

// Whether an existing file begins with this text's first target, "target:"
// and a blank or the end of a line; an empty file is no one's and may be
// taken. What cannot be read cannot be judged.
bool mayBeReplaced(const char* target, const DependencyFile* file) {
    uint32_t prefix = file->targetLength + 1;  // the colon
    ByteBuffer start;
    start.init();
    start.reserve(prefix + 1);
    uint32_t got = 0;
    bool read = readOutputStart(target, start.data, prefix + 1, &got);
    bool same = got >= prefix;
    for (uint32_t i = 0; i < prefix && same; ++i) same = start.data[i] == file->text.buffer.data[i];
    if (same && got > prefix) same = contains(" \t\r\n", static_cast<char>(start.data[prefix]));
    start.release();
    return read && (got == 0 || same);
}

// An existing file is replaced only where it is empty or this output's
// dependency file; a name that cannot be written is refused now, while the
// output is as it was: a new file needs a folder that takes new files, an
// existing one must be a regular file the user may write.
void checkExistingFile(const DependencyFile* file) {
    char target[maximumPath];
    PlatformFileInfo folder, info;
    const char* base = nullptr;
    if (!locate(file->name, target, &folder, &base, true) || !base[0] || !platformInspect(target, &info, true))
        fatalError("can't open dependency file");
    if (!info.exists && !folder.writable) fatalError("can't open dependency file");
    if (!info.exists) return;
    if (!info.regular || !info.writable) fatalError("can't open dependency file");
    if (!mayBeReplaced(target, file)) fatalError("dependency file is not the output's");
}

}  // namespace

void DependencyFile::init(const char* fileName) {
    name = fileName;
    targetLength = 0;
    text.initText();
}

void DependencyFile::release() {
    text.release();
}

void prepareDependencyFile(DependencyFile* file, const DependencyFacts* facts) {
    file->targetLength = composeText(&file->text, facts);
    checkExistingFile(file);
}

void saveDependencyFile(DependencyFile* file) {
    bool oldContentLost = false;
    SaveResult result = saveFileSafely(file->name, file->text.buffer.data, file->text.buffer.size, &oldContentLost);
    if (result == SaveResult::cannotCreate) fatalError("can't open dependency file");
    if (result == SaveResult::writeFailed && oldContentLost)
        fatalError("error while saving dependency file; its old content could not be put back");
    if (result == SaveResult::writeFailed) fatalError("error while saving dependency file");
}

bool namesOneFile(const char* a, const char* b) {
    char first[maximumPath], second[maximumPath];
    PlatformFileInfo firstFolder, secondFolder;
    const char *firstBase = nullptr, *secondBase = nullptr;
    return locate(a, first, &firstFolder, &firstBase, false) && locate(b, second, &secondFolder, &secondBase, false) &&
           firstBase[0] && firstFolder.volume == secondFolder.volume && firstFolder.index == secondFolder.index &&
           strEqual(firstBase, secondBase);
}
