// Recording of the raw stream to RAW files, and the pre-trigger cache.
//
// The camera thread appends every raw buffer, before decoding, to a pooled buffer
// (prepareData2Save). The collected bytes are queued for the record thread once they span
// 100 ms of sensor (decoder) time or hold more than 10 MiB, each with the sensor time it
// spans; the record thread writes them into the open segment file. Handing over by time
// keeps the segments, and so the cache, on the sensor's clock at any data rate: by size
// alone, a slow stream filled a buffer in tens of seconds. stopRecording queues the partly
// filled buffer, lets the record thread write everything queued and end, then writes the
// RAW file: the header lines, then the segments oldest first.
//
// The cache writes segments of at most one second of sensor time (a segment ends before the
// buffer that would take it past that) and keeps, while no recording runs, as many as it
// takes to reach back `fileCacheTime` seconds: the oldest goes once the one after it begins
// that long ago. Segment names reuse the lowest free indexes, so they cycle through a small
// ring. A recording writes one segment, "the recording's file", which begins with the RAW
// header and the cache's segments from the last one that begins `fileCacheTime` seconds or
// more before startRecording (copied in when the recording's first buffer arrives), so that
// it reaches back between N and N + 1 seconds; it is never rotated, since nothing of a
// recording is dropped. stopRecording rewrites the header's date and renames that file to
// the output path, so the recorded bytes are written once. Where a rename cannot stand for
// opening the output (another file system, a device, a link, several segments kept from a
// failed stop), the file is assembled by copying, as the segments always could be.
//
// The record thread also builds the bookmark index of the recording's file (RecordingIndex)
// from every byte it puts there after the header, the cache's segments included, so that
// the reader opens a fresh recording without scanning it. The index is written beside the
// output when the recording's file became the output by the rename and nothing of it was
// lost; otherwise (assembled by copying, a segment that failed) the output gets no index,
// and the reader builds one at its first load. The stopping thread only finishes the index
// and writes it; the scan's cost stays on the record thread.
//
// The pool of raw buffers starts empty and lends a buffer whenever the camera thread needs
// one; a buffer's room is reserved, not zero-filled, so startRecording returns at once.
//
// Locking: recordMutex guards the queue, the current buffer and the changes of the two flags;
// the record thread holds it only to take the queued buffers, so the camera thread never
// waits for a file write. The segment fields (stream, name, index, times) belong to the record
// thread while it runs and to the controlling operation (serialised by recordControlMutex)
// once it has been joined; segmentListMutex lets other threads read the segment list.
#include <vireo/DvsCameraPrivate.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <vireo/Helpers.h>
#include <vireo/Logger.h>

#include "camera/FileSink.h"
#include "camera/RawFileHeader.h"
#include "camera/RecordingIndex.h"

namespace vireo {

namespace {

constexpr uint64_t kSegmentSpan_us = 1000000;
constexpr uint64_t kSecond_us = 1000000;
constexpr const char* kSegmentSuffix = "vireo.raw.tmp";
// How long the camera thread waits for a raw buffer when the record thread holds them all,
// before it drops what it cannot keep.
constexpr auto kRawBufferWait = std::chrono::milliseconds(200);
// Room above the hand-over size, so that the USB buffer that crosses 10 MiB fits without
// the vector reallocating (and copying 10 MiB) on the camera thread.
constexpr size_t kRawBufferSlack = size_t{1} << 20;

// Errors that mean the disk takes no more bytes: a recording that meets one stops.
bool diskFull(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO; }

enum class AppendResult { Ok, ReadFailed, WriteFailed };

// Appends the file `path`, from byte `skip` on, to `outFd`. The kernel copies the bytes
// itself where it can (copy_file_range); otherwise, and when `index` is to see every byte
// written, they go through a buffer.
AppendResult appendFile(int outFd, const std::string& path, WriteFault* fault, uint64_t skip = 0,
                        RecordingIndex* index = nullptr) {
    const int inFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (inFd < 0) return AppendResult::ReadFailed;
    if (skip > 0 && ::lseek(inFd, static_cast<off_t>(skip), SEEK_SET) < 0) {
        ::close(inFd);
        return AppendResult::ReadFailed;
    }
    AppendResult result = AppendResult::Ok;
    bool kernelCopy = index == nullptr;
    std::vector<char> chunk;
    if (!kernelCopy) chunk.resize(size_t{8} << 20);
    for (;;) {
        if (kernelCopy) {
            const ssize_t n = sinkCopyRange(inFd, outFd, size_t{1} << 30, fault);
            if (n > 0) continue;
            if (n == 0) break;
            if (errno == EINTR) continue;
            if (diskFull(errno)) {
                result = AppendResult::WriteFailed;
                break;
            }
            kernelCopy = false;  // not supported between these files: copy through a buffer
            chunk.resize(size_t{8} << 20);
        }
        const ssize_t n = ::read(inFd, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            result = AppendResult::ReadFailed;
            break;
        }
        if (n == 0) break;
        if (!sinkWrite(outFd, chunk.data(), static_cast<size_t>(n), fault)) {
            result = AppendResult::WriteFailed;
            break;
        }
        if (index) index->add(reinterpret_cast<const uint8_t*>(chunk.data()), static_cast<size_t>(n));
    }
    ::close(inFd);
    return result;
}

// "vireo-segments-<serial>-<process id>": one folder per camera, and per process, since two
// processes may each drive a simulated camera of the same serial from one directory.
// Characters of the serial that do not belong in a file name become '_'.
std::string defaultSegmentFolder(const std::string& serial) {
    std::string name = "vireo-segments-";
    if (serial.empty()) name += "camera";
    for (char c : serial) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           c == '-' || c == '_' || c == '.';
        name += plain ? c : '_';
    }
    return name + "-" + std::to_string(static_cast<long long>(::getpid()));
}

}  // namespace

