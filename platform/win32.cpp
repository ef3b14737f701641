// Win32 implementation of the operating-system layer, on KERNEL32 alone.
#include "platform/platform.h"

#include <windows.h>

namespace {
PlatformExitHook exitHook = nullptr;
// The open temporary of this run (below); none yet.
HANDLE temporaryHandle = INVALID_HANDLE_VALUE;

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

namespace {
bool openRegular(PlatformFile* file, const char* name, DWORD share) {
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    HANDLE h = CreateFileA(name, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *file = reinterpret_cast<PlatformFile>(h);
    // Pipes and character devices (CON, NUL, COM1) are not source files.
    if (GetFileType(toHandle(*file)) != FILE_TYPE_DISK) {
        CloseHandle(toHandle(*file));
        return false;
    }
    return true;
}
}  // namespace

bool platformOpenRegularForReading(PlatformFile* file, const char* name) {
    return openRegular(file, name, FILE_SHARE_READ);
}

bool platformOpenOutputForReading(PlatformFile* file, const char* name) {
    return openRegular(file, name, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

bool platformClose(PlatformFile file) {
    // Closing the temporary's handle removes its first name.
    if (toHandle(file) == temporaryHandle) temporaryHandle = INVALID_HANDLE_VALUE;
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

// Whether another program (a virus scanner, an indexer, an editor) holds
// the file for a moment, rather than the file refusing the user for good.
bool heldByAnother(DWORD error, const char* name) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    DWORD attributes = GetFileAttributesA(name);
    return error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

// Pauses between tries at a held file: about 2 s in all. An interrupt
// during a pause ends the run at once through the console handler.
const DWORD heldFilePauses[] = {10, 20, 40, 80, 160, 320, 500, 500, 500};
const uint32_t heldFileTries = sizeof heldFilePauses / sizeof heldFilePauses[0];

// Whether the user may open the file for writing (its security and any
// sharing in force), asked by opening it without changing it.
bool openableForWriting(const char* name) {
    for (uint32_t attempt = 0;; ++attempt) {
        HANDLE h = CreateFileA(name, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        if (attempt == heldFileTries || !heldByAnother(GetLastError(), name)) return false;
        Sleep(heldFilePauses[attempt]);
    }
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

// Longest path that programs without long-path support may name.
const uint32_t pathLimit = MAX_PATH - 1;

// The temporary of this run lies in the target's folder under two names in
// turn. It is created as `temporaryName`, open through `temporaryHandle`
// and deleted when that handle closes, from its creation on and however the
// process ends (TerminateProcess, a crash, a signal under wine). Once it is
// complete it gets a second name, `keptName`, which the final rename moves
// over the target; closing the handle then removes the first name. The
// console handler runs on a thread of its own, so all of it is plain
// static storage, set before the files exist.
char temporaryName[4096 + 32];
char keptName[4096 + 32];
// Whether `keptName` exists, and whether it is being moved over the target
// (an interrupt then waits for the move to end).
enum : LONG { noKeptName = 0, keptNameExists = 1, keptNameMoving = 2 };
volatile LONG keptState = noKeptName;
volatile LONG outputReplaced = 0;
// Whether the in-place write is under way (an interrupt then waits for it to
// end, and it decides), and whether an interrupt waited for it.
volatile LONG writingInPlace = 0;
volatile LONG interruptWaiting = 0;
// Set by the one thread that ends the process early. Under wine two threads
// that terminate the process at once can each end the other in the middle
// of its exit and leave the process hung; the second one waits instead.
volatile LONG runEnding = 0;

// Ends the process with `code`, or waits for the thread that already does.
// Nothing of the process's own runs after it: the worker may have been
// stopped or ended holding a lock that the C runtime's exit code would wait
// for, and the temporary goes with the process's handles.
void endProcess(UINT code) {
    if (InterlockedExchange(&runEnding, 1) != 0) Sleep(INFINITE);
    TerminateProcess(GetCurrentProcess(), code);
    Sleep(INFINITE);
}

// The threads of a run (see platformRunProgram): the worker runs the
// program, the process's first thread waits for it, and a watcher waits
// for the first thread.
struct RunThreads {
    void (*program)();
    HANDLE worker;
    DWORD workerId;
    HANDLE first;
    HANDLE watcherStarted;
};
RunThreads runThreads = {nullptr, nullptr, 0, nullptr, nullptr};

// Stops the worker and waits until it has stopped; false where it cannot
// be stopped (before it exists, or on the worker itself). wine stops a
// thread only outside its own critical sections, while ending a thread
// leaves the lock it holds taken, and the thread that ends the process can
// then wait for that lock forever.
bool stopWorker() {
    if (!runThreads.worker || GetCurrentThreadId() == runThreads.workerId) return false;
    if (SuspendThread(runThreads.worker) == static_cast<DWORD>(-1)) return false;
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(runThreads.worker, &context);
    return true;
}

void removeKeptName() {
    if (InterlockedCompareExchange(&keptState, noKeptName, keptNameExists) == keptNameExists)
        DeleteFileA(keptName);
}

// Ends a run that has not replaced its output with STATUS_CONTROL_C_EXIT,
// as Windows' own handler ends a console program on Ctrl-C (wine's would end
// it with 0, a success for a run that wrote nothing); the temporary goes
// with its handle. Returns for a run whose output is in place.
//
// The kept name is removed before the worker stops (removing a file can
// take the heap's lock, which a stopped thread may hold); a move that began
// meanwhile is let end, and decides.
void endUnfinishedRun() {
    for (;;) {
        while (keptState == keptNameMoving || writingInPlace) {
            InterlockedExchange(&interruptWaiting, 1);
            Sleep(1);
        }
        if (outputReplaced) return;
        removeKeptName();
        bool stopped = stopWorker();
        if (keptState != keptNameMoving && !writingInPlace && !outputReplaced) break;
        if (stopped) ResumeThread(runThreads.worker);
    }
    endProcess(STATUS_CONTROL_C_EXIT);
}

// Ctrl-C, Ctrl-Break, closing the console, logging off and shutting down.
// A run whose output is in place is let finish as it would have.
BOOL WINAPI endRunOnInterrupt(DWORD) {
    endUnfinishedRun();
    return TRUE;
}

// Wakes when the first thread was ended from outside, as wine ends the
// thread that a SIGQUIT meets (with exit code 0, a success for a run that
// wrote nothing). The run then ends as on an interrupt. When the worker ends
// the process, this thread ends with the first one.
DWORD WINAPI endRunWithFirstThread(LPVOID) {
    SetEvent(runThreads.watcherStarted);
    WaitForSingleObject(runThreads.first, INFINITE);
    endUnfinishedRun();
    return 0;
}

DWORD WINAPI runProgram(LPVOID) {
    runThreads.program();
    return 0;
}

uint32_t folderLength(const char* path) {
    uint32_t length = 0;
    for (uint32_t i = 0; path[i]; ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':') length = i + 1;
    return length;
}

// The value that makes this run's names its own, for each try.
uint32_t nameValue(unsigned attempt) {
    return GetCurrentProcessId() * 2654435761u ^ GetTickCount() ^ (attempt * 0x9E3779B9u);
}

// Puts the target's folder and a temporary name into `name`; false when no
// name fits the path limit.
bool composeName(char* name, const char* target, uint32_t fullFolderLength, unsigned attempt) {
    uint32_t folder = folderLength(target);
    char base[temporaryNameCapacity];
    uint32_t length = composeTemporaryName(base, fullFolderLength, pathLimit, nameValue(attempt));
    if (length == 0 || folder + length + 1 > sizeof temporaryName) return false;
    copyText(name, target, folder);
    copyText(name + folder, base, length);
    return true;
}

// The length of the folder part of the target's full path, which is what
// the path limit counts.
uint32_t fullFolderLength(const char* target) {
    char full[4096];
    char* filePart = nullptr;
    DWORD n = GetFullPathNameA(target, sizeof full, full, &filePart);
    if (n == 0 || n >= sizeof full) return folderLength(target);
    return filePart ? static_cast<uint32_t>(filePart - full) : n;
}

// Where the volume has no hard links: the kept name is a new file that gets
// the temporary's contents and attributes.
bool copyTemporary(HANDLE from) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(from, FileBasicInfo, &basic, sizeof basic)) return false;
    InterlockedExchange(&keptState, keptNameExists);
    HANDLE to = CreateFileA(keptName, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to == INVALID_HANDLE_VALUE) {
        InterlockedExchange(&keptState, noKeptName);
        return false;
    }
    const DWORD pieceSize = 1u << 20;
    HANDLE heap = GetProcessHeap();
    char* piece = static_cast<char*>(HeapAlloc(heap, 0, pieceSize));
    bool copied = piece && SetFilePointer(from, 0, nullptr, FILE_BEGIN) == 0;
    while (copied) {
        DWORD read = 0, written = 0;
        copied = ReadFile(from, piece, pieceSize, &read, nullptr) != 0;
        if (!copied || read == 0) break;
        copied = WriteFile(to, piece, read, &written, nullptr) && written == read;
    }
    if (piece) HeapFree(heap, 0, piece);
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    copied = copied && SetFileInformationByHandle(to, FileBasicInfo, &basic, sizeof basic);
    copied = CloseHandle(to) && copied;
    if (!copied) removeKeptName();
    return copied;
}

}  // namespace

void platformCatchInterrupts() {
    static bool caught = false;
    if (!caught) caught = SetConsoleCtrlHandler(endRunOnInterrupt, TRUE) != 0;
}

// The program runs on a thread of its own while the first thread only
// waits for it. A SIGQUIT that wine delivers to the process meets the first
// thread, which holds none of wine's locks while it waits; a working thread
// ended that way could hold one for good. A watcher ends the run when the
// first thread was ended, and the first thread ends it when the worker was
// (the program ends the process itself otherwise). Where a thread cannot
// be made, the program runs on the first thread.
//
// Not while the loader starts the process: a thread ended there would
// leave the loader's lock held, and a new thread waits for that lock.
void platformRunProgram(void (*program)()) {
    runThreads.program = program;
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE first = nullptr;
    if (started &&
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &first, SYNCHRONIZE, FALSE, 0)) {
        runThreads.first = first;
        runThreads.watcherStarted = started;
        HANDLE watcher = CreateThread(nullptr, 64 * 1024, endRunWithFirstThread, nullptr,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        // The process does not end while a thread is still starting: wine
        // can crash then.
        if (watcher) {
            WaitForSingleObject(started, 5000);
            CloseHandle(watcher);
        }
    }
    DWORD id = 0;
    HANDLE worker = CreateThread(nullptr, 0, runProgram, nullptr, CREATE_SUSPENDED, &id);
    if (!worker) {
        program();
        return;
    }
    runThreads.workerId = id;
    // Published before it runs: a handler that sees the handle sees the id.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&runThreads.worker), worker);
    ResumeThread(worker);
    WaitForSingleObject(worker, INFINITE);
    endProcess(outputReplaced ? 0 : STATUS_CONTROL_C_EXIT);
}

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

bool platformCreateTemporary(PlatformFile* file, const char* target, bool* noTemporary) {
    *noTemporary = false;
    uint32_t fullFolder = fullFolderLength(target);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        // No name fits beside the target: the plain write.
        if (!composeName(temporaryName, target, fullFolder, attempt)) {
            *noTemporary = true;
            return false;
        }
        HANDLE h = CreateFileA(temporaryName, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_DELETE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            temporaryHandle = h;
            *file = reinterpret_cast<PlatformFile>(h);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            *noTemporary = GetLastError() == ERROR_ACCESS_DENIED;
            return false;
        }
    }
    return false;
}

bool platformOpenInPlace(PlatformFile* file, const char* target) {
    // Runs that name one output take turns (platformTakeTurnsOnOutput), so
    // the output is shared as every open of it is.
    HANDLE h = CreateFileA(target, GENERIC_READ | GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return false;
    }
    *file = reinterpret_cast<PlatformFile>(h);
    return true;
}

bool platformSetFilePosition(PlatformFile file, uint64_t offset) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(toHandle(file), distance, nullptr, FILE_BEGIN) != 0;
}

// Room on the volume for the new content: the file's allocation grows to
// it, its length stays. A volume or a system that cannot say so still
// takes the write, and a failing write puts the old content back.
bool platformReserveFileSize(PlatformFile file, uint64_t size) {
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(toHandle(file), FileStandardInfo, &standard, sizeof standard)) return true;
    if (static_cast<uint64_t>(standard.AllocationSize.QuadPart) >= size) return true;
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(toHandle(file), FileAllocationInfo, &allocation, sizeof allocation)) return true;
    DWORD error = GetLastError();
    return error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL;
}

