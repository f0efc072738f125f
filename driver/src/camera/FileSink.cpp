#include "camera/FileSink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vireo {

size_t WriteFault::take(size_t size) {
    uint64_t left = room.load();
    for (;;) {
        const uint64_t granted = std::min<uint64_t>(left, size);
        if (room.compare_exchange_weak(left, left - granted)) return static_cast<size_t>(granted);
    }
}

bool sinkWrite(int fd, const void* data, size_t size, WriteFault* fault, size_t* written) {
    const char* at = static_cast<const char*>(data);
    size_t done = 0;
    bool ok = true;
    while (done < size) {
        const size_t allowed = fault ? fault->take(size - done) : size - done;
        if (allowed == 0) {
            errno = ENOSPC;
            ok = false;
            break;
        }
        const ssize_t n = ::write(fd, at + done, allowed);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written) *written = done;
    return ok;
}

ssize_t sinkCopyRange(int inFd, int outFd, size_t size, WriteFault* fault) {
    if (fault) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::copy_file_range(inFd, nullptr, outFd, nullptr, size, 0);
}

uint64_t trimToWholeWords(int fd, uint64_t from) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return 0;
    const auto size = static_cast<uint64_t>(info.st_size);
    if (size > from && (size - from) % 2 != 0 && ::ftruncate(fd, static_cast<off_t>(size - 1)) == 0) return size - 1;
    return size;
}

}  // namespace vireo
