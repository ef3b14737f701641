// The in-place write, for an output beside which no temporary can be made:
// the existing file is opened, locked, and written over.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file being written in place: a second descriptor, so that its mode
// can be settled once the write is decided (after the first is closed),
// and what the file was before the write.
int inPlaceFile = -1;
int inPlaceWritten = -1;  // the descriptor that the tool writes through
struct stat inPlaceBefore;
// Whether the file may hold anything but a whole content that reached the
// disk: from the start of a write over it until its flush succeeds.
bool inPlaceUnsettled = false;

bool isMember(gid_t group) {
    if (getegid() == group) return true;
    int count = getgroups(0, nullptr);
    gid_t* groups = count > 0 ? static_cast<gid_t*>(malloc(sizeof(gid_t) * static_cast<size_t>(count))) : nullptr;
    if (groups) count = getgroups(count, groups);
    bool member = false;
    for (int i = 0; groups && i < count; ++i) member = member || groups[i] == group;
    free(groups);
    return member;
}

// Whether the mode can be put back as it was after a write, which drops
// setuid and setgid bits for anyone but root: only the owner may set them,
// and setgid only a member of the file's group.
bool modeCanBePutBack(const struct stat& info) {
    if ((info.st_mode & (S_ISUID | S_ISGID)) == 0 || geteuid() == 0) return true;
    if (info.st_uid != geteuid()) return false;
    return (info.st_mode & S_ISGID) == 0 || isMember(info.st_gid);
}

}  // namespace

bool platformOpenInPlace(PlatformFile* file, const char* target) {
    int fd = open(target, O_RDWR | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    // Only a regular file, also if something else took the name meanwhile.
    // Runs that write one file in place take turns. A file whose mode a
    // failed write could not put back is refused.
    bool opened = fstat(fd, &inPlaceBefore) == 0 && S_ISREG(inPlaceBefore.st_mode) && modeCanBePutBack(inPlaceBefore);
    if (opened) {
        int locked;
        do locked = flock(fd, LOCK_EX);
        while (locked != 0 && errno == EINTR);
        opened = locked == 0;
    }
    if (opened) {
        inPlaceFile = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        opened = inPlaceFile >= 0;
        inPlaceWritten = opened ? fd : -1;
        inPlaceUnsettled = false;
    }
    if (!opened) {
        close(fd);
        return false;
    }
    *file = static_cast<PlatformFile>(fd) + 1;
    return true;
}

// Setuid and setgid bits never stay on a file the tool wrote: they go
// before the write counts as done, so that a failure here is a failed
// write, whose undo puts the old content and mode back.
bool platformDropSpecialBits(PlatformFile file) {
    int fd = static_cast<int>(file - 1);
    struct stat now;
    if (fstat(fd, &now) != 0) return false;
    mode_t wanted = inPlaceBefore.st_mode & 0777;
    return (now.st_mode & 07777) == wanted || fchmod(fd, wanted) == 0;
}

// Once the in-place write is decided: a failed write leaves the mode as it
// was (the system drops setuid and setgid bits on a write by anyone but
// root), unless the file holds neither content for sure (its undo failed
// too): such a file keeps neither bit.
void posix::settleInPlaceFile(bool written) {
    if (inPlaceFile < 0) return;
    struct stat now;
    if (!written && fstat(inPlaceFile, &now) == 0) {
        mode_t wanted = inPlaceBefore.st_mode & (inPlaceUnsettled ? 0777 : 07777);
        if ((now.st_mode & 07777) != wanted) fchmod(inPlaceFile, wanted);
    }
    close(inPlaceFile);
    inPlaceFile = -1;
    inPlaceWritten = -1;
}

void posix::noteFlushed(int fd) {
    if (inPlaceFile >= 0 && fd == inPlaceWritten) inPlaceUnsettled = false;
}

// Each write over the file in place starts here.
bool platformSetFilePosition(PlatformFile file, uint64_t offset) {
    if (static_cast<int>(file - 1) == inPlaceWritten) inPlaceUnsettled = true;
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