bool platformSetFileLength(PlatformFile file, uint64_t size) {
    return platformSetFilePosition(file, size) && SetEndOfFile(toHandle(file));
}

bool platformFlushFile(PlatformFile file) {
    return FlushFileBuffers(toHandle(file)) != 0;
}

void platformHoldInterrupts() {
    InterlockedExchange(&writingInPlace, 1);
}

bool platformInterruptPending() {
    return interruptWaiting != 0;
}

void platformOutputDecided(bool replaced) {
    if (replaced) InterlockedExchange(&outputReplaced, 1);
    InterlockedExchange(&writingInPlace, 0);
}

namespace {

// A name for the runs that write one output: its full path as Windows
// compares names (case folded), hashed, so that any spelling of the path
// gives the same name and any length fits.
bool outputTurnName(const char* output, char* name, uint32_t capacity) {
    char resolved[4096];
    char full[4096];
    if (!platformResolveOutput(output, resolved, sizeof resolved)) copyText(resolved, output, 0);
    DWORD n = GetFullPathNameA(resolved[0] ? resolved : output, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return false;
    static WCHAR wide[4096];
    static WCHAR folded[4096];
    int length = MultiByteToWideChar(CP_ACP, 0, full, static_cast<int>(n), wide, 4096);
    if (length <= 0) return false;
    int foldedLength = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide, length, folded, 4096);
    if (foldedLength <= 0) return false;
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < foldedLength; ++i) {
        hash ^= static_cast<uint16_t>(folded[i]);
        hash *= 1099511628211ull;
    }
    const char prefix[] = "Local\\symweld-output-";
    const uint32_t prefixLength = sizeof prefix - 1;
    if (capacity < prefixLength + 17) return false;
    copyText(name, prefix, prefixLength);
    for (uint32_t i = 0; i < 16; ++i) name[prefixLength + i] = "0123456789abcdef"[(hash >> (60 - 4 * i)) & 15];
    name[prefixLength + 16] = 0;
    return true;
}

}  // namespace

