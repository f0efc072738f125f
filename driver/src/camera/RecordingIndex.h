// The bookmark index a recorder builds from the bytes it writes into a RAW recording, and
// saves beside the recording when it stops, so that a fresh recording opens in the reader
// without a scan of the whole file.
//
// The index is the reader's own (IndexBuilder, IndexFiles), built over the same bytes the
// reader would scan: the data after the recorder's header, on the geometry that header
// names. It is written only when the file on disk is exactly the header and the bytes given;
// the reader checks both files against the recording anyway and rebuilds them when they do
// not fit. Nothing about the index ever fails a recording: a recording without one is
// indexed by the reader the first time it is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vireo {

namespace detail {
class IndexBuilder;
}

class RecordingIndex {
public:
    // The index of a recording whose data begins after `headerBytes` bytes of the header
    // rawFileHeader writes.
    explicit RecordingIndex(uint64_t headerBytes);
    ~RecordingIndex();
    RecordingIndex(const RecordingIndex&) = delete;
    RecordingIndex& operator=(const RecordingIndex&) = delete;

    // The recording's next data bytes, in file order, in pieces of any size. When the index
    // cannot grow (out of memory) it is given up, logged: the recording goes on without it.
    void add(const uint8_t* bytes, size_t size);

    // Finishes the index and writes it and its companion beside `recordingPath`, when that
    // file is now exactly the header and the bytes given. False otherwise and when a file
    // cannot be written (logged at warning level, the reason at error level by the writer);
    // no index file is then left beside the recording. The index is spent afterwards.
    bool writeBeside(const std::string& recordingPath);

    uint64_t headerSize() const { return headerBytes; }

private:
    std::unique_ptr<detail::IndexBuilder> builder;  // absent once given up or spent
    uint64_t headerBytes;
};

// Removes the index and companion files beside `recordingPath` (regular files only): a
// recording written anew without its own index must not keep the one of the file it
// replaced, which could fit its size and be trusted.
void removeIndexFiles(const std::string& recordingPath);

}  // namespace vireo