// ---- configuration ------------------------------------------------------------------------

std::string DvsCameraPrivate::segmentFolder() const {
    return segmentDirectory.empty() ? defaultSegmentFolder(desc.serial) : segmentDirectory;
}

bool DvsCameraPrivate::setSegmentDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> control(recordControlMutex);
    if (recording.load() || caching.load() || recordThread.joinable()) {
        VIREO_LOG_ERROR("setSegmentDirectory(%s): not while a recording or the cache runs", directory.c_str());
        return false;
    }
    segmentDirectory = directory;
    return true;
}

std::string DvsCameraPrivate::getSegmentDirectory() const { return segmentFolder(); }

std::deque<std::string> DvsCameraPrivate::getSegmentFiles() const {
    std::lock_guard<std::mutex> lock(segmentListMutex);
    return segmentFiles;
}

bool DvsCameraPrivate::isRecording() const { return recording.load() && !recordWriteFailed.load(); }

std::string DvsCameraPrivate::recordingError() const {
    std::lock_guard<std::mutex> lock(recordErrorMutex);
    return recordError;
}

void DvsCameraPrivate::setWriteFault(std::shared_ptr<WriteFault> fault) {
    std::lock_guard<std::mutex> control(recordControlMutex);
    writeFault = std::move(fault);
}

void DvsCameraPrivate::failRecording(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(recordErrorMutex);
        recordError = "recording " + recordPath + " stopped: " + reason;
    }
    recordWriteFailed = true;
    VIREO_LOG_ERROR("Camera %s: %s; the camera goes on streaming, the file keeps what was written",
                    desc.serial.c_str(), recordingError().c_str());
}

std::string DvsCameraPrivate::segmentPath(uint64_t index) const {
    return (std::filesystem::path(segmentFolder()) / (std::to_string(index) + kSegmentSuffix)).string();
}

// ---- camera thread ------------------------------------------------------------------------

