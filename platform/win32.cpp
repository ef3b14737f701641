// Win32 implementation of the operating-system layer, on KERNEL32 alone.
#include "platform/platform.h"

#include <windows.h>

namespace {
PlatformExitHook exitHook = nullptr;

HANDLE toHandle(PlatformFile file) {
    return reinterpret_cast<HANDLE>(file);
}

uint32_t textLength(const char* text) {
    uint32_t n = 0;
    while (text[n]) ++n;
    return n;
}

void copyText(char* destination, const char* source, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) destination[i] = source[i];
    destination[length] = 0;
}
}  // namespace

const PlatformConventions platformConventions = {"/-", "\r\n", false, false};

const char* platformCommandLine() {
    return GetCommandLineA();
}

const char* const* platformArgumentVector() {
    return nullptr;
}

// Pointers are 32 bits wide here: the memory manager's links are addresses.
char* platformChunkBase() {
    return nullptr;
}

// HeapAlloc returns 8-aligned blocks; the chunk begins 4 bytes in, so that
// the payload after its 4-byte link is 8-aligned as well.
void* platformChunkAllocate(uint32_t size) {
    HANDLE heap = GetProcessHeap();
    if (!heap || size > 0xFFFFFFF0u) return nullptr;
    char* block = static_cast<char*>(HeapAlloc(heap, 0, size + 4));
    return block ? block + 4 : nullptr;
}

void platformChunkFree(void* chunk) {
    HANDLE heap = GetProcessHeap();
    if (heap && chunk) HeapFree(heap, 0, static_cast<char*>(chunk) - 4);
}

void platformPoison(const void*, size_t) {}
void platformUnpoison(const void*, size_t) {}
void platformMarkUndefined(const void*, size_t) {}

bool platformOpenForReading(PlatformFile* file, const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *file = reinterpret_cast<PlatformFile>(h);
    return true;
}

bool platformOpenRegularForReading(PlatformFile* file, const char* name) {
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (!platformOpenForReading(file, name)) return false;
    // Pipes and character devices (CON, NUL, COM1) are not source files.
    if (GetFileType(toHandle(*file)) != FILE_TYPE_DISK) {
        CloseHandle(toHandle(*file));
        return false;
    }
    return true;
}

bool platformClose(PlatformFile file) {
    return CloseHandle(toHandle(file)) != 0;
}

bool platformRead(PlatformFile file, void* destination, uint32_t count, uint32_t* done) {
    DWORD n = 0;
    if (!ReadFile(toHandle(file), destination, count, &n, nullptr)) return false;
    *done = n;
    return true;
}

bool platformWrite(PlatformFile file, const void* source, uint32_t count, uint32_t* done) {
    DWORD n = 0;
    if (!WriteFile(toHandle(file), source, count, &n, nullptr)) return false;
    *done = n;
    return true;
}

