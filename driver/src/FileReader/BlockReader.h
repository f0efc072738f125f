// Reads a byte range of a file in large blocks on a thread of its own, a few blocks ahead of
// the caller, so that a scan of the file works on one block while the next is read.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vireo::detail {

class BlockReader {
public:
    // Reads [from, to) of the file at `path` in blocks of `blockBytes`, keeping at most
    // `blocksAhead` blocks read and not yet taken.
    BlockReader(const std::string& path, uint64_t from, uint64_t to, size_t blockBytes, size_t blocksAhead = 2);
    ~BlockReader();
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;

    // The next block, valid until the next call; empty once the range is read, or when the
    // file ended early or could not be read (then `failed()`).
    std::span<const uint8_t> next();
    bool failed() const;

private:
    void readLoop();

    int fd = -1;
    uint64_t position;
    uint64_t end;
    size_t blockBytes;
    size_t blocksAhead;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> ready;  // read, in file order
    std::vector<std::vector<uint8_t>> spare;  // given back, to be filled again
    std::vector<uint8_t> current;             // the block the caller holds
    bool finished = false;                    // the reading thread is done
    bool readFailed = false;
    bool stopping = false;
    std::thread thread;
};

}  // namespace vireo::detail
