#include "BlockReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vireo::detail {

BlockReader::BlockReader(const std::string& path, uint64_t from, uint64_t to, size_t blockBytesEach,
                         size_t blocksAheadMost)
    : position(from), end(to), blockBytes(std::max<size_t>(blockBytesEach, 2)),
      blocksAhead(std::max<size_t>(blocksAheadMost, 1)) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        readFailed = true;
        finished = true;
        return;
    }
    ::posix_fadvise(fd, static_cast<off_t>(from), static_cast<off_t>(to - from), POSIX_FADV_SEQUENTIAL);
    thread = std::thread([this] { readLoop(); });
}

BlockReader::~BlockReader() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
    if (fd >= 0) ::close(fd);
}

void BlockReader::readLoop() {
    for (;;) {
        std::vector<uint8_t> block;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return stopping || ready.size() < blocksAhead; });
            if (stopping || position >= end) break;
            if (!spare.empty()) {
                block = std::move(spare.back());
                spare.pop_back();
            }
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(blockBytes, end - position));
        block.resize(want);
        size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(fd, block.data() + got, want - got, static_cast<off_t>(position + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        block.resize(got);
        std::lock_guard<std::mutex> lock(mutex);
        position += got;
        if (got > 0) ready.push_back(std::move(block));
        if (got < want) {
            // The file is shorter than when its size was taken, or unreadable.
            readFailed = true;
            break;
        }
        changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    changed.notify_all();
}

std::span<const uint8_t> BlockReader::next() {
    std::unique_lock<std::mutex> lock(mutex);
    if (current.capacity() > 0) spare.push_back(std::move(current));
    current = {};
    changed.notify_all();
    changed.wait(lock, [this] { return !ready.empty() || finished; });
    if (ready.empty()) return {};
    current = std::move(ready.front());
    ready.pop_front();
    changed.notify_all();
    return {current.data(), current.size()};
}

bool BlockReader::failed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return readFailed;
}

}  // namespace vireo::detail
