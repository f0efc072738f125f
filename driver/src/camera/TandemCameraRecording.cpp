// TandemCamera recording: events to a RAW file and frames to an MP4 file, each written by its
// own record thread from buffers the camera's threads hand over.
//
// Locking: eventRecordMutex guards the raw queue, the current raw buffer and the stop
// request; frameRecordMutex the NV12 and time queues, the offset and its stop request. The
// record threads hold their mutex only to take the queued buffers, so the camera's threads
// never wait for a write or an encode. Every wait has a predicate: a wake-up that comes
// before the wait cannot be missed.
#include <vireo/TandemCamera.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <vireo/Logger.h>

#include "camera/FileSink.h"
#include "camera/RawFileHeader.h"
#include "camera/RecordingIndex.h"

namespace vireo {

namespace {

constexpr int64_t kFrameStep_us = 33333;

// `path` up to its last '.', when that dot belongs to the file name.
std::string baseName(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
    return path.substr(0, dot);
}

// Writes the loss line of `header` (the one written at the start of `path`) anew with
// `lost`, in place: the header keeps its length. False when the file cannot be written.
bool patchLostBuffers(const std::string& path, const std::string& header, const std::string& serial,
                      uint64_t lost) {
    const std::string key = std::string("% ") + kLostBuffersKey + " ";
    const size_t at = header.find(key);
    const std::string patched = rawFileHeader(serial, lost);
    const size_t patchedAt = patched.find(key);
    if (at == std::string::npos || patchedAt == std::string::npos) return false;
    const size_t lineEnd = patched.find('\n', patchedAt);
    const std::string line = patched.substr(patchedAt, lineEnd - patchedAt);
    if (header.compare(at, line.size(), patched, patchedAt, line.size()) == 0) return true;
    if (header.find('\n', at) - at != line.size()) return false;  // the line must keep its length
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::pwrite(fd, line.data(), line.size(), static_cast<off_t>(at)) ==
                    static_cast<ssize_t>(line.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace

int64_t TandemCamera::frameVideoTime(uint64_t syncTimestamp, uint64_t offset, bool first, int64_t previous) {
    if (first) return 0;
    if (syncTimestamp >= offset) {
        const auto time = static_cast<int64_t>(syncTimestamp - offset);
        if (time > previous) return time;
    }
    return previous + kFrameStep_us;
}

int TandemCamera::startRecording(std::string path, STREAM_TYPE type) {
    std::lock_guard<std::mutex> control(recordControlMutex);
    const std::string base = baseName(path);
    if (type == STREAM_DVS) return startEventRecording(base + ".raw");
    if (type == STREAM_APS) return startFrameRecording(base + ".mp4");
    if (startFrameRecording(base + ".mp4") != 0) {
        VIREO_LOG_INFO("Start Recording APS Stream Failed.");
        return -1;
    }
    if (startEventRecording(base + ".raw") != 0) {
        VIREO_LOG_INFO("Start Recording DVS Stream Failed.");
        // Both streams or neither: the video just begun goes again.
        stopFrameRecording();
        std::error_code ignored;
        std::filesystem::remove(base + ".mp4", ignored);
        return -1;
    }
    return 0;
}

int TandemCamera::stopRecording(STREAM_TYPE type) {
    std::lock_guard<std::mutex> control(recordControlMutex);
    int result = 0;
    if (type == STREAM_DVS || type == STREAM_BOTH) {
        if (stopEventRecording() != 0) result = -1;
    }
    if (type == STREAM_APS || type == STREAM_BOTH) {
        if (stopFrameRecording() != 0) result = -1;
    }
    return result;
}

bool TandemCamera::isRecording(STREAM_TYPE type) const {
    const bool events = eventRecording.load() && !eventRecordFailed.load();
    const bool frames = frameRecording.load() && !frameRecordFailed.load();
    if (type == STREAM_DVS) return events;
    if (type == STREAM_APS) return frames;
    return events && frames;
}

std::string TandemCamera::recordingError() const {
    std::lock_guard<std::mutex> lock(recordErrorMutex);
    if (eventRecordError.empty() || frameRecordError.empty()) return eventRecordError + frameRecordError;
    return eventRecordError + "; " + frameRecordError;
}

int TandemCamera::startEventRecording(const std::string& path) {
    if (eventRecording.load() && eventRecordFailed.load()) {
        // The recording that a full disk stopped is written as it stands before the next begins.
        VIREO_LOG_WARN("Camera %s: ending the stopped recording %s before recording %s", desc.serial.c_str(),
                       eventRecordPath.c_str(), path.c_str());
        stopEventRecording();
    }
    if (eventRecording.load() || eventRecordThread.joinable()) {
        VIREO_LOG_INFO("Do not save again while saving.");
        return -1;
    }
    eventRecordFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (eventRecordFd < 0) {
        VIREO_LOG_ERROR("Unable to open %s for writing: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    const std::string header = rawFileHeader(desc.serial);
    eventRecordHeader = header;
    if (!sinkWrite(eventRecordFd, header.data(), header.size(), writeFault.get())) {
        VIREO_LOG_ERROR("Unable to write %s: %s", path.c_str(), std::strerror(errno));
        ::close(eventRecordFd);
        eventRecordFd = -1;
        std::error_code ignored;  // a file without its header is no recording
        std::filesystem::remove(path, ignored);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(eventRecordMutex);
        rawBufferPool = std::make_shared<ObjectPool<RawBuffer, 1>>(0, false, 0);
        currentRawBuffer.reset();
        eventRecordQueue.clear();
        eventRecordStopping = false;
        eventRecordFailed = false;
        rawBytesDropped = 0;
        eventRecordLossBase = (dvsSensor ? dvsSensor->droppedBuffers() : 0) + recordingLostBuffers.load();
        lastEventRecordLost = 0;
        {
            std::lock_guard<std::mutex> errors(recordErrorMutex);
            eventRecordError.clear();
        }
        eventRecordPath = path;
        eventRecordIndex = std::make_unique<RecordingIndex>(header.size());
        eventRecording = true;
    }
    eventRecordThread = std::thread(&TandemCamera::eventRecordLoop, this);
    return 0;
}

void TandemCamera::saveEventData(const std::vector<uint8_t>& data) {
    const size_t handOver = static_cast<size_t>(dvsWidth) * dvsHeight * 10;
    std::lock_guard<std::mutex> lock(eventRecordMutex);
    // A recording stopped by a full disk collects nothing more.
    if (!eventRecording.load() || eventRecordStopping || eventRecordFailed.load()) return;
    if (!currentRawBuffer) {
        currentRawBuffer = rawBufferPool->tryAcquire(kMaxRawBuffers);
        if (!currentRawBuffer) {
            if (rawBytesDropped.load() == 0) {
                VIREO_LOG_WARN("Camera %s: recording %s falls behind the camera: raw data dropped",
                               desc.serial.c_str(), eventRecordPath.c_str());
            }
            rawBytesDropped += data.size();
            ++recordingLostBuffers;
            recordingLostBytes += data.size();
            return;
        }
        currentRawBuffer->clear();
        // Room for the transfer that crosses the hand-over size, so the buffer never moves.
        currentRawBuffer->reserve(handOver + data.size());
    }
    currentRawBuffer->insert(currentRawBuffer->end(), data.begin(), data.end());
    if (currentRawBuffer->size() > handOver) {
        eventRecordQueue.push_back(std::move(currentRawBuffer));
        currentRawBuffer.reset();
        eventRecordCond.notify_one();
    }
}

void TandemCamera::eventRecordLoop() {
    for (;;) {
        std::deque<std::shared_ptr<RawBuffer>> batch;
        {
            std::unique_lock<std::mutex> lock(eventRecordMutex);
            eventRecordCond.wait(lock, [&] { return !eventRecordQueue.empty() || eventRecordStopping; });
            batch.swap(eventRecordQueue);
            if (batch.empty()) break;  // stopping, and everything is written
        }
        for (auto& buffer : batch) {
            if (!eventRecordFailed.load()) {
                if (!sinkWrite(eventRecordFd, buffer->data(), buffer->size(), writeFault.get())) {
                    const int failure = errno;
                    // What reached the file stays readable: a torn last word goes.
                    const uint64_t kept = trimToWholeWords(eventRecordFd, eventRecordIndex->headerSize());
                    {
                        std::lock_guard<std::mutex> errors(recordErrorMutex);
                        eventRecordError = "recording " + eventRecordPath + " stopped: writing it failed after " +
                                           std::to_string(kept) + " bytes: " + std::strerror(failure);
                    }
                    eventRecordFailed = true;
                    VIREO_LOG_ERROR("Camera %s: %s; the camera goes on streaming, the file keeps what was written",
                                    desc.serial.c_str(), recordingError().c_str());
                } else {
                    eventRecordIndex->add(buffer->data(), buffer->size());
                }
            }
            buffer->clear();
            buffer.reset();  // back to the pool
        }
    }
}

int TandemCamera::stopEventRecording() {
    {
        std::lock_guard<std::mutex> lock(eventRecordMutex);
        if (!eventRecording.load()) return 0;
        eventRecording = false;
        // The latest events, short of a full buffer, belong to the recording too.
        if (currentRawBuffer && !currentRawBuffer->empty()) eventRecordQueue.push_back(std::move(currentRawBuffer));
        currentRawBuffer.reset();
        eventRecordStopping = true;
    }
    eventRecordCond.notify_all();
    if (eventRecordThread.joinable()) eventRecordThread.join();
    const bool closed = eventRecordFd < 0 || ::close(eventRecordFd) == 0;
    eventRecordFd = -1;
    bool written = closed && !eventRecordFailed.load();
    rawBufferPool.reset();
    // The header written at the start says nothing was lost; a loss is written over its
    // zeros, at the same length, so the data and the index's offsets stay where they are.
    const uint64_t lost = eventLossSinceRecordStart();
    lastEventRecordLost = lost;
    if (lost > 0) {
        VIREO_LOG_WARN("Camera %s: recording %s lost %llu of the camera's buffers (the host or the disk fell "
                       "behind); its header's \"%% %s\" line says so",
                       desc.serial.c_str(), eventRecordPath.c_str(), static_cast<unsigned long long>(lost),
                       kLostBuffersKey);
        if (!patchLostBuffers(eventRecordPath, eventRecordHeader, desc.serial, lost)) {
            VIREO_LOG_ERROR("Camera %s: the loss could not be written into the header of %s", desc.serial.c_str(),
                            eventRecordPath.c_str());
            written = false;
        }
    }
    // Bytes dropped for want of a buffer never reached the file nor the index: the index
    // still describes the file as it is. A file not written whole gets none, and loses the
    // one of the file it replaced.
    if (written) {
        eventRecordIndex->writeBeside(eventRecordPath);
    } else {
        removeIndexFiles(eventRecordPath);
    }
    eventRecordIndex.reset();
    if (rawBytesDropped.load() > 0) {
        VIREO_LOG_WARN("Camera %s: recording %s lost %llu bytes of raw data: the disk could not keep up",
                       desc.serial.c_str(), eventRecordPath.c_str(),
                       static_cast<unsigned long long>(rawBytesDropped.load()));
    }
    if (!written) {
        VIREO_LOG_ERROR("Camera %s: recording %s could not be written whole", desc.serial.c_str(),
                        eventRecordPath.c_str());
        return -1;
    }
    return 0;
}

int TandemCamera::startFrameRecording(const std::string& path) {
    if (frameRecording.load() && frameRecordFailed.load()) {
        VIREO_LOG_WARN("Camera %s: ending the stopped recording %s before recording %s", desc.serial.c_str(),
                       mp4Path.c_str(), path.c_str());
        stopFrameRecording();
    }
    if (frameRecording.load() || frameRecordThread.joinable()) {
        VIREO_LOG_INFO("Do not save again while saving.");
        return -1;
    }
    // The encoder is opened here, not on the record thread, so that a file that cannot be
    // created is reported by startRecording.
    auto converter = std::make_shared<DataToVideoConverter>();
    converter->setConverterFrameSize(static_cast<int32_t>(apsHeight), static_cast<int32_t>(apsWidth),
                                     static_cast<int32_t>(apsHeight), static_cast<int32_t>(apsWidth));
    converter->setConverterFmt(VIDEO_PIX_FMT_NV12, VIDEO_PIX_FMT_YUV420P);
    std::error_code ignored;
    const bool existed = std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
    if (converter->initVideoConverter(path) != 0) {
        VIREO_LOG_ERROR("Video converter initialization failed, please confirm that the input file is correct.");
        // A file the encoder created before failing (a full disk refused its header) is no video.
        converter.reset();
        if (!existed) std::filesystem::remove(path, ignored);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(frameRecordMutex);
        recordConverter = std::move(converter);
        mp4Path = path;
        nv12BufferPool = std::make_shared<ObjectPool<RawBuffer, 1>>(0, false, 0);
        nv12Queue.clear();
        frameTimeQueue.clear();
        mp4Offset = 0;
        mp4OffsetSet = false;
        lastFramePts = 0;
        frameRecordStopping = false;
        frameRecordFailed = false;
        framesDropped = 0;
        {
            std::lock_guard<std::mutex> errors(recordErrorMutex);
            frameRecordError.clear();
        }
        frameRecording = true;
    }
    frameRecordThread = std::thread(&TandemCamera::frameRecordLoop, this);
    return 0;
}

void TandemCamera::saveFrameData(const std::vector<uint8_t>& nv12, uint64_t syncTimestamp) {
    const size_t frameBytes = apsSensor->frameBytes();
    std::lock_guard<std::mutex> lock(frameRecordMutex);
    if (!frameRecording.load() || frameRecordStopping || frameRecordFailed.load()) return;
    std::shared_ptr<RawBuffer> buffer = nv12BufferPool->tryAcquire(kMaxFrameBuffers);
    if (!buffer) {
        if (framesDropped.load() == 0) {
            VIREO_LOG_WARN("Camera %s: recording %s falls behind the camera: frames dropped", desc.serial.c_str(),
                           mp4Path.c_str());
        }
        ++framesDropped;
        ++recordingLostFrames;
        return;
    }
    buffer->assign(nv12.begin(), nv12.begin() + static_cast<std::ptrdiff_t>(frameBytes));
    const bool first = !mp4OffsetSet;
    if (first) {
        mp4Offset = syncTimestamp;
        mp4OffsetSet = true;
        VIREO_LOG_INFO("Mp4 offset: %lld", static_cast<long long>(mp4Offset));
    }
    lastFramePts = frameVideoTime(syncTimestamp, mp4Offset, first, lastFramePts);
    nv12Queue.push_back(std::move(buffer));
    frameTimeQueue.push_back(lastFramePts);
    frameRecordCond.notify_one();
}

void TandemCamera::frameRecordLoop() {
    for (;;) {
        std::deque<std::shared_ptr<RawBuffer>> frames;
        std::deque<int64_t> times;
        {
            std::unique_lock<std::mutex> lock(frameRecordMutex);
            frameRecordCond.wait(lock, [&] { return !nv12Queue.empty() || frameRecordStopping; });
            frames.swap(nv12Queue);
            times.swap(frameTimeQueue);
            if (frames.empty()) break;
        }
        for (size_t i = 0; i < frames.size(); ++i) {
            if (!frameRecordFailed.load()) {
                const int32_t status = recordConverter->nv12ToViedo(frames[i]->data(), times[i]);
                if (status < 0 || recordConverter->hasWriteFailed()) {
                    {
                        std::lock_guard<std::mutex> errors(recordErrorMutex);
                        frameRecordError = "recording " + mp4Path + " stopped: encoding a frame failed: " +
                                           recordConverter->getLastError();
                    }
                    frameRecordFailed = true;
                    VIREO_LOG_ERROR("Camera %s: encoding a frame into %s failed: %s", desc.serial.c_str(),
                                    mp4Path.c_str(), recordConverter->getLastError().c_str());
                }
            }
            frames[i].reset();
        }
    }
}

int TandemCamera::stopFrameRecording() {
    {
        std::lock_guard<std::mutex> lock(frameRecordMutex);
        if (!frameRecording.load()) return 0;
        frameRecording = false;
        frameRecordStopping = true;
    }
    frameRecordCond.notify_all();
    if (frameRecordThread.joinable()) frameRecordThread.join();
    recordConverter->setMetadata("comment", "event_time_offset_us=" + std::to_string(mp4Offset));
    const bool closed = recordConverter->flushAndCloseVideo() == 0;
    const bool written = closed && !frameRecordFailed.load();
    if (!closed) {
        VIREO_LOG_ERROR("Camera %s: completing %s failed: %s", desc.serial.c_str(), mp4Path.c_str(),
                        recordConverter->getLastError().c_str());
    }
    recordConverter.reset();
    nv12BufferPool.reset();
    mp4Offset = 0;
    mp4OffsetSet = false;
    if (framesDropped.load() > 0) {
        VIREO_LOG_WARN("Camera %s: recording %s lost %llu frames: the encoder could not keep up", desc.serial.c_str(),
                       mp4Path.c_str(), static_cast<unsigned long long>(framesDropped.load()));
    }
    return written ? 0 : -1;
}

}  // namespace vireo