void DvsCameraPrivate::prepareData2Save(std::vector<uint8_t>& data) {
    // Every byte collected so far has been decoded (`data` comes next): the decoder's time is
    // where the collected bytes end.
    const uint64_t now = decoder->getLastTimestamp();
    bool handedOver = false;
    {
        std::unique_lock<std::mutex> lock(recordMutex);
        if (!recording.load() && !caching.load()) return;
        // A recording stopped by a full disk collects nothing more.
        if (recording.load() && recordWriteFailed.load()) return;
        if (!currentRawBuffer) {
            // The recording may have ended since the caller looked at the flags; its last
            // buffer has then been taken away already. Otherwise the pool ran dry: a buffer
            // given back since ends the gap.
            if (!rawBuffersStarved || !rawBufferPool) return;
            currentRawBuffer = rawBufferPool->tryAcquire(kMaxRawBuffers);
            if (!currentRawBuffer) {
                countRecordingLoss(1, data.size());
                return;
            }
            currentRawBuffer->clear();
            currentRawBufferTransfers = 0;
            rawBuffersStarved = false;
        }
        // The collected bytes go to the record thread once they span 100 ms of sensor time or
        // hold more than 10 MiB (a clock that went back ends them too). The check comes
        // before `data` joins them, so that the time they span is exact.
        const RawBuffer& collected = *currentRawBuffer;
        if (!collected.empty() && (collected.size() > kMaxRawDataBufferSize || now < currentRawBufferBegin_us ||
                                   now - currentRawBufferBegin_us >= kRawBufferSpan_us)) {
            recordQueue.push_back(
                {std::move(currentRawBuffer), currentRawBufferBegin_us, now, currentRawBufferTransfers});
            currentRawBufferTransfers = 0;
            handedOver = true;
            currentRawBuffer = rawBufferPool->tryAcquire(kMaxRawBuffers);
            if (!currentRawBuffer) {
                // The pool is bounded and the record thread holds every buffer: the camera
                // thread waits a little for one (a pause of the disk or of the record thread),
                // without the lock, so that the record thread can take the queue meanwhile.
                const std::shared_ptr<ObjectPool<RawBuffer, 1>> pool = rawBufferPool;
                const uint64_t epoch = rawBufferEpoch;
                lock.unlock();
                recordCond.notify_one();
                std::shared_ptr<RawBuffer> buffer = pool->tryAcquireFor(kMaxRawBuffers, kRawBufferWait);
                lock.lock();
                // A stop meanwhile ended what this transfer would have belonged to.
                if (epoch != rawBufferEpoch || currentRawBuffer || (!recording.load() && !caching.load())) return;
                currentRawBuffer = std::move(buffer);
            }
            if (currentRawBuffer) {
                currentRawBuffer->clear();
            } else {
                // Then this transfer and the next ones are dropped and counted, without
                // waiting again, until a buffer comes back.
                rawBuffersStarved = true;
                VIREO_LOG_WARN("Camera %s: the recording falls behind the camera (all %zu raw buffers are "
                               "queued): raw data dropped",
                               desc.serial.c_str(), kMaxRawBuffers);
                countRecordingLoss(1, data.size());
            }
        }
        if (currentRawBuffer) {
            RawBuffer& buffer = *currentRawBuffer;
            if (buffer.empty()) currentRawBufferBegin_us = now;
            if (buffer.size() + data.size() > buffer.capacity()) {
                // Room for a whole buffer at once: growing step by step would copy the
                // collected bytes.
                buffer.reserve(
                    std::max<size_t>(buffer.size() + data.size(), kMaxRawDataBufferSize + kRawBufferSlack));
            }
            buffer.insert(buffer.end(), data.begin(), data.end());
            ++currentRawBufferTransfers;
        }
    }
    if (handedOver) recordCond.notify_one();
}

void DvsCameraPrivate::countRecordingLoss(uint64_t transfers, uint64_t bytes) {
    recordingLostBuffers.fetch_add(transfers);
    recordingLostBytes.fetch_add(bytes);
}

uint64_t DvsCameraPrivate::lossSinceRecordStart() const {
    const uint64_t now = (sensor ? sensor->droppedBuffers() : 0) + recordingLostBuffers.load();
    const uint64_t base = recordLossBase.load();
    return now > base ? now - base : 0;
}

uint64_t DvsCameraPrivate::getRecordingLostBuffers() const {
    return recording.load() ? lossSinceRecordStart() : lastRecordingLost.load();
}

// ---- record thread ------------------------------------------------------------------------

