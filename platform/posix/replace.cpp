// The safe replace: a temporary beside the output, given the output's
// owner, group, permissions and attributes, then moved over it in one step.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

namespace {

// A buffer on the C heap that grows to the size the system asks for:
// attribute names and values, and ACLs, have no size limit of their own.
struct GrowingBuffer {
    char* data;
    size_t capacity;
    void init() {
        data = nullptr;
        capacity = 0;
    }
    void release() {
        free(data);
        init();
    }
    bool reserve(size_t size) {
        if (size <= capacity) return true;
        char* grown = static_cast<char*>(realloc(data, size));
        if (!grown) return false;
        data = grown;
        capacity = size;
        return true;
    }
};

// Reads what `query` (a call shaped like getxattr or listxattr) gives into
// the buffer, asking for the size first and again where it grew between
// the two calls. Returns the length, or -1 with errno set.
template <typename Query>
ssize_t readGrowing(GrowingBuffer* buffer, Query query) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        ssize_t size = query(nullptr, 0);
        if (size <= 0) return size;
        if (!buffer->reserve(static_cast<size_t>(size))) {
            errno = ENOMEM;
            return -1;
        }
        ssize_t got = query(buffer->data, buffer->capacity);
        if (got >= 0 || errno != ERANGE) return got;
    }
    errno = ERANGE;
    return -1;
}

const char aclName[] = "system.posix_acl_access";

// The target's access ACL; length 0 where it has none (or its file system
// keeps none), -1 on failure.
ssize_t readAcl(const char* target, GrowingBuffer* acl) {
    ssize_t length = readGrowing(acl, [&](char* d, size_t n) { return getxattr(target, aclName, d, n); });
    return length < 0 && (errno == ENODATA || errno == ENOTSUP) ? 0 : length;
}

// Gives the new, still empty temporary what the target has that the
// temporary can hold before it is complete: the owner and the group, and
// the user's attributes (user.*). The ACL follows at the end, since it
// opens the file to others. False where any of it cannot be kept: the
// temporary then cannot take the target's place.
bool keepOwnerAndAttributes(int fd, const char* target) {
    struct stat info, now;
    if (stat(target, &info) != 0) return errno == ENOENT;
    if (fstat(fd, &now) != 0) return false;
    // Only root may give a file away, and only a member of a group may
    // give it that group: anyone else would hand the file to their own
    // group (and its rights with it).
    if ((now.st_uid != info.st_uid || now.st_gid != info.st_gid) && fchown(fd, info.st_uid, info.st_gid) != 0)
        return false;
    GrowingBuffer names, value;
    names.init();
    value.init();
    ssize_t listed = readGrowing(&names, [&](char* d, size_t n) { return listxattr(target, d, n); });
    bool kept = listed >= 0 || errno == ENOTSUP;
    for (ssize_t at = 0; kept && at < listed; at += static_cast<ssize_t>(strlen(names.data + at)) + 1) {
        const char* name = names.data + at;
        if (strncmp(name, "user.", 5) == 0) {
            ssize_t length = readGrowing(&value, [&](char* d, size_t n) { return getxattr(target, name, d, n); });
            kept = length >= 0 && fsetxattr(fd, name, value.data, static_cast<size_t>(length), 0) == 0;
        } else if (strncmp(name, "system.", 7) == 0) {
            // An access ACL is set at the end; a default ACL belongs to
            // folders. Any other system attribute is an access list of
            // another kind (NFSv4), which a new file would not have.
            kept = strcmp(name, aclName) == 0 || strcmp(name, "system.posix_acl_default") == 0;
        }
        // Security labels, capabilities and trusted.* belong to the system
        // and are never copied.
    }
    names.release();
    value.release();
    return kept;
}

// Whether the target belongs to another user in a sticky folder that is
// not the running user's: the system refuses to replace such a file.
bool isOthersInStickyFolder(const char* target) {
    struct stat file, folder;
    return stat(target, &file) == 0 && fstat(temporaryFolder, &folder) == 0 && (folder.st_mode & S_ISVTX) &&
           file.st_uid != geteuid() && folder.st_uid != geteuid();
}

// Removes the temporary while interrupts are held back, and closes its
// folder.
void removeTemporary() {
    sigset_t previous;
    posix::blockInterrupts(&previous);
    if (temporaryExists) unlinkat(temporaryFolder, temporaryName, 0);
    temporaryExists = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (temporaryFolder >= 0) close(temporaryFolder);
    temporaryFolder = -1;
}

}  // namespace

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
            if (keepOwnerAndAttributes(fd, target)) {
                *file = static_cast<PlatformFile>(fd) + 1;
                return true;
            }
            // A replace would give the output another owner or group, or
            // drop what it holds: the output is written in place instead;
            // but never another user's file in a sticky folder (/tmp),
            // which that user could have put there for this run to fill.
            close(fd);
            *noTemporary = !isOthersInStickyFolder(target);
            removeTemporary();
            return false;
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

bool platformSetOutputPermissions(PlatformFile file, const char* target) {
    int fd = static_cast<int>(file - 1);
    struct stat info, now;
    mode_t mode;
    bool exists = stat(target, &info) == 0;
    // A look that failed tells nothing: only a target known to be absent
    // gets the mode of a new file.
    if (!exists && errno != ENOENT) return false;
    if (exists) {
        // Owner and group were given at creation; they are given again
        // where the target's changed meanwhile, and a failure fails the run.
        if (fstat(fd, &now) != 0) return false;
        if ((now.st_uid != info.st_uid || now.st_gid != info.st_gid) && fchown(fd, info.st_uid, info.st_gid) != 0)
            return false;
        mode = info.st_mode & 0777;
        // A default ACL of the folder gave the new file an ACL of its own;
        // the target's, if any, takes its place, whole or not at all.
        GrowingBuffer acl;
        acl.init();
        ssize_t length = readAcl(target, &acl);
        bool kept = length > 0 ? fsetxattr(fd, aclName, acl.data, static_cast<size_t>(length), 0) == 0
                               : length == 0 && (fremovexattr(fd, aclName) == 0 || errno == ENODATA ||
                                                 errno == ENOTSUP);
        acl.release();
        if (!kept) return false;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    // The permission bits go last: setting an ACL sets them too, and the
    // group's bits are then the ACL's mask, as they were on the target.
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
    bool attempted = !posix::finalStepInterrupted();
    bool moved = attempted && renameat(temporaryFolder, temporaryName, temporaryFolder, base) == 0;
    // A sticky folder (/tmp) refuses to replace another user's file.
    *refused = attempted && !moved && (errno == EPERM || errno == EACCES);
    if (moved) {
        temporaryExists = 0;
        close(temporaryFolder);
        temporaryFolder = -1;
    }
    posix::endFinalStep(moved);
    return moved;
}

void platformRemoveTemporary() {
    removeTemporary();
}
