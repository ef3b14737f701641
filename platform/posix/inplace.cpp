// The in-place write, for an output beside which no temporary can be made:
// the existing file is opened, locked, and written over.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Runs that replace one output never meet: the rename is one step, and the
// in-place write takes a lock of its own.
void platformTakeTurnsOnOutput(const char*) {}
