// POSIX implementation of the operating-system layer.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SYMWELD_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define SYMWELD_ASAN 1
#endif
#ifdef SYMWELD_ASAN
#include <sanitizer/asan_interface.h>
#endif
#ifdef SYMWELD_VALGRIND
#include <valgrind/memcheck.h>
#endif

namespace {

// ---- command line -------------------------------------------------------

char** savedArgv = nullptr;

// ---- chunk region -------------------------------------------------------

// All chunks are carved from one reserved range, so that the memory
// manager's 32-bit in-band links can be offsets from its start. Chunks are
// handed out by a bump pointer; the range starts afresh when a chunk is
// asked for after every chunk came back.
// At most 4 GiB, so that offsets fit 32 bits; less under an address-space
// limit, which the reservation counts against whether it is used or not.
const uint64_t largestRegion = 0xFFFF0000ull;
const uint64_t smallestRegion = 1u << 20;
uint64_t regionSize = 0;
char* regionBase = nullptr;
uint64_t regionUsed = 0;
uint64_t committedEnd = 0;
uint32_t liveChunks = 0;
const uint64_t pageSize = 4096;
const uint64_t hugeChunk = 8u << 20;

bool reserveRegion() {
    if (regionBase) return true;
    uint64_t size = largestRegion;
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur / 2 < size)
        size = (limit.rlim_cur / 2) & ~(pageSize - 1);
    void* block = MAP_FAILED;
    for (; size >= smallestRegion; size /= 2) {
        block = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (block != MAP_FAILED) break;
    }
    if (block == MAP_FAILED) return false;
    regionSize = size;
    regionBase = static_cast<char*>(block);
    // Offset 0 stands for null, so the first chunk must not begin there.
    regionUsed = 8;
    return true;
}

// Once every chunk is back, the range is started afresh at the next
// request; a process that ends right after returning its chunks (the usual
// case) leaves the pages to the system's own clean-up.
void restartRegion() {
    platformUnpoison(regionBase, committedEnd);
    madvise(regionBase, committedEnd, MADV_DONTNEED);
    mprotect(regionBase, committedEnd, PROT_NONE);
    committedEnd = 0;
    regionUsed = 8;
}

PlatformExitHook exitHook = nullptr;

}  // namespace

// The shell has already split the arguments, and Linux users expect a path
// that begins with "/" to be a path: only "-" begins an option.
const PlatformConventions platformConventions = {"-", "\n", true, true};

const char* platformCommandLine() {
    return "";
}

const char* const* platformArgumentVector() {
    static const char* const noArguments[] = {"symweld", nullptr};
    return savedArgv ? savedArgv : noArguments;
}

char* platformChunkBase() {
    reserveRegion();
    return regionBase;
}

void* platformChunkAllocate(uint32_t size) {
    if (!reserveRegion()) return nullptr;
    if (liveChunks == 0 && regionUsed > 8) restartRegion();
    // A chunk starts 4 bytes before an 8-byte boundary.
    uint64_t start = ((regionUsed + 4 + 7) & ~uint64_t(7)) - 4;
    uint64_t end = start + size;
    if (end > regionSize) return nullptr;
    if (end > committedEnd) {
        uint64_t newEnd = (end + pageSize - 1) & ~(pageSize - 1);
        if (mprotect(regionBase + committedEnd, newEnd - committedEnd, PROT_READ | PROT_WRITE) != 0)
            return nullptr;
        committedEnd = newEnd;
    }
    regionUsed = end;
    ++liveChunks;
    // Large chunks hold whole files: huge pages make touching them far
    // cheaper. Small chunks stay on small pages, so small runs stay small.
    if (size >= hugeChunk) madvise(regionBase + (start & ~(pageSize - 1)), size, MADV_HUGEPAGE);
    return regionBase + start;
}

void platformChunkFree(void* chunk) {
    if (!chunk || liveChunks == 0) return;
    --liveChunks;
}

void platformPoison(const void* start, size_t size) {
#ifdef SYMWELD_ASAN
    ASAN_POISON_MEMORY_REGION(start, size);
#else
    (void)start;
    (void)size;
#endif
}