bool DvsCameraPrivate::openSegment(uint64_t index, uint64_t begin_us) {
    segmentIndex = index;
    highestSegmentIndex = std::max(highestSegmentIndex, index);
    segmentName = segmentPath(index);
    {
        std::lock_guard<std::mutex> lock(segmentListMutex);
        segmentFiles.push_back(segmentName);
    }
    failedSegments.erase(segmentName);
    segmentBegins[segmentName] = begin_us;
    segmentStartTimestamp = begin_us;
    std::error_code ignored;
    std::filesystem::create_directories(segmentFolder(), ignored);
    segmentFd = ::open(segmentName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    segmentWriteFailed = false;
    segmentOpen = true;
    segmentIsRecordFile = false;
    if (segmentFd < 0) {
        VIREO_LOG_ERROR("Unable to open %s for writing: %s", segmentName.c_str(), std::strerror(errno));
        failedSegments.insert(segmentName);
        return false;
    }
    return true;
}

void DvsCameraPrivate::closeSegment() {
    const bool closed = segmentFd < 0 || ::close(segmentFd) == 0;
    const bool opened = segmentFd >= 0;
    segmentFd = -1;
    if (opened && !closed && !failedSegments.count(segmentName)) {
        VIREO_LOG_ERROR("Failed writing %s", segmentName.c_str());
        failedSegments.insert(segmentName);
    }
    segmentOpen = false;
    segmentIsRecordFile = false;
}

uint64_t DvsCameraPrivate::freeSegmentIndex() const {
    std::lock_guard<std::mutex> lock(segmentListMutex);
    for (uint64_t index = segmentIndexBase;; ++index) {
        const std::string name = segmentPath(index);
        if (std::find(segmentFiles.begin(), segmentFiles.end(), name) == segmentFiles.end()) return index;
    }
}

void DvsCameraPrivate::dropStaleCacheSegments(uint64_t now_us, uint64_t span_us) {
    if (span_us == 0) return;
    // A segment goes once the one after it begins `span_us` or more before `now_us`: a
    // recording started now would begin with that one and still reach back far enough. The
    // segments kept from a recording whose output failed are not the cache's to drop; a
    // segment that begins after `now_us` comes from before a reset of the sensor's clock and
    // cannot be placed in time any more.
    auto beginOf = [&](const std::string& name) {
        const auto found = segmentBegins.find(name);
        return found == segmentBegins.end() ? now_us : found->second;
    };
    std::lock_guard<std::mutex> lock(segmentListMutex);
    while (segmentFiles.size() > keptSegments + 1) {
        const std::string oldest = segmentFiles[keptSegments];
        if (recordFileHeaders.count(oldest)) break;  // an earlier recording's own file stays
        const uint64_t nextBegin = beginOf(segmentFiles[keptSegments + 1]);
        const bool stale = beginOf(oldest) > now_us || (nextBegin <= now_us && now_us - nextBegin >= span_us);
        if (!stale) break;
        segmentFiles.erase(segmentFiles.begin() + static_cast<std::ptrdiff_t>(keptSegments));
        failedSegments.erase(oldest);
        segmentBegins.erase(oldest);
        VIREO_LOG_INFO("over buffer: %s", oldest.c_str());
        std::error_code ignored;
        std::filesystem::remove(oldest, ignored);
    }
}

void DvsCameraPrivate::rotateSegment(uint64_t now_us) {
    closeSegment();
    // The cache keeps what reaches back its cache time (the one of the recording's start
    // for the bytes collected before a recording began).
    const uint64_t span_us =
        recording.load() ? recordCacheSpan_us.load() : uint64_t{fileCacheTime.load()} * kSecond_us;
    dropStaleCacheSegments(now_us, span_us);
    openSegment(freeSegmentIndex(), now_us);
    VIREO_LOG_INFO("saveing cache file: %s", segmentName.c_str());
}

bool DvsCameraPrivate::openRecordFile() {
    const uint64_t cacheSize = fileCacheTime.load();
    bool listEmpty = false;
    {
        std::lock_guard<std::mutex> lock(segmentListMutex);
        listEmpty = segmentFiles.size() <= keptSegments;
    }
    if (segmentOpen) {
        // The open cache segment is complete: it joins the recording below.
        closeSegment();
        listEmpty = false;
    }
    // The cache leads the recording from its last segment that begins the cache time or more
    // before startRecording: between N and N + 1 seconds.
    dropStaleCacheSegments(recordStart_us.load(), recordCacheSpan_us.load());
    // A name no listed file has, past the cache's ring, and past a name that failed.
    const uint64_t index =
        std::max({listEmpty && keptSegments == 0 ? segmentIndexBase : highestSegmentIndex + 1,
                  segmentIndexBase + cacheSize, recordRetryIndex});
    segmentIndex = index;
    highestSegmentIndex = std::max(highestSegmentIndex, index);
    segmentName = segmentPath(index);
    std::error_code ignored;
    std::filesystem::create_directories(segmentFolder(), ignored);

    // The file begins with the header (its date is written again at the stop), then the
    // cache's segments; the recording's buffers follow.
    const std::string header = rawFileHeader(desc.serial);
    WriteFault* fault = writeFault.get();
    const int fd = ::open(segmentName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int failure = fd < 0 ? errno : 0;
    bool ok = fd >= 0 && sinkWrite(fd, header.data(), header.size(), fault);
    if (fd >= 0 && !ok) failure = errno;
    // A new file: the index starts over, and sees the cache's bytes as they are copied in.
    recordIndex = std::make_unique<RecordingIndex>(header.size());
    recordIndexFile = segmentName;
    std::deque<std::string> merged;
    {
        std::lock_guard<std::mutex> lock(segmentListMutex);
        merged.assign(segmentFiles.begin() + static_cast<std::ptrdiff_t>(keptSegments), segmentFiles.end());
    }
    bool dataMissing = false;
    for (const auto& name : merged) {
        if (!ok) break;
        if (recordFileHeaders.count(name)) continue;  // an earlier recording's file stays apart
        const AppendResult appended = appendFile(fd, name, fault, 0, recordIndex.get());
        ok = appended != AppendResult::WriteFailed;
        if (!ok) failure = errno;
        dataMissing |= appended == AppendResult::ReadFailed || failedSegments.count(name) > 0;
    }
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    if (!ok) {
        // The cache's segments stay listed; the next buffer tries again under the next name,
        // unless the disk is full: then the recording stops here.
        VIREO_LOG_ERROR("Unable to open %s for writing: %s", segmentName.c_str(), std::strerror(failure));
        if (diskFull(failure)) {
            failRecording("its file " + segmentName + " could not be written: " + std::strerror(failure));
        }
        if (fd >= 0) {
            std::error_code error;
            std::filesystem::remove(segmentName, error);
        }
        recordRetryIndex = index + 1;
        recordIndex.reset();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(segmentListMutex);
        for (const auto& name : merged) {
            if (recordFileHeaders.count(name)) continue;
            segmentFiles.erase(std::find(segmentFiles.begin(), segmentFiles.end(), name));
            failedSegments.erase(name);
            segmentBegins.erase(name);
            std::error_code error;
            std::filesystem::remove(name, error);
        }
        segmentFiles.push_back(segmentName);
    }
    recordFileHeaders[segmentName] = header.size();
    if (dataMissing) failedSegments.insert(segmentName);
    segmentFd = ::open(segmentName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    segmentWriteFailed = false;
    if (segmentFd < 0) {
        VIREO_LOG_ERROR("Unable to open %s for writing", segmentName.c_str());
        failedSegments.insert(segmentName);
    }
    segmentOpen = true;
    segmentIsRecordFile = true;
    segmentStartTimestamp = recordStart_us.load();
    VIREO_LOG_INFO("start save record file: %s", segmentName.c_str());
    return true;
}

void DvsCameraPrivate::writeToSegment(const QueuedRawBuffer& entry) {
    const RawBuffer& buffer = *entry.data;
    // Bytes collected before a recording with a cache began (still queued when the record
    // thread lags) are the cache's: they go through its segments, so that the recording
    // begins at the right segment boundary, N to N + 1 seconds before its start.
    const bool beforeRecording = recordCacheSpan_us.load() > 0 && entry.end_us <= recordStart_us.load();
    // A recording writes one file, which needs no rotation: nothing of it is ever dropped,
    // and at the stop it becomes the RAW file without being copied.
    // A recording that met a full disk takes nothing more: it ends as written so far.
    if (recording.load() && recordWriteFailed.load() && !beforeRecording) return;
    if (recording.load() && !(segmentOpen && segmentIsRecordFile) && !beforeRecording && !openRecordFile()) {
        VIREO_LOG_ERROR("Recording: %llu bytes could not be written",
                        static_cast<unsigned long long>(buffer.size()));
        recordDataLost = true;
        countRecordingLoss(entry.transfers, buffer.size());
        return;
    }
    if (!segmentOpen) {
        // A fresh start: the numbering begins after the segments kept from a failed output,
        // which must not be overwritten.
        bool listEmpty = false;
        {
            std::lock_guard<std::mutex> lock(segmentListMutex);
            listEmpty = segmentFiles.empty();
        }
        if (listEmpty) {
            segmentIndexBase = 0;
            highestSegmentIndex = 0;
        }
        openSegment(freeSegmentIndex(), entry.begin_us);
        VIREO_LOG_INFO("start save cache file.");
    } else if (!segmentIsRecordFile &&
               (entry.end_us < segmentStartTimestamp || entry.end_us - segmentStartTimestamp > kSegmentSpan_us)) {
        // A cache segment spans at most one second of sensor time: it ends before the buffer
        // that would take it past that (or that comes after a reset of the sensor's clock).
        rotateSegment(entry.begin_us);
    }
    bool written = false;
    if (segmentFd >= 0 && !segmentWriteFailed) {
        written = sinkWrite(segmentFd, buffer.data(), buffer.size(), writeFault.get());
        if (!written) {
            const int failure = errno;
            // What reached the file stays readable: a torn last word goes.
            const auto header = recordFileHeaders.find(segmentName);
            const uint64_t kept =
                trimToWholeWords(segmentFd, segmentIsRecordFile && header != recordFileHeaders.end() ? header->second : 0);
            VIREO_LOG_ERROR("Failed writing %s: %s", segmentName.c_str(), std::strerror(failure));
            failedSegments.insert(segmentName);
            segmentWriteFailed = true;
            if (segmentIsRecordFile) {
                failRecording("writing " + segmentName + " failed after " + std::to_string(kept) +
                              " bytes: " + std::strerror(failure));
            }
        }
    }
    if (segmentIsRecordFile && recordIndex) {
        // Indexed here, on the record thread, where the bytes are at hand once more.
        if (written) {
            recordIndex->add(buffer.data(), buffer.size());
        } else {
            recordIndex.reset();
        }
    }
    // One line per write would be ten a second: debug level (rotations stay at info).
    if (!segmentIsRecordFile) VIREO_LOG_DEBUG("save cache file: %s", segmentName.c_str());
}

void DvsCameraPrivate::recordLoop() {
    VIREO_LOG_INFO("Start recordLoop");
    std::deque<QueuedRawBuffer> taken;
    try {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(recordMutex);
                recordCond.wait(lock, [this] { return !recordQueue.empty() || recordThreadStop; });
                if (recordQueue.empty()) break;  // asked to end, and everything is written
                taken.swap(recordQueue);
            }
            // Written outside the lock: the camera thread keeps handing buffers over meanwhile.
            while (!taken.empty()) {
                writeToSegment(taken.front());
                taken.pop_front();  // back to the pool
            }
        }
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Record thread failed: %s", error.what());
        if (segmentOpen) failedSegments.insert(segmentName);
        std::lock_guard<std::mutex> lock(recordMutex);
        recordQueue.clear();
    }
    if (segmentOpen) closeSegment();
    recordThreadRunning = false;
    VIREO_LOG_INFO("Stop recordLoop");
}

// ---- control ------------------------------------------------------------------------------

void DvsCameraPrivate::startRecordThread(std::atomic<bool>& flag) {
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        // The pool starts empty and lends buffers as the camera thread needs them (their room
        // reserved on first use, not zero-filled): starting costs no time whose data would be
        // missing. The flag is raised only once the current buffer exists, so that no buffer
        // of the camera thread is turned away.
        if (!rawBufferPool) rawBufferPool = std::make_shared<ObjectPool<RawBuffer, 1>>(0, false, 0);
        if (!currentRawBuffer) {
            currentRawBuffer = rawBufferPool->acquire();
            currentRawBuffer->clear();
            currentRawBufferTransfers = 0;
            rawBuffersStarved = false;
        }
        flag = true;
    }
    // A record thread that ended on an error is joined and replaced.
    if (recordThread.joinable() && !recordThreadRunning.load()) recordThread.join();
    if (!recordThread.joinable()) {
        recordThreadRunning = true;
        recordThread = std::thread(&DvsCameraPrivate::recordLoop, this);
    }
}

