// The safe replace: a temporary beside the output, given the output's
// owner, group, permissions and attributes, then moved over it in one step.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

int posix::temporaryFolder = -1;
char posix::temporaryName[temporaryNameCapacity];
volatile sig_atomic_t posix::temporaryExists = 0;

using posix::copyName;
using posix::folderLength;
using posix::temporaryExists;
using posix::temporaryFolder;
using posix::temporaryName;

namespace {

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
    posix::catchInterrupts();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        makeTemporaryName(attempt);
        sigset_t previous;
        posix::blockInterrupts(&previous);
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

// The signal handlers remove an unfinished temporary; nothing to change here.
bool platformKeepTemporary(PlatformFile) {
    return true;
}

bool platformReplaceWithTemporary(const char* target, bool* refused) {
    const char* base = target + folderLength(target);
    posix::beginFinalStep();
    // An interrupt that came before the move ends the run before it.
    bool moved = !posix::interruptPending() && renameat(temporaryFolder, temporaryName, temporaryFolder, base) == 0;
    // A sticky folder (/tmp) refuses to replace another user's file.
    *refused = !moved && (errno == EPERM || errno == EACCES);
    if (moved) {
        temporaryExists = 0;
        close(temporaryFolder);
        temporaryFolder = -1;
    }
    posix::endFinalStep(moved);
    return moved;
}

void platformRemoveTemporary() {
    sigset_t previous;
    posix::blockInterrupts(&previous);
    if (temporaryExists) unlinkat(temporaryFolder, temporaryName, 0);
    temporaryExists = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (temporaryFolder >= 0) close(temporaryFolder);
    temporaryFolder = -1;
}
