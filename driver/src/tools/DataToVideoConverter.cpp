// DataToVideoConverter: FFmpeg's H.264 encoder and MP4 muxer behind a small image-in,
// file-out interface, with the software scaler converting the caller's pixel format to the
// encoder's. Every FFmpeg object is owned here and freed by flushAndCloseVideo or the
// destructor, whichever comes first.
#include <vireo/DataToVideoConverter.h>

#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <vireo/Logger.h>

#include "tools/FfmpegSupport.h"

namespace vireo {

static_assert(static_cast<int>(VIDEO_PIX_FMT_YUV420P) == static_cast<int>(AV_PIX_FMT_YUV420P));
static_assert(static_cast<int>(VIDEO_PIX_FMT_BGR24) == static_cast<int>(AV_PIX_FMT_BGR24));
static_assert(static_cast<int>(VIDEO_PIX_FMT_NV12) == static_cast<int>(AV_PIX_FMT_NV12));

namespace {

constexpr int64_t kFrameDuration = 33333;     // µs between frames at 30 frames per second
constexpr int64_t kBitRate = 60000000;        // bits per second
constexpr int kFrameAlignment = 32;           // bytes, for the frame buffers
constexpr const char* kPreset = "ultrafast";  // x264 speed preset

using detail::ffmpegError;
using detail::knownPixelFormat;
using detail::pixelFormatName;

// Whether the scaler can convert between the two formats at these sizes.
bool scalable(int srcFormat, int srcWidth, int srcHeight, int dstFormat, int dstWidth, int dstHeight) {
    return srcWidth > 0 && srcHeight > 0 && dstWidth > 0 && dstHeight > 0 && detail::scalerTakes(srcFormat) &&
           detail::scalerGives(dstFormat);
}

// A frame of `format` and size with its own pixel buffers; null (logged) when either
// allocation fails.
AVFrame* allocateFrame(int format, int width, int height) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        VIREO_LOG_ERROR("Could not allocate video frame");
        return nullptr;
    }
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, kFrameAlignment) < 0) {
        VIREO_LOG_ERROR("Could not allocate the video frame data");
        av_frame_free(&frame);
        return nullptr;
    }
    return frame;
}

}  // namespace

DataToVideoConverter::DataToVideoConverter() = default;

DataToVideoConverter::~DataToVideoConverter() { freeAll(); }

void DataToVideoConverter::freeAll() {
    // An output whose trailer was never written is closed as it stands: the file is left
    // incomplete, which is what an interrupted recording looks like.
    if (formatContext != nullptr && fileOpened) avio_closep(&formatContext->pb);
    fileOpened = false;
    av_frame_free(&dstFrame);
    av_frame_free(&srcFrame);
    av_packet_free(&packet);
    avcodec_free_context(&codecContext);
    avformat_free_context(formatContext);
    formatContext = nullptr;
    stream = nullptr;
    sws_freeContext(swsContext);
    swsContext = nullptr;
}

void DataToVideoConverter::setConverterFrameSize(int32_t srcHeight_, int32_t srcWidth_, int32_t dstHeight_,
                                                 int32_t dstWidth_) {
    srcHeight = srcHeight_;
    srcWidth = srcWidth_;
    dstHeight = dstHeight_;
    dstWidth = dstWidth_;
}

void DataToVideoConverter::setConverterFmt(int srcFormat_, int dstFormat_) {
    sws_freeContext(swsContext);
    swsContext = nullptr;
    if (scalable(srcFormat_, srcWidth, srcHeight, dstFormat_, dstWidth, dstHeight)) {
        swsContext = sws_getContext(srcWidth, srcHeight, static_cast<AVPixelFormat>(srcFormat_), dstWidth, dstHeight,
                                    static_cast<AVPixelFormat>(dstFormat_), SWS_POINT, nullptr, nullptr, nullptr);
    }
    srcFormat = srcFormat_;
    dstFormat = dstFormat_;
    scalerSizes[0] = srcWidth;
    scalerSizes[1] = srcHeight;
    scalerSizes[2] = dstWidth;
    scalerSizes[3] = dstHeight;
}

// The frames, the scaler and the encoder were made for the sizes and formats in force now:
// images are copied and scaled by these numbers, so a change after initialisation would
// run past the frames' buffers.
bool DataToVideoConverter::framesMatchSettings() const {
    return srcFrame->format == srcFormat && srcFrame->width == srcWidth && srcFrame->height == srcHeight &&
           dstFrame->format == dstFormat && dstFrame->width == dstWidth && dstFrame->height == dstHeight &&
           scalerSizes[0] == srcWidth && scalerSizes[1] == srcHeight && scalerSizes[2] == dstWidth &&
           scalerSizes[3] == dstHeight;
}