void DvsCameraPrivate::endRecordThread() {
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        recordThreadStop = true;
    }
    recordCond.notify_all();
    if (recordThread.joinable()) recordThread.join();
    std::lock_guard<std::mutex> lock(recordMutex);
    recordThreadStop = false;
}

void DvsCameraPrivate::releaseRawBuffers() {
    std::lock_guard<std::mutex> lock(recordMutex);
    currentRawBuffer.reset();
    rawBuffersStarved = false;
    ++rawBufferEpoch;
    rawBufferPool.reset();
}

void DvsCameraPrivate::deleteCacheSegments() {
    std::lock_guard<std::mutex> lock(segmentListMutex);
    while (segmentFiles.size() > keptSegments) {
        const std::string name = segmentFiles.back();
        segmentFiles.pop_back();
        failedSegments.erase(name);
        segmentBegins.erase(name);
        std::error_code error;
        if (!std::filesystem::remove(name, error) && error) {
            VIREO_LOG_ERROR("Error deleting file: %s", name.c_str());
        }
    }
    if (segmentFiles.empty() && segmentDirectory.empty()) {
        std::error_code ignored;  // the default folder goes when empty; a chosen one stays
        std::filesystem::remove(segmentFolder(), ignored);
    }
}

int DvsCameraPrivate::startRecording(std::string path) {
    if (!inited) throw std::runtime_error("Camera is not inited");
    std::lock_guard<std::mutex> control(recordControlMutex);
    if (recording.load() && recordWriteFailed.load()) {
        // The recording that a full disk stopped is written as it stands before the next begins.
        VIREO_LOG_WARN("Camera %s: ending the stopped recording %s before recording %s", desc.serial.c_str(),
                       recordPath.c_str(), path.c_str());
        stopRecordingLocked();
    }
    if (recording.load()) {
        VIREO_LOG_INFO("Do not save again while saving.");
        return -1;
    }
    recordPath = std::move(path);
    recordWriteFailed = false;
    {
        std::lock_guard<std::mutex> lock(recordErrorMutex);
        recordError.clear();
    }
    // Where the stream is now, and how far back the cache is to reach from there.
    recordStart_us = decoder->getLastTimestamp();
    // The recording's loss counts from here: what the host's queue and the recording drop.
    recordLossBase = (sensor ? sensor->droppedBuffers() : 0) + recordingLostBuffers.load();
    lastRecordingLost = 0;
    recordCacheSpan_us = caching.load() ? uint64_t{fileCacheTime.load()} * kSecond_us : 0;
    startRecordThread(recording);
    return 0;
}