// Held until the process ends: from before the output is first looked at to
// after it is replaced. A run that ended without letting go hands its turn
// on (an abandoned mutex).
void platformTakeTurnsOnOutput(const char* output) {
    char name[64];
    if (!outputTurnName(output, name, sizeof name)) return;
    HANDLE turn = CreateMutexA(nullptr, FALSE, name);
    if (turn) WaitForSingleObject(turn, INFINITE);
}

// What replacing a file keeps of it: the attributes that an output can have
// (a read-only one is refused), and its access rights where the user may set
// them. A new output gets the attributes of any new file and the rights its
// folder passes on.
bool platformSetOutputPermissions(PlatformFile file, const char* target) {
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & kept) ? (attributes & kept) : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(toHandle(file), FileBasicInfo, &basic, sizeof basic)) return false;
    DWORD needed = 0;
    GetFileSecurityA(target, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0 || needed > 65536) return true;
    HANDLE heap = GetProcessHeap();
    void* descriptor = HeapAlloc(heap, 0, needed);
    if (!descriptor) return true;
    if (GetFileSecurityA(target, DACL_SECURITY_INFORMATION, descriptor, needed, &needed))
        SetKernelObjectSecurity(toHandle(file), DACL_SECURITY_INFORMATION, descriptor);
    HeapFree(heap, 0, descriptor);
    return true;
}