void platformUnpoison(const void* start, size_t size) {
#ifdef SYMWELD_ASAN
    ASAN_UNPOISON_MEMORY_REGION(start, size);
#else
    (void)start;
    (void)size;
#endif
}

void platformMarkUndefined(const void* start, size_t size) {
#ifdef SYMWELD_VALGRIND
    VALGRIND_MAKE_MEM_UNDEFINED(start, size);
#else
    (void)start;
    (void)size;
#endif
}

// ---- files --------------------------------------------------------------

bool platformOpenForReading(PlatformFile* file, const char* name) {
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return false;
    }
    *file = static_cast<PlatformFile>(fd) + 1;
    return true;
}

bool platformOpenRegularForReading(PlatformFile* file, const char* name) {
    // The type is checked before the open, since opening a device can act
    // on it, and again after, on what was really opened; O_NONBLOCK keeps a
    // pipe swapped in between from holding the open up.
    struct stat info;
    if (stat(name, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    *file = static_cast<PlatformFile>(fd) + 1;
    return true;
}

// POSIX has no share modes.
bool platformOpenOutputForReading(PlatformFile* file, const char* name) {
    return platformOpenRegularForReading(file, name);
}

bool platformClose(PlatformFile file) {
    return close(static_cast<int>(file - 1)) == 0;
}

bool platformRead(PlatformFile file, void* destination, uint32_t count, uint32_t* done) {
    ssize_t n;
    do n = read(static_cast<int>(file - 1), destination, count);
    while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    *done = static_cast<uint32_t>(n);
    return true;
}

bool platformWrite(PlatformFile file, const void* source, uint32_t count, uint32_t* done) {
    ssize_t n;
    do n = write(static_cast<int>(file - 1), source, count);
    while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    *done = static_cast<uint32_t>(n);
    return true;
}

bool platformFileSize(PlatformFile file, uint64_t* size) {
    struct stat info;
    if (fstat(static_cast<int>(file - 1), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool platformInspect(const char* name, PlatformFileInfo* info, bool askWritable) {
    struct stat s;
    *info = PlatformFileInfo{false, false, false, 0, 0};
    if (stat(name, &s) != 0) return errno == ENOENT;
    info->exists = true;
    info->regular = S_ISREG(s.st_mode);
    // A file without any write bit is read-only, also for root, who passes
    // every access check; others must pass the check with their own ids.
    info->writable = askWritable && (s.st_mode & 0222) != 0 && faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0;
    info->volume = static_cast<uint64_t>(s.st_dev);
    info->index = static_cast<uint64_t>(s.st_ino);
    return true;
}

// ---- replacing the output -----------------------------------------------

namespace {

bool copyName(char* destination, uint32_t capacity, const char* source, size_t length) {
    if (length + 1 > capacity) return false;
    memcpy(destination, source, length);
    destination[length] = 0;
    return true;
}

// Length of the folder part of a path, its final slash included.
size_t folderLength(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? static_cast<size_t>(slash - path) + 1 : 0;
}

// The temporary of this run: its folder, held open so that its name stays
// short whatever the folder's path, and its name in that folder. The signal
// handler reads them, so they are plain static storage.
int temporaryFolder = -1;
char temporaryName[temporaryNameCapacity];
volatile sig_atomic_t temporaryExists = 0;
// Every catchable signal whose default action ends the process, apart from
// the faults of the process itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGSYS,
// SIGTRAP), which belong to debuggers and sanitizers; and the real-time
// signals, added where the set is made.
const int interruptSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

sigset_t interruptSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : interruptSignals) sigaddset(&set, signalNumber);
#ifdef SIGRTMIN
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) sigaddset(&set, signalNumber);
#endif
    return set;
}

void removeTemporaryAndDie(int signalNumber) {
    if (temporaryExists) unlinkat(temporaryFolder, temporaryName, 0);
    temporaryExists = 0;
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// SIGPIPE and SIGXFSZ come from the system when a write of this process
// meets a closed pipe or the file-size limit: that write then fails like
// any other. Sent by another process, they end the run like the others.
void endOnSignalFromOutside(int signalNumber, siginfo_t* info, void*) {
    bool fromOwnWrite = info && info->si_code == SI_USER && info->si_pid == getpid();
    if (!fromOwnWrite) removeTemporaryAndDie(signalNumber);
}

// Signals that would end the process first remove the temporary; a signal
// that the caller ignores (nohup, background jobs) stays ignored.
void catchInterrupts() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    sigset_t all = interruptSet();
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (sigismember(&all, signalNumber) != 1) continue;
        struct sigaction old;
        // Only the default action is replaced: a signal ignored at start
        // stays ignored, and a handler of a sanitizer stays in place.
        if (sigaction(signalNumber, nullptr, &old) != 0) continue;
        if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = removeTemporaryAndDie;
        action.sa_mask = all;
        sigaction(signalNumber, &action, nullptr);
    }
}

void blockInterrupts(sigset_t* previous) {
    sigset_t set = interruptSet();
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &set, previous);
}

// Whether an interrupt arrived while interrupts were held back.
bool interruptPending() {
    sigset_t pending;
    sigset_t interrupts = interruptSet();
    if (sigpending(&pending) != 0) return false;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        if (sigismember(&interrupts, signalNumber) == 1 && sigismember(&pending, signalNumber) == 1) return true;
    return false;
}

// The final step of a run that writes its output (the rename, or the
// in-place write) runs with interrupts held back, and its result decides
// the run's: once the new output is in place, they stay held until the
// process has ended, and a later final step (the dependency file's) no
// longer gives way to them; otherwise they take effect.
sigset_t maskBeforeFinalStep;
bool finalStepActive = false;
bool outputCommitted = false;

void beginFinalStep() {
    catchInterrupts();
    // Held already: the mask saved first is the one to go back to.
    if (finalStepActive) return;
    blockInterrupts(&maskBeforeFinalStep);
    finalStepActive = true;
}

// Whether the final step must give way to an interrupt that came meanwhile.
bool finalStepInterrupted() {
    return !outputCommitted && interruptPending();
}

void endFinalStep(bool outputReplaced) {
    if (outputReplaced) outputCommitted = true;
    if (!finalStepActive || outputCommitted) return;
    finalStepActive = false;
    sigprocmask(SIG_SETMASK, &maskBeforeFinalStep, nullptr);
}

// A name that differs from run to run and try to try.
void makeTemporaryName(unsigned attempt) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint32_t value = static_cast<uint32_t>(getpid()) * 2654435761u ^ static_cast<uint32_t>(now.tv_nsec) ^
                     (attempt * 0x9E3779B9u);
    // The folder is held open and names are relative to it: no path limit.
    composeTemporaryName(temporaryName, 0, 0xFFFFFFFFu, value);
}

}  // namespace