void DvsCameraPrivate::setFileCacheTime(unsigned short seconds) {
    std::lock_guard<std::mutex> control(recordControlMutex);
    fileCacheTime = seconds;
    if (seconds == 0) {
        if (recording.load()) {
            // The recording goes on and keeps what the cache collected.
            std::lock_guard<std::mutex> lock(recordMutex);
            caching = false;
            return;
        }
        endCacheLocked();
        return;
    }
    startRecordThread(caching);
}

void DvsCameraPrivate::endCacheLocked() {
    if (!caching.load()) return;
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        caching = false;
        currentRawBuffer.reset();  // not yet in a segment: dropped with the cache
        rawBuffersStarved = false;
        ++rawBufferEpoch;
    }
    endRecordThread();
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        recordQueue.clear();
    }
    deleteCacheSegments();
    releaseRawBuffers();
}

int DvsCameraPrivate::stopRecording() {
    if (!inited) throw std::runtime_error("Camera is not inited");
    std::lock_guard<std::mutex> control(recordControlMutex);
    return stopRecordingLocked();
}

int DvsCameraPrivate::stopRecordingLocked() {
    if (!recording.load()) return 0;
    const bool wasCaching = caching.load();
    {
        // Everything the camera delivered so far belongs to the recording, the partly filled
        // buffer too; what comes after this point does not.
        std::lock_guard<std::mutex> lock(recordMutex);
        if (currentRawBuffer && !currentRawBuffer->empty()) {
            const uint64_t now = decoder ? decoder->getLastTimestamp() : currentRawBufferBegin_us;
            recordQueue.push_back({std::move(currentRawBuffer), currentRawBufferBegin_us,
                                   std::max(now, currentRawBufferBegin_us), currentRawBufferTransfers});
        }
        currentRawBuffer.reset();
        currentRawBufferTransfers = 0;
        rawBuffersStarved = false;
        ++rawBufferEpoch;
    }
    // `recording` stays true until the queue is written, so that no rotation of the final
    // writes drops a segment as if it belonged to the cache.
    endRecordThread();
    // Everything the recording will lose is known once its queue is written: the header's
    // loss line gets this count.
    const uint64_t lost = lossSinceRecordStart();
    lastRecordingLost = lost;
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        recording = false;
        caching = false;
    }

    // A recording that got no byte of its own (stopped at once) is the cache alone: it too
    // reaches back no further than asked.
    dropStaleCacheSegments(recordStart_us.load(), recordCacheSpan_us.load());
    const int result = assembleRecording();
    if (result == 0 || keptSegments == 0) segmentStartTimestamp = 0;
    if (lost > 0) {
        VIREO_LOG_WARN("Camera %s: recording %s lost %llu of the camera's buffers (the host or the disk fell "
                       "behind); its header's \"%% %s\" line says so",
                       desc.serial.c_str(), recordPath.c_str(), static_cast<unsigned long long>(lost),
                       kLostBuffersKey);
    }

    if (wasCaching && streaming() && keptSegments == 0) {
        // The cache goes on with a new ring.
        startRecordThread(caching);
    } else {
        releaseRawBuffers();
    }
    return result;
}

