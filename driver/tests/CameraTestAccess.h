// White-box access to a camera's pipeline and recording state for the camera tests: the
// batch buffers, the decoder callbacks, and the recorder's pool of raw buffers. One
// definition for every test file (DvsCameraPrivate names this struct its friend).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include <vireo/DvsCameraPrivate.h>

#include "../src/camera/FileSink.h"

namespace vireo {

struct DvsCameraPrivateTestAccess {
    static void inject(DvsCameraPrivate& camera, const std::vector<Event2D>& events) {
        camera.eventStreamArrvied(events.data(), events.data() + events.size());
    }
    static const std::vector<Event2D>& countReady(DvsCameraPrivate& c) { return c.batcher.countBatchReady; }
    static const std::vector<Event2D>& countFilling(DvsCameraPrivate& c) { return c.batcher.countBatchFilling; }
    static uint64_t countBatches(DvsCameraPrivate& c) { return c.batcher.countBatchSerial; }
    static const std::vector<Event2D>& timeReady(DvsCameraPrivate& c) { return c.batcher.timeBatchReady; }
    static const std::vector<Event2D>& timeFilling(DvsCameraPrivate& c) { return c.batcher.timeBatchFilling; }
    static uint64_t timeBatches(DvsCameraPrivate& c) { return c.batcher.timeBatchSerial; }
    static uint64_t batchEventsNum(DvsCameraPrivate& c) { return c.batcher.batchEventsNum; }

    // Raw buffers idle in the recorder's pool (0 when there is no pool).
    static std::size_t idleRawBuffers(DvsCameraPrivate& c) {
        std::lock_guard<std::mutex> lock(c.recordMutex);
        return c.rawBufferPool ? c.rawBufferPool->idleCount() : 0;
    }
    // Raw buffers the recorder's pool has made so far (0 when there is no pool).
    static std::size_t createdRawBuffers(DvsCameraPrivate& c) {
        std::lock_guard<std::mutex> lock(c.recordMutex);
        return c.rawBufferPool ? c.rawBufferPool->createdCount() : 0;
    }
    // The lock the record thread takes before it opens a recording's file: held by a test, it
    // stalls the record thread as a disk that does not answer would.
    static std::mutex& segmentListLock(DvsCameraPrivate& c) { return c.segmentListMutex; }
    // Bytes held by the buffer that collects the raw stream now (0 when there is none).
    static std::size_t currentRawBufferBytes(DvsCameraPrivate& c) {
        std::lock_guard<std::mutex> lock(c.recordMutex);
        return c.currentRawBuffer ? c.currentRawBuffer->size() : 0;
    }
    // The recorder's files get room for `bytes` more bytes, as on a disk about to fill up
    // (nullptr: no limit). Only while no recording or cache runs.
    static void limitDisk(DvsCameraPrivate& c, std::shared_ptr<WriteFault> fault) { c.setWriteFault(std::move(fault)); }
};

}  // namespace vireo