bool platformResolveOutput(const char* outputName, char* target, uint32_t capacity) {
    if (outputName[0] == 0 || !copyName(target, capacity, outputName, strlen(outputName))) return false;
    // Follow symbolic links so that the file they point to is replaced and
    // the link itself stays a link.
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info;
        if (lstat(target, &info) != 0) return errno == ENOENT;
        if (!S_ISLNK(info.st_mode)) return true;
        char link[4096];
        ssize_t n = readlink(target, link, sizeof link - 1);
        if (n < 0) return false;
        link[n] = 0;
        if (link[0] == '/') {
            if (!copyName(target, capacity, link, static_cast<size_t>(n))) return false;
        } else {
            size_t folder = folderLength(target);
            if (folder + static_cast<size_t>(n) + 1 > capacity) return false;
            memcpy(target + folder, link, static_cast<size_t>(n) + 1);
        }
    }
    return false;
}

bool platformCreateTemporary(PlatformFile* file, const char* target, bool* noTemporary) {
    *noTemporary = false;
    size_t folder = folderLength(target);
    char folderName[4096];
    if (folder == 0)
        copyName(folderName, sizeof folderName, ".", 1);
    else if (!copyName(folderName, sizeof folderName, target, folder))
        return false;
    // O_PATH: a folder the user may write to but not list is enough.
    temporaryFolder = open(folderName, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (temporaryFolder < 0) return false;
    catchInterrupts();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        makeTemporaryName(attempt);
        sigset_t previous;
        blockInterrupts(&previous);
        int fd = openat(temporaryFolder, temporaryName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) temporaryExists = 1;
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (fd >= 0) {
            *file = static_cast<PlatformFile>(fd) + 1;
            return true;
        }
        if (errno != EEXIST) {
            *noTemporary = errno == EACCES || errno == EPERM;
            break;
        }
    }
    close(temporaryFolder);
    temporaryFolder = -1;
    return false;
}