DvsCameraPrivate::MoveResult DvsCameraPrivate::moveRecordFile(const std::string& name) {
    // Only onto a plain file or a free name: a device, a link or a file with other names
    // is written through, as opening it would.
    struct stat target {};
    if (::lstat(recordPath.c_str(), &target) == 0 && (!S_ISREG(target.st_mode) || target.st_nlink > 1)) {
        return MoveResult::CopyInstead;
    }
    // The header's date is the stop's and its loss line the recording's, as for an assembled
    // file; both have fixed widths, so the header keeps its length.
    const std::string header = rawFileHeader(desc.serial, lastRecordingLost.load());
    if (header.size() != recordFileHeaders[name]) return MoveResult::CopyInstead;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return MoveResult::CopyInstead;
    const bool dated = ::pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
    if (::close(fd) != 0 || !dated) return MoveResult::CopyInstead;
    if (::rename(name.c_str(), recordPath.c_str()) == 0) return MoveResult::Moved;
    if (errno == EXDEV) return MoveResult::CopyInstead;  // another file system
    return MoveResult::Failed;
}

int DvsCameraPrivate::assembleRecording() {
    std::deque<std::string> names = getSegmentFiles();
    bool outputFailed = false;
    bool moved = false;
    if (names.size() == 1 && recordFileHeaders.count(names.front())) {
        // The usual case: the recording's own file becomes the RAW file, without a copy.
        switch (moveRecordFile(names.front())) {
            case MoveResult::Moved: moved = true; break;
            case MoveResult::CopyInstead: break;
            case MoveResult::Failed:
                VIREO_LOG_ERROR("Unable to open %s for writing: %s", recordPath.c_str(), std::strerror(errno));
                outputFailed = true;
                break;
        }
    }
    bool dataMissing = recordDataLost;
    bool outputReplaced = moved;  // the output's old content is gone
    if (!moved && !outputFailed) {
        const int out = ::open(recordPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        outputFailed = out < 0;
        outputReplaced = !outputFailed;
        if (outputFailed) {
            VIREO_LOG_ERROR("Unable to open %s for writing: %s", recordPath.c_str(), std::strerror(errno));
        } else {
            const std::string header = rawFileHeader(desc.serial, lastRecordingLost.load());
            outputFailed = !sinkWrite(out, header.data(), header.size(), writeFault.get());
        }
        for (const auto& name : names) {
            if (outputFailed) break;
            const auto skip = recordFileHeaders.find(name);
            switch (appendFile(out, name, writeFault.get(), skip == recordFileHeaders.end() ? 0 : skip->second)) {
                case AppendResult::Ok: VIREO_LOG_INFO("app file: %s", name.c_str()); break;
                case AppendResult::ReadFailed:
                    VIREO_LOG_ERROR("Unable to read %s: its data is missing from %s", name.c_str(),
                                    recordPath.c_str());
                    dataMissing = true;
                    break;
                case AppendResult::WriteFailed: outputFailed = true; break;
            }
        }
        if (out >= 0 && ::close(out) != 0) outputFailed = true;
        if (outputFailed && out >= 0) {
            VIREO_LOG_ERROR("Failed writing %s: %s", recordPath.c_str(), std::strerror(errno));
        }
    }
    for (const auto& name : names) dataMissing |= failedSegments.count(name) > 0;

    // The index beside the output: the record thread's when the output is the file it
    // indexed, whole. Otherwise none, so that the reader indexes the new content rather than
    // trust the index of the file it replaced. Either way the recording stands as written.
    if (outputReplaced) {
        const bool indexed = moved && !dataMissing && recordIndex && recordIndexFile == names.front();
        if (indexed) {
            recordIndex->writeBeside(recordPath);
        } else {
            removeIndexFiles(recordPath);
        }
    }
    recordIndex.reset();
    recordIndexFile.clear();

    if (outputFailed) {
        // The segments hold the only complete copy: they stay, and lead the next recording.
        std::lock_guard<std::mutex> lock(segmentListMutex);
        keptSegments = segmentFiles.size();
        segmentIndexBase = keptSegments > 0 ? highestSegmentIndex + 1 : 0;
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(segmentListMutex);
        for (const auto& name : names) {
            std::error_code error;
            if (!moved && !std::filesystem::remove(name, error) && error) {
                VIREO_LOG_ERROR("Error deleting file: %s", name.c_str());
            }
        }
        segmentFiles.clear();
        keptSegments = 0;
        segmentIndexBase = 0;
        highestSegmentIndex = 0;
    }
    recordRetryIndex = 0;
    failedSegments.clear();
    segmentBegins.clear();
    recordFileHeaders.clear();
    recordDataLost = false;
    if (segmentDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove(segmentFolder(), ignored);
    }
    if (dataMissing) {
        if (recordWriteFailed.load()) {
            VIREO_LOG_ERROR("Recording %s is incomplete: %s", recordPath.c_str(), recordingError().c_str());
        } else {
            VIREO_LOG_ERROR("Recording %s is incomplete: a segment could not be written or read", recordPath.c_str());
        }
        return -1;
    }
    return 0;
}

int DvsCameraPrivate::shutDownRecording() {
    // Also before init: the cache may have been set up on a camera that was never opened.
    std::lock_guard<std::mutex> control(recordControlMutex);
    const int result = recording.load() ? stopRecordingLocked() : 0;
    endCacheLocked();
    if (recordThread.joinable()) endRecordThread();
    releaseRawBuffers();
    return result;
}

}  // namespace vireo