// The complete temporary gets its second name, a hard link that outlives
// the handle. Where the volume has no hard links (FAT), the contents are
// copied to a new file of that name instead.
bool platformKeepTemporary(PlatformFile file) {
    uint32_t fullFolder = fullFolderLength(temporaryName);
    for (unsigned attempt = 1; attempt < 100; ++attempt) {
        if (!composeName(keptName, temporaryName, fullFolder, attempt + 1000)) return false;
        InterlockedExchange(&keptState, keptNameExists);
        if (CreateHardLinkA(keptName, temporaryName, nullptr)) return true;
        InterlockedExchange(&keptState, noKeptName);
        DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) continue;
        return copyTemporary(toHandle(file));
    }
    return false;
}

namespace {

// Whether the system took a rename with POSIX semantics; until it refuses
// one, each replace tries it first.
bool posixRenameRefused = false;
// FileRenameInfoEx, which headers for older systems do not name.
const FILE_INFO_BY_HANDLE_CLASS renameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Moves the kept name over the target with POSIX semantics (Windows 10
// 1607 and later, on NTFS): the target is replaced even while another
// program reads it, as long as that program shares delete, as indexers and
// virus scanners do. *unsupported tells that the system does not offer it.
bool renameWithPosixSemantics(const char* target, bool* unsupported) {
    *unsupported = false;
    static WCHAR full[4096];
    char fullName[4096];
    DWORD n = GetFullPathNameA(target, sizeof fullName, fullName, nullptr);
    if (n == 0 || n >= sizeof fullName) return false;
    int length = MultiByteToWideChar(CP_ACP, 0, fullName, static_cast<int>(n), full, 4096);
    if (length <= 0) return false;
    DWORD nameBytes = static_cast<DWORD>(length) * sizeof(WCHAR);
    DWORD size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO)) + nameBytes;
    HANDLE heap = GetProcessHeap();
    FILE_RENAME_INFO* info = static_cast<FILE_RENAME_INFO*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size));
    if (!info) return false;
    // FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS,
    // in the flags word that older headers call ReplaceIfExists.
    const DWORD flags = 0x1 | 0x2;
    CopyMemory(info, &flags, sizeof flags);
    info->RootDirectory = nullptr;
    info->FileNameLength = nameBytes;
    CopyMemory(info->FileName, full, nameBytes);
    bool moved = false;
    HANDLE kept = CreateFileA(keptName, DELETE | SYNCHRONIZE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (kept != INVALID_HANDLE_VALUE) {
        moved = SetFileInformationByHandle(kept, renameInfoEx, info, size) != 0;
        DWORD error = GetLastError();
        CloseHandle(kept);
        *unsupported = !moved && (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
                                  error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED);
        SetLastError(error);
    }
    HeapFree(heap, 0, info);
    return moved;
}

