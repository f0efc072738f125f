// `Mp4FileReader`: reads frame recordings stored as MP4 (or any container FFmpeg opens)
// and delivers their frames as packed BGR24 images.
//
// `loadFile` opens the file, takes its last video stream, lists the presentation time of
// every video packet and positions at the start. `getNextFrame` then consumes one packet
// per call (at the end of the file it delivers the frames still held by the decoder, one
// per call); `getNFrame(n)` returns frame n whatever the stream's time base, by seeking to
// the key frame before it and decoding forward. Frame times are microseconds.
//
// One thread uses a reader at a time. The reader owns FFmpeg objects and an open file and
// is neither copyable nor movable; its FFmpeg structures are only forward-declared here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <vireo/ApsFileReader.h>
#include <vireo/pipit_export.h>

struct AVFormatContext;
struct AVStream;
struct AVCodec;
struct AVCodecContext;
struct SwsContext;
struct AVPacket;
struct AVFrame;

namespace vireo {

class PIPIT_EXPORT Mp4FileReader : public ApsFileReader {
public:
    // Stores the path; opens nothing.
    explicit Mp4FileReader(std::string path);
    // Closes the file and frees the decoder, scaler, frame and image.
    ~Mp4FileReader() override;
    Mp4FileReader(const Mp4FileReader&) = delete;
    Mp4FileReader& operator=(const Mp4FileReader&) = delete;

    // Opens the file and reads its stream information, takes the last video stream (false
    // when there is none), sets the size, lists the packet times, seeks back to the start
    // ("Seek frame failed!" and false when that fails), opens the decoder and the scaler to
    // BGR24. A missing file gives false silently; a folder or device, a file FFmpeg cannot
    // open or read, a stream without a usable size or a known pixel format, a codec without
    // decoder: false with an error logged that names the file. Never hands FFmpeg's scaler
    // a format it does not know (it would abort the process). Loading a reader a second
    // time reopens the file from scratch.
    bool loadFile() override;
    bool getTimeStamps(std::vector<uint64_t>& timeStamps) override;
    // Consumes the next packet of the file. For a video packet, the frames it completes are
    // decoded and the last of them is described in `frame` (data, size = width x height x
    // 3 bytes, timestamp and syncTimestamp = its presentation time in µs). True also when
    // the packet completes no frame or belongs to another stream: `frame` then keeps its
    // content. At the end of the file each call delivers one frame still held by the
    // decoder; false once none is left, or when the reader is not loaded or a frame cannot
    // be converted (no size or a pixel format the scaler does not take).
    bool getNextFrame(ApsFrame& frame) override;
    // Frame number `n` in file order: the frame whose presentation time is the n-th packet
    // time. Seeks to the key frame at or before it, flushes the decoder and decodes forward
    // to it; reading then goes on after it. False when the file ends before that frame or
    // the reader is not loaded; std::out_of_range("invalid vector subscript") for an index
    // outside [0, packet count).
    bool getNFrame(int32_t n, ApsFrame& frame) override;

    // A metadata entry of the loaded file's container ("comment", "title", ...); empty when
    // the file has none or is not loaded.
    std::string getMetadata(const std::string& key) const;
    // For a frame recording of a fusion camera: the sensor time (µs) of the video's time 0,
    // so that a frame at video time v pairs with the events at v + offset. False when the
    // file does not say (not a fusion recording, or not loaded).
    bool getEventTimeOffset(uint64_t& offset) const;

private:
    void close();
    bool deliver(AVFrame* decoded, ApsFrame& frame);
    bool receiveFrame(ApsFrame& frame, bool& delivered);

    std::string filePath;
    std::vector<uint64_t> timeStamps;
    AVFormatContext* formatContext = nullptr;
    int32_t videoStreamIndex = -1;
    AVStream* videoStream = nullptr;
    const AVCodec* decoder = nullptr;
    AVCodecContext* decoderContext = nullptr;
    SwsContext* swsContext = nullptr;
    uint8_t* imageBuffer = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    uint8_t* imageData[4] = {nullptr, nullptr, nullptr, nullptr};
    int imageLinesize[4] = {0, 0, 0, 0};
    int imageWidth = 0;
    int imageHeight = 0;
    int imagePixFmt = 3;  // AVPixelFormat of the delivered image: packed BGR24
    bool draining = false;  // the file is read to its end: the decoder gives out what it holds
};

}  // namespace vireo