bool platformFileSize(PlatformFile file, uint64_t* size) {
    DWORD high = 0;
    DWORD low = GetFileSize(toHandle(file), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    *size = (static_cast<uint64_t>(high) << 32) | low;
    return true;
}

namespace {

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool notFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Whether the user may open the file for writing (its security and any
// sharing in force), asked by opening it without changing it.
bool openableForWriting(const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

}  // namespace

bool platformInspect(const char* name, PlatformFileInfo* info, bool askWritable) {
    *info = PlatformFileInfo{false, false, false, 0, 0};
    HANDLE h = CreateFileA(name, 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return notFound(GetLastError());
    info->exists = true;
    BY_HANDLE_FILE_INFORMATION facts;
    bool known = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &facts);
    CloseHandle(h);
    if (!known) return true;  // a device: not regular, not writable
    info->regular = (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    info->writable = askWritable && info->regular && (facts.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 &&
                     openableForWriting(name);
    info->volume = facts.dwVolumeSerialNumber;
    info->index = (static_cast<uint64_t>(facts.nFileIndexHigh) << 32) | facts.nFileIndexLow;
    return true;
}

namespace {

// The temporary of this run. The console handler runs on a thread of its
// own, so the name is plain static storage, set before the file exists.
char temporaryName[4096 + 32];
// The temporary's state: none, written (interrupts remove it), or being
// moved over the target (interrupts wait for the move to end).
enum : LONG { noTemporary = 0, temporaryWritten = 1, temporaryMoving = 2 };
volatile LONG temporaryState = noTemporary;
volatile LONG outputReplaced = 0;

void removeWrittenTemporary() {
    if (InterlockedCompareExchange(&temporaryState, noTemporary, temporaryWritten) == temporaryWritten)
        DeleteFileA(temporaryName);
}

// Ctrl-C, Ctrl-Break and closing the console end the process: the
// temporary goes first. It was opened with FILE_SHARE_DELETE, so it can be
// deleted while the main thread still writes to it. Ctrl-C and Ctrl-Break
// end the run with STATUS_CONTROL_C_EXIT here, as Windows' own handler
// does: wine's ends the process with exit code 0, a success for a run that
// wrote nothing.
BOOL WINAPI removeTemporaryOnInterrupt(DWORD event) {
    // A move cut short could leave neither file: it is let finish, and a
    // run whose output is then in place ends as it would have.
    while (temporaryState == temporaryMoving) Sleep(1);
    if (outputReplaced) return TRUE;
    removeWrittenTemporary();
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) ExitProcess(STATUS_CONTROL_C_EXIT);
    return FALSE;
}

bool setDeleteOnClose(HANDLE h, bool remove) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

uint32_t folderLength(const char* path) {
    uint32_t length = 0;
    for (uint32_t i = 0; path[i]; ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':') length = i + 1;
    return length;
}

}  // namespace

uint32_t platformFolderLength(const char* path) {
    return folderLength(path);
}

// "C:name" depends on the drive's current folder, not on this one: it counts
// as absolute here.
bool platformIsAbsolutePath(const char* path) {
    return path[0] == '\\' || path[0] == '/' || (path[0] && path[1] == ':');
}

bool platformResolveOutput(const char* outputName, char* target, uint32_t capacity) {
    uint32_t length = textLength(outputName);
    if (length == 0 || length + 1 > capacity) return false;
    copyText(target, outputName, length);
    // An existing output is replaced where it really lies: through symbolic
    // links, as the system resolves them.
    HANDLE h = CreateFileA(outputName, 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return notFound(GetLastError());
    DWORD n = GetFinalPathNameByHandleA(h, target, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= capacity) copyText(target, outputName, length);
    return true;
}

bool platformCreateTemporary(PlatformFile* file, const char* target, bool* folderDenied) {
    *folderDenied = false;
    uint32_t folder = folderLength(target);
    if (folder + 24 > sizeof temporaryName) return false;
    static bool handlerSet = false;
    if (!handlerSet) handlerSet = SetConsoleCtrlHandler(removeTemporaryOnInterrupt, TRUE) != 0;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        copyText(temporaryName, target, folder);
        char* p = temporaryName + folder;
        const char* prefix = ".symweld-";
        while (*prefix) *p++ = *prefix++;
        static const char hex[] = "0123456789abcdef";
        uint32_t value = GetCurrentProcessId() * 2654435761u ^ GetTickCount() ^ (attempt * 0x9E3779B9u);
        for (int shift = 28; shift >= 0; shift -= 4) *p++ = hex[(value >> shift) & 15];
        *p = 0;
        HANDLE h = CreateFileA(temporaryName, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            InterlockedExchange(&temporaryState, temporaryWritten);
            *file = reinterpret_cast<PlatformFile>(h);
            // Deleted when its handle closes, however the process ends: a
            // process that is terminated (TerminateProcess, a crash, a signal
            // under wine) runs no handler of its own.
            return setDeleteOnClose(h, true);
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            *folderDenied = GetLastError() == ERROR_ACCESS_DENIED;
            return false;
        }
    }
    return false;
}

bool platformOpenInPlace(PlatformFile* file, const char* target) {
    HANDLE h = CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return false;
    }
    *file = reinterpret_cast<PlatformFile>(h);
    return true;
}

// The replaced file's attributes and security go over to the new contents
// with ReplaceFileA; a new output gets those of its folder. The attributes
// that an output can have (a read-only one is refused) are also set on the
// temporary itself, since not every ReplaceFileA carries them over (wine's
// moves the replacement into place as it is).
bool platformSetOutputPermissions(PlatformFile file, const char* target) {
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & kept) ? (attributes & kept) : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(toHandle(file), FileBasicInfo, &basic, sizeof basic) != 0;
}

static bool moveTemporary(const char* target) {
    return MoveFileExA(temporaryName, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// From here until the move has ended, an interrupt waits instead of
// removing the temporary: its removal (pending until the last handle
// closes) would otherwise be undone here.
bool platformKeepTemporary(PlatformFile file) {
    if (InterlockedCompareExchange(&temporaryState, temporaryMoving, temporaryWritten) != temporaryWritten)
        return false;  // an interrupt has removed it
    if (setDeleteOnClose(toHandle(file), false)) return true;
    InterlockedExchange(&temporaryState, temporaryWritten);
    return false;
}

bool platformReplaceWithTemporary(const char* target) {
    InterlockedExchange(&temporaryState, temporaryMoving);
    // ReplaceFileA needs a file to replace; a new output is a plain move
    // (which also replaces one that appeared in the meantime).
    bool exists = GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES;
    bool moved = exists ? ReplaceFileA(target, temporaryName, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                       nullptr) != 0
                        : moveTemporary(target);
    LONG after = moved ? noTemporary : temporaryWritten;
    // This failure means the replaced file was moved away and the temporary
    // was not moved in (another run may have got there first, or still
    // holds the name): the move is tried again for a while. Should the name
    // stay empty, the temporary holds the only copy and is kept.
    if (!moved && exists && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
        for (int attempt = 0; attempt < 100 && !moved; ++attempt) {
            moved = moveTemporary(target);
            if (!moved) Sleep(10);
        }
        if (!moved && GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES) after = noTemporary;
    }
    if (moved) InterlockedExchange(&outputReplaced, 1);
    InterlockedExchange(&temporaryState, after);
    return moved;
}

void platformRemoveTemporary() {
    InterlockedCompareExchange(&temporaryState, temporaryWritten, temporaryMoving);
    removeWrittenTemporary();
}

// Console write results are never looked at on Windows.
bool platformStandardOutputFailed() {
    return false;
}

void platformWriteStandardOutput(const void* bytes, uint32_t count) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, count, &written, nullptr);
}

void platformSetExitHook(PlatformExitHook hook) {
    exitHook = hook;
}

void platformExit(int code) {
    if (exitHook) exitHook(code);
    ExitProcess(static_cast<UINT>(code));
}