// One try at the final move: with POSIX semantics where the system offers
// them, and MoveFileExA where it does not or where that rename failed
// (wine refuses it for a path past MAX_PATH, which MoveFileExA takes).
bool moveKeptName(const char* target) {
    if (!posixRenameRefused) {
        bool unsupported = false;
        if (renameWithPosixSemantics(target, &unsupported)) return true;
        posixRenameRefused = unsupported;
    }
    return MoveFileExA(keptName, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

// Moves the kept name over the target in one rename, which also replaces a
// file that appeared meanwhile; a target that another program holds is
// tried again for a while.
bool platformReplaceWithTemporary(const char* target, bool* refused) {
    bool moved = false;
    *refused = false;
    for (uint32_t attempt = 0;; ++attempt) {
        InterlockedExchange(&keptState, keptNameMoving);
        moved = moveKeptName(target);
        DWORD error = GetLastError();
        if (moved) InterlockedExchange(&outputReplaced, 1);
        InterlockedExchange(&keptState, moved ? noKeptName : keptNameExists);
        *refused = !moved && error == ERROR_ACCESS_DENIED && !heldByAnother(error, target);
        if (moved || attempt == heldFileTries || !heldByAnother(error, target)) break;
        Sleep(heldFilePauses[attempt]);
    }
    return moved;
}

void platformRemoveTemporary() {
    removeKeptName();
    if (temporaryHandle != INVALID_HANDLE_VALUE) CloseHandle(temporaryHandle);
    temporaryHandle = INVALID_HANDLE_VALUE;
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
