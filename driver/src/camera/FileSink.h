// How the recorders' bytes reach their files: a write(2) loop that reports how far it got,
// and the kernel's file-to-file copy. Each takes an optional WriteFault, a
// disk of limited room that a test sets on a camera: once its bytes are used up, every write
// fails with ENOSPC, as on a disk that filled up.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vireo {

class WriteFault {
public:
    // Room for `bytes` more bytes, over every file written through the fault.
    explicit WriteFault(uint64_t bytes) : room(bytes) {}

    // How many of `size` bytes fit now (taken from the room); 0 once it is used up.
    size_t take(size_t size);
    uint64_t remaining() const { return room.load(); }

private:
    std::atomic<uint64_t> room;
};

// Writes all of [data, data + size) to `fd`. False on an error (errno tells which: ENOSPC
// when `fault` ran out of room); `written`, when given, receives the bytes that reached the
// file either way.
bool sinkWrite(int fd, const void* data, size_t size, WriteFault* fault, size_t* written = nullptr);

// copy_file_range(2) from `inFd` to `outFd` at their offsets. With a fault it copies nothing
// and fails with EOPNOTSUPP, so that the caller copies through sinkWrite, which counts.
ssize_t sinkCopyRange(int inFd, int outFd, size_t size, WriteFault* fault);

// Cuts the file `fd` back to a whole number of 16-bit words after its first `from` bytes
// (its header), so that a write torn by a full disk leaves no half word at its end; the
// file's size afterwards (0 when unknown).
uint64_t trimToWholeWords(int fd, uint64_t from);

}  // namespace vireo
