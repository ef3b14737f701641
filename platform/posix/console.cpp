// Standard output, and the standard handles the process starts with.
#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

// Standard handles that are closed are opened on /dev/null, so that no
// file the tool opens can take their place and receive console output.
void posix::openClosedStandardHandles() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        if (fd == 1) standardOutputFailed = true;
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}