// Whether an image of source format `format` can be encoded now; logs why not.
bool DataToVideoConverter::readyForImage(int format, const char* formatName, const unsigned char* image) {
    if (srcFormat != format) {
        VIREO_LOG_ERROR("Sws scale fmt is not %s", formatName);
        lastError = "the images are not of the converter's source format";
        return false;
    }
    // The file is broken already (the failure was logged once): encoding more would only
    // fail again.
    if (writeFailed) return false;
    if (codecContext == nullptr || srcFrame == nullptr || dstFrame == nullptr || packet == nullptr ||
        swsContext == nullptr || image == nullptr) {
        VIREO_LOG_ERROR("Video converter is not initialized.");
        lastError = "the converter is not initialised";
        return false;
    }
    if (!framesMatchSettings()) {
        VIREO_LOG_ERROR("Video converter sizes or formats changed after initialization.");
        lastError = "sizes or formats changed after initialisation";
        return false;
    }
    return true;
}

int32_t DataToVideoConverter::setUpFailed(const char* message, std::string cause) {
    VIREO_LOG_ERROR("%s (%s)", message, cause.c_str());
    lastError = std::move(cause);
    return -1;
}

// A packet or the trailer could not be written: the file is broken, and every later call
// that would write to it fails.
void DataToVideoConverter::writingFailed(int status) {
    writeFailed = true;
    lastError = "writing the file failed: " + ffmpegError(status);
    VIREO_LOG_ERROR("Write frame to file failed! (%s)", lastError.c_str());
}

