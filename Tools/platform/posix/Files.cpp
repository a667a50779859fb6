// Report files on POSIX systems: the default path, what is at a path, whole
// and appended writes, the check before writing, and removal.

#include "platform/Platform.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dideverazez::platform {
namespace {

// Writes all of `text`: one write, then the rest if a signal cut it short.
bool WriteAll(int fd, const char* text, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, text + done, size - done);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

bool WriteAndClose(int fd, const char* text, std::size_t size) {
    const bool written = ::fchmod(fd, 0644) == 0 && WriteAll(fd, text, size);
    return ::close(fd) == 0 && written;
}

// "<path>.<pid>.tmp", the name a whole file is written under first; false when
// it does not fit.
bool TemporaryName(char (&name)[PATH_MAX], const char* path) {
    const int n = std::snprintf(name, sizeof name, "%s.%d.tmp", path, static_cast<int>(::getpid()));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int OpenTemporary(const char* name) {
    ::unlink(name); // a stale one, or a link planted there
    return ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// A regular file open for appending, or -1: O_NONBLOCK, so that a FIFO is
// not waited on before it is rejected.
int OpenForAppending(const char* path) {
    const int fd =
        ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat status {};
    if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

} // namespace

void ReportPath(char* buffer, std::size_t size) {
    std::snprintf(buffer, size, "/tmp/allocator_%d.txt", static_cast<int>(CurrentProcessId()));
}

PathKind KindOfPath(const char* path) {
    struct stat status {};
    if (::lstat(path, &status) != 0) {
        return errno == ENOENT ? PathKind::Absent : PathKind::Other;
    }
    return S_ISREG(status.st_mode) ? PathKind::Regular : PathKind::Other;
}

bool WriteWholeFile(const char* path, const char* text, std::size_t size) {
    if (KindOfPath(path) == PathKind::Other) {
        errno = EINVAL;
        return false;
    }
    char temporary[PATH_MAX];
    if (!TemporaryName(temporary, path)) {
        return false;
    }
    const int fd = OpenTemporary(temporary);
    if (fd < 0) {
        return false;
    }
    if (!WriteAndClose(fd, text, size) || ::rename(temporary, path) != 0) {
        const int error = errno;
        ::unlink(temporary);
        errno = error;
        return false;
    }
    return true;
}

bool AppendToFile(const char* path, const char* text, std::size_t size) {
    const int fd = OpenForAppending(path);
    return fd >= 0 && WriteAndClose(fd, text, size);
}

bool CanWriteFile(const char* path, bool append) {
    char temporary[PATH_MAX];
    if (!append && !TemporaryName(temporary, path)) {
        return false;
    }
    const int fd = append ? OpenForAppending(path) : OpenTemporary(temporary);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    if (!append) {
        ::unlink(temporary);
    }
    return true;
}

void RemoveFile(const char* path) {
    if (KindOfPath(path) == PathKind::Regular) {
        ::unlink(path);
    }
}

} // namespace dideverazez::platform