namespace {

// The extended attributes a replace carries over: the access ACL, and the
// user's own attributes. Others belong to the system (security labels,
// capabilities) and are never copied.
bool isKeptAttribute(const char* name) {
    return strcmp(name, "system.posix_acl_access") == 0 || strncmp(name, "user.", 5) == 0;
}

// The permission bits that give nobody more than the old file's ACL gave:
// the owning group's class gets only what the owning group had (the mask
// may have been wider, for named users and groups who lose their entries).
mode_t modeWithinAcl(mode_t mode, const uint8_t* acl, ssize_t length) {
    const ssize_t headerSize = 4, entrySize = 8;
    const uint16_t groupObject = 0x04, maskEntry = 0x10;
    mode_t group = 7, mask = 7;
    for (ssize_t at = headerSize; at + entrySize <= length; at += entrySize) {
        uint16_t tag = static_cast<uint16_t>(acl[at] | acl[at + 1] << 8);
        mode_t permissions = static_cast<mode_t>(acl[at + 2] & 7);
        if (tag == groupObject) group = permissions;
        if (tag == maskEntry) mask = permissions;
    }
    return (mode & ~mode_t(070)) | ((group & mask) << 3);
}

// Copies the kept extended attributes of the target to the new file. Where
// the ACL cannot be kept, *mode is narrowed so that nobody gains access.
void copyKeptAttributes(int fd, const char* target, mode_t* mode) {
    char names[4096];
    ssize_t listed = listxattr(target, names, sizeof names);
    if (listed <= 0) return;
    uint8_t value[4096];
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
        const char* name = names + at;
        if (!isKeptAttribute(name)) continue;
        ssize_t length = getxattr(target, name, value, sizeof value);
        bool isAcl = strcmp(name, "system.posix_acl_access") == 0;
        bool copied = length >= 0 && fsetxattr(fd, name, value, static_cast<size_t>(length), 0) == 0;
        if (isAcl && length > 0 && !copied) *mode = modeWithinAcl(*mode, value, length);
    }
}

}  // namespace