int32_t DataToVideoConverter::initVideoConverter(std::string path) {
    if (formatContext != nullptr) {
        VIREO_LOG_ERROR("Video converter is already initialized.");
        lastError = "the converter is already initialised";
        return -1;
    }
    lastError.clear();
    writeFailed = false;
    int status = avformat_alloc_output_context2(&formatContext, nullptr, nullptr, path.c_str());
    if (status < 0 || formatContext == nullptr) {
        return setUpFailed("Failed to create output context.", "no video container for the file name");
    }
    codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (codec == nullptr) return setUpFailed("H.264 encoder not found.", "this FFmpeg has no H.264 encoder");
    stream = avformat_new_stream(formatContext, nullptr);
    codecContext = avcodec_alloc_context3(codec);
    if (stream == nullptr || codecContext == nullptr) {
        return setUpFailed("Failed to create the video stream.", "out of memory");
    }
    codecContext->width = dstWidth;
    codecContext->height = dstHeight;
    codecContext->pix_fmt = static_cast<AVPixelFormat>(dstFormat);
    codecContext->time_base = AVRational{timeBaseNum, timeBaseDen};
    codecContext->framerate = AVRational{frameRate, 1};
    codecContext->max_b_frames = 0;
    codecContext->bit_rate = kBitRate;
    // MP4 keeps the parameter sets in the stream description, not in every key frame.
    if ((formatContext->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        codecContext->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    // x264's default preset encodes full-sensor event images (speckles of single pixels
    // everywhere) at a fraction of real time on a two-core machine; its fastest preset keeps
    // up, and at this bit rate it still keeps single pixels. Encoders without the option
    // ignore it.
    if (codecContext->priv_data != nullptr) av_opt_set(codecContext->priv_data, "preset", kPreset, 0);
    status = knownPixelFormat(dstFormat) ? avcodec_open2(codecContext, codec, nullptr) : AVERROR(EINVAL);
    if (status < 0) {
        return setUpFailed("Failed to open the H.264 encoder.",
                           "the H.264 encoder does not take " + std::to_string(dstWidth) + " x " +
                               std::to_string(dstHeight) + " frames in pixel format " + pixelFormatName(dstFormat) +
                               ": " + ffmpegError(status));
    }
    // The scaler is built by setConverterFmt for the sizes in force then; without one, or
    // with one for other sizes, no image could be encoded.
    if (swsContext == nullptr || scalerSizes[0] != srcWidth || scalerSizes[1] != srcHeight ||
        scalerSizes[2] != dstWidth || scalerSizes[3] != dstHeight) {
        return setUpFailed("Video converter has no scaler for its sizes and formats.",
                           "no conversion from " + std::to_string(srcWidth) + " x " + std::to_string(srcHeight) +
                               " " + pixelFormatName(srcFormat) + " to " + std::to_string(dstWidth) + " x " +
                               std::to_string(dstHeight) + " " + pixelFormatName(dstFormat) +
                               " (set the sizes, then the formats)");
    }
    status = avcodec_parameters_from_context(stream->codecpar, codecContext);
    if (status < 0) return setUpFailed("Failed to create the video stream.", ffmpegError(status));
    stream->time_base = codecContext->time_base;

    if ((formatContext->oformat->flags & AVFMT_NOFILE) == 0) {
        status = avio_open(&formatContext->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (status < 0) {
            writeFailed = true;
            lastError = "cannot create the file: " + ffmpegError(status);
            VIREO_LOG_ERROR("Failed to open output file: %s. (%s)", path.c_str(), lastError.c_str());
            return -1;
        }
        fileOpened = true;
    }
    status = avformat_write_header(formatContext, nullptr);
    if (status >= 0 && formatContext->pb != nullptr && formatContext->pb->error < 0) status = formatContext->pb->error;
    if (status < 0) {
        writeFailed = true;
        return setUpFailed("Failed to write video header.", "writing the file failed: " + ffmpegError(status));
    }

    dstFrame = allocateFrame(dstFormat, dstWidth, dstHeight);
    srcFrame = allocateFrame(srcFormat, srcWidth, srcHeight);
    if (dstFrame == nullptr || srcFrame == nullptr) {
        lastError = "out of memory for the frames";
        return -1;
    }
    packet = av_packet_alloc();
    if (packet == nullptr) return setUpFailed("Could not allocate the video packet", "out of memory");
    return 0;
}

// Writes the packet the encoder gave into the file. Every frame lasts one frame period: the
// muxer takes the last sample's duration from its packet, and without one the last frame
// of every video would last 0 s (a one-frame video would show nothing at all).
int DataToVideoConverter::writePacket() {
    if (packet->duration <= 0) packet->duration = kFrameDuration;
    av_packet_rescale_ts(packet, codecContext->time_base, stream->time_base);
    packet->stream_index = stream->index;
    return av_interleaved_write_frame(formatContext, packet);
}

// Sends `frame` and writes every packet the encoder has ready. With `logErrors` failures go
// to the logger and give -1; otherwise (the frame-sensor path) they go to the C standard
// error stream and give the encoder's status.
int32_t DataToVideoConverter::encodeFrame(AVFrame* frame, bool logErrors) {
    int status = avcodec_send_frame(codecContext, frame);
    if (status < 0) {
        lastError = "the encoder refused a frame: " + ffmpegError(status);
        if (logErrors) {
            VIREO_LOG_ERROR("Error sending a frame for encoding");
            return -1;
        }
        std::fprintf(stderr, "Error sending a frame for encoding\n");
        return -1;
    }
    while (status >= 0) {
        status = avcodec_receive_packet(codecContext, packet);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return 0;
        if (status < 0) {
            lastError = "the encoder failed: " + ffmpegError(status);
            if (logErrors) {
                VIREO_LOG_ERROR("Error during encoding");
                return -1;
            }
            std::fprintf(stderr, "Error during encoding\n");
            return status;
        }
        const int written = writePacket();
        av_packet_unref(packet);
        if (written < 0) {
            writingFailed(written);
            return logErrors ? -1 : written;
        }
    }
    return 0;
}

int32_t DataToVideoConverter::rgbToVideo(unsigned char* image) {
    if (!readyForImage(AV_PIX_FMT_BGR24, "AV_PIX_FMT_BGR24", image)) return -1;
    const size_t rowBytes = static_cast<size_t>(srcWidth) * 3;
    for (int32_t row = 0; row < srcHeight; ++row) {
        std::memcpy(srcFrame->data[0] + static_cast<ptrdiff_t>(row) * srcFrame->linesize[0],
                    image + static_cast<size_t>(row) * rowBytes, rowBytes);
    }
    // The encoder may still hold the previous picture: get a buffer of our own first.
    if (av_frame_make_writable(dstFrame) < 0) {
        VIREO_LOG_ERROR("Could not allocate the video frame data");
        return -1;
    }
    sws_scale(swsContext, srcFrame->data, srcFrame->linesize, 0, srcHeight, dstFrame->data, dstFrame->linesize);
    dstFrame->pts = nextPts;
    nextPts += kFrameDuration;
    return encodeFrame(dstFrame, true);
}

int32_t DataToVideoConverter::nv12ToViedo(unsigned char* image, int64_t timestamp) {
    if (!readyForImage(AV_PIX_FMT_NV12, "AV_PIX_FMT_NV12", image)) return -1;
    // Row by row: the frame's lines may be padded beyond the image width.
    const size_t width = static_cast<size_t>(srcWidth);
    const unsigned char* chroma = image + width * static_cast<size_t>(srcHeight);
    for (int32_t row = 0; row < srcHeight; ++row) {
        std::memcpy(srcFrame->data[0] + static_cast<ptrdiff_t>(row) * srcFrame->linesize[0],
                    image + static_cast<size_t>(row) * width, width);
    }
    for (int32_t row = 0; row < srcHeight / 2; ++row) {
        std::memcpy(srcFrame->data[1] + static_cast<ptrdiff_t>(row) * srcFrame->linesize[1],
                    chroma + static_cast<size_t>(row) * width, width);
    }
    if (av_frame_make_writable(dstFrame) < 0) {
        std::fprintf(stderr, "Could not allocate the video frame data\n");
        return -1;
    }
    sws_scale(swsContext, srcFrame->data, srcFrame->linesize, 0, srcHeight, dstFrame->data, dstFrame->linesize);
    if (timestamp == -1) {
        srcFrame->pts = nextPts;
        dstFrame->pts = nextPts;
        nextPts += kFrameDuration;
    } else {
        srcFrame->pts = timestamp;
        dstFrame->pts = timestamp;
        // A following frame without a time comes one frame period later, not at the same
        // time (the muxer would refuse it as a duplicate and the frame would be lost).
        nextPts = timestamp + kFrameDuration;
    }
    return encodeFrame(dstFrame, false);
}

int32_t DataToVideoConverter::nv12ToRGB(unsigned char* image, unsigned char* output) {
    if (swsContext == nullptr || image == nullptr || output == nullptr) return 0;
    const uint8_t* const srcPlanes[4] = {image, image + static_cast<size_t>(srcWidth) * srcHeight, nullptr,
                                         nullptr};
    const int srcStrides[4] = {srcWidth, srcWidth, 0, 0};
    uint8_t* const dstPlanes[4] = {output, nullptr, nullptr, nullptr};
    const int dstStrides[4] = {dstWidth * 3, 0, 0, 0};
    sws_scale(swsContext, srcPlanes, srcStrides, 0, srcHeight, dstPlanes, dstStrides);
    return 0;
}

void DataToVideoConverter::setMetadata(const std::string& key, const std::string& value) {
    metadata[key] = value;
}

int32_t DataToVideoConverter::flushAndCloseVideo() {
    if (codecContext == nullptr || formatContext == nullptr || packet == nullptr || stream == nullptr) {
        VIREO_LOG_ERROR("Video converter is not initialized.");
        lastError = "the converter is not initialised";
        return -1;
    }
    av_packet_unref(packet);
    while (!writeFailed) {
        const int status = avcodec_receive_packet(codecContext, packet);
        if (status == AVERROR(EAGAIN)) {
            // Nothing left without more input: an empty frame puts the encoder into draining.
            const int sent = avcodec_send_frame(codecContext, nullptr);
            if (sent < 0 && sent != AVERROR_EOF) {
                VIREO_LOG_ERROR("Error receiving packet from encoder.");
                lastError = "the encoder failed: " + ffmpegError(sent);
                return -1;
            }
            continue;
        }
        if (status == AVERROR_EOF) {
            // MP4 keeps its metadata in the index the trailer writes: set late, it still counts.
            for (const auto& [key, value] : metadata) {
                av_dict_set(&formatContext->metadata, key.c_str(), value.c_str(), 0);
            }
            // The file is complete only once the trailer is written and the last buffered
            // bytes have reached it: both fail on a full disk.
            int result = av_write_trailer(formatContext);
            if (result >= 0 && formatContext->pb != nullptr && formatContext->pb->error < 0) {
                result = formatContext->pb->error;
            }
            if (fileOpened) {
                const int closed = avio_closep(&formatContext->pb);
                if (result >= 0) result = closed;
            }
            fileOpened = false;
            if (result < 0) {
                writingFailed(result);
                break;
            }
            VIREO_LOG_INFO("Video created successfully");
            freeAll();
            return 0;
        }
        if (status < 0) {
            VIREO_LOG_ERROR("Error receiving packet from encoder.");
            lastError = "the encoder failed: " + ffmpegError(status);
            return -1;
        }
        const int written = writePacket();
        av_packet_unref(packet);
        if (written < 0) writingFailed(written);
    }
    // A write failed: the file cannot be finished. Everything is freed all the same.
    freeAll();
    return -1;
}

}  // namespace vireo
