// Opening, reading and writing files, what a name leads to, and paths.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool posix::copyName(char* destination, uint32_t capacity, const char* source, size_t length) {
    if (length + 1 > capacity) return false;
    memcpy(destination, source, length);
    destination[length] = 0;
    return true;
}

size_t posix::folderLength(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? static_cast<size_t>(slash - path) + 1 : 0;
}

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
    // A folder on the way that is a file: the name cannot exist either.
    if (stat(name, &s) != 0) return errno == ENOENT || errno == ENOTDIR;
    info->exists = true;
    info->regular = S_ISREG(s.st_mode);
    // A file without any write bit is read-only, also for root, who passes
    // every access check; others must pass the check with their own ids.
    info->writable = askWritable && (s.st_mode & 0222) != 0 && faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0;
    info->volume = static_cast<uint64_t>(s.st_dev);
    info->index = static_cast<uint64_t>(s.st_ino);
    return true;
}

bool platformFlushFile(PlatformFile file) {
    int result;
    do result = fdatasync(static_cast<int>(file - 1));
    while (result != 0 && errno == EINTR);
    if (result == 0) posix::noteFlushed(static_cast<int>(file - 1));
    return result == 0;
}

uint32_t platformFolderLength(const char* path) {
    return static_cast<uint32_t>(posix::folderLength(path));
}

bool platformIsAbsolutePath(const char* path) {
    return path[0] == '/';
}