bool platformSetOutputPermissions(PlatformFile file, const char* target) {
    int fd = static_cast<int>(file - 1);
    struct stat info;
    mode_t mode;
    if (stat(target, &info) == 0) {
        // The replaced file keeps its owner and its group, each where the
        // user may keep it so: root keeps both, a member of the file's
        // group keeps the group. A failure here changes nothing.
        if (fchown(fd, info.st_uid, info.st_gid) != 0) {
            bool groupKept = fchown(fd, static_cast<uid_t>(-1), info.st_gid) == 0;
            (void)groupKept;
        }
        mode = info.st_mode & 0777;
        // A default ACL of the folder gave the new file an ACL of its own;
        // the target's, if any, takes its place.
        if (fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA && errno != ENOTSUP) return false;
        copyKeptAttributes(fd, target, &mode);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    // The permission bits go last: setting an ACL sets them too, and the
    // group's bits are then the ACL's mask, as they were on the target.
    struct stat now;
    if (fstat(fd, &now) == 0 && (now.st_mode & 0777) == mode) return true;
    return fchmod(fd, mode) == 0;
}

bool platformOpenInPlace(PlatformFile* file, const char* target) {
    int fd = open(target, O_RDWR | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    // Only a regular file, also if something else took the name meanwhile.
    // Runs that write one file in place take turns; setuid and setgid bits
    // never stay on a file the tool wrote.
    bool opened = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (opened) {
        int locked;
        do locked = flock(fd, LOCK_EX);
        while (locked != 0 && errno == EINTR);
        opened = locked == 0;
    }
    if (opened && (info.st_mode & (S_ISUID | S_ISGID))) opened = fchmod(fd, info.st_mode & 0777) == 0;
    if (!opened) {
        close(fd);
        return false;
    }
    *file = static_cast<PlatformFile>(fd) + 1;
    return true;
}

bool platformSetFilePosition(PlatformFile file, uint64_t offset) {
    return lseek(static_cast<int>(file - 1), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool platformReserveFileSize(PlatformFile file, uint64_t size) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && size > limit.rlim_cur)
        return false;
    int fd = static_cast<int>(file - 1);
    int reserved;
    do reserved = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
    while (reserved != 0 && errno == EINTR);
    // A file system that cannot reserve space still takes the write, and a
    // failing write puts the old content back.
    return reserved == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
}

bool platformSetFileLength(PlatformFile file, uint64_t size) {
    return ftruncate(static_cast<int>(file - 1), static_cast<off_t>(size)) == 0;
}

bool platformFlushFile(PlatformFile file) {
    int result;
    do result = fdatasync(static_cast<int>(file - 1));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// Runs that replace one output never meet: the rename is one step, and the
// in-place write takes a lock of its own.
void platformTakeTurnsOnOutput(const char*) {}

void platformHoldInterrupts() {
    beginFinalStep();
}

bool platformInterruptPending() {
    return finalStepInterrupted();
}

void platformOutputDecided(bool replaced) {
    endFinalStep(replaced);
}

// The signal handlers remove an unfinished temporary; nothing to change here.
bool platformKeepTemporary(PlatformFile) {
    return true;
}

bool platformReplaceWithTemporary(const char* target, bool* refused) {
    const char* base = target + folderLength(target);
    beginFinalStep();
    // An interrupt that came before the move ends the run before it.
    bool attempted = !finalStepInterrupted();
    bool moved = attempted && renameat(temporaryFolder, temporaryName, temporaryFolder, base) == 0;
    // A sticky folder (/tmp) refuses to replace another user's file.
    *refused = attempted && !moved && (errno == EPERM || errno == EACCES);
    if (moved) {
        temporaryExists = 0;
        close(temporaryFolder);
        temporaryFolder = -1;
    }
    endFinalStep(moved);
    return moved;
}

void platformRemoveTemporary() {
    sigset_t previous;
    blockInterrupts(&previous);
    if (temporaryExists) unlinkat(temporaryFolder, temporaryName, 0);
    temporaryExists = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (temporaryFolder >= 0) close(temporaryFolder);
    temporaryFolder = -1;
}

uint32_t platformFolderLength(const char* path) {
    return static_cast<uint32_t>(folderLength(path));
}

bool platformIsAbsolutePath(const char* path) {
    return path[0] == '/';
}

// ---- console and process ------------------------------------------------

namespace {
// Whether standard output was closed at start or a write to it failed.
bool standardOutputFailed = false;
}  // namespace

bool platformStandardOutputFailed() {
    return standardOutputFailed;
}

void platformWriteStandardOutput(const void* bytes, uint32_t count) {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t n = write(1, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            standardOutputFailed = true;
            return;
        }
        p += n;
        count -= static_cast<uint32_t>(n);
    }
}

void platformSetExitHook(PlatformExitHook hook) {
    exitHook = hook;
}

void platformExit(int code) {
    if (exitHook) exitHook(code);
    _exit(code);
}

void platformSetArguments(int argc, char** argv) {
    if (argc > 0) savedArgv = argv;
    // Standard handles that are closed are opened on /dev/null, so that no
    // file the tool opens can take their place and receive console output.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        if (fd == 1) standardOutputFailed = true;
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    // A console write to a closed pipe must not end the process, and a
    // write past the file-size limit must fail like any other write; the
    // same signals sent by another process end the run. Ignored at start,
    // they stay ignored.
    const int fromWrites[] = {SIGPIPE, SIGXFSZ};
    for (int signalNumber : fromWrites) {
        struct sigaction old;
        if (sigaction(signalNumber, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_sigaction = endOnSignalFromOutside;
        action.sa_flags = SA_SIGINFO;
        sigfillset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
}
