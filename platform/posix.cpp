// POSIX implementation of the operating-system layer.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
const uint64_t regionSize = 0xFFFF0000ull;
char* regionBase = nullptr;
uint64_t regionUsed = 0;
uint64_t committedEnd = 0;
uint32_t liveChunks = 0;
const uint64_t pageSize = 4096;
const uint64_t hugeChunk = 8u << 20;

bool reserveRegion() {
    if (regionBase) return true;
    void* block = mmap(nullptr, regionSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) return false;
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
const PlatformConventions platformConventions = {"-", "\n", true};

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

bool platformCreateForWriting(PlatformFile* file, const char* name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    *file = static_cast<PlatformFile>(fd) + 1;
    return true;
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

}  // namespace

bool platformPrepareReplacement(const char* outputName, char* target, uint32_t capacity) {
    if (outputName[0] == 0 || !copyName(target, capacity, outputName, strlen(outputName))) return false;
    // Follow symbolic links so that the file they point to is replaced and
    // the link itself stays a link.
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info;
        if (lstat(target, &info) != 0) return errno == ENOENT;
        if (!S_ISLNK(info.st_mode)) {
            if (S_ISDIR(info.st_mode)) return false;
            // A file without any write permission is read-only, also for root.
            return (info.st_mode & 0222) != 0;
        }
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

bool platformCreateTemporary(PlatformFile* file, const char* target, char* tempName,
                             uint32_t capacity) {
    size_t length = strlen(target);
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        char suffix[32];
        char* s = suffix;
        const char* tag = ".symweld-";
        while (*tag) *s++ = *tag++;
        unsigned value = static_cast<unsigned>(getpid()) * 1000u + attempt;
        char digits[16];
        int count = 0;
        do digits[count++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0);
        while (count) *s++ = digits[--count];
        *s = 0;
        size_t suffixLength = static_cast<size_t>(s - suffix);
        if (length + suffixLength + 1 > capacity) return false;
        memcpy(tempName, target, length);
        memcpy(tempName + length, suffix, suffixLength + 1);
        int fd = open(tempName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *file = static_cast<PlatformFile>(fd) + 1;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool platformReplace(const char* tempName, const char* target) {
    struct stat info;
    if (stat(target, &info) == 0 && chmod(tempName, info.st_mode & 07777) != 0) return false;
    return rename(tempName, target) == 0;
}

void platformRemove(const char* name) {
    unlink(name);
}

// ---- console and process ------------------------------------------------

void platformWriteStandardOutput(const void* bytes, uint32_t count) {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t n = write(1, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
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
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    // A console write to a closed pipe must not end the process.
    signal(SIGPIPE, SIG_IGN);
}
