// `DataToVideoConverter`: turns a sequence of images into an H.264 video in an MP4 file, and
// converts single NV12 images to packed BGR24 without encoding.
//
// One converter writes one file: set the sizes (`setConverterFrameSize`), then the pixel
// formats (`setConverterFmt`, which builds the scaler for the sizes in force), open the file
// (`initVideoConverter`), feed images (`rgbToVideo` or `nv12ToViedo`), and finish with
// `flushAndCloseVideo`. Video times are microseconds (time base 1/1000000); without caller
// times every frame is 33333 µs after the previous one, so a video's timeline counts the
// frames written, not the time the images stand for. Every frame lasts 33333 µs: a video of
// n frames without caller times lasts n x 33333 µs (one frame is a playable video).
//
// FFmpeg does the work; its structures are only forward-declared here, so this header needs
// no FFmpeg headers. Pixel formats are passed as FFmpeg `AVPixelFormat` values: callers that
// include <libavutil/pixfmt.h> pass `AV_PIX_FMT_BGR24` and the like directly, others use the
// `VideoPixelFormat` constants below, which hold the same values.
//
// No locking inside: one thread at a time uses a converter. It is neither copyable nor
// movable (it owns FFmpeg objects and an open file).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <vireo/pipit_export.h>

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVCodec;
struct SwsContext;
struct AVFrame;
struct AVPacket;

namespace vireo {

// The FFmpeg pixel formats the kit uses, by their `AVPixelFormat` values.
enum VideoPixelFormat : int {
    VIDEO_PIX_FMT_YUV420P = 0,  // planar 4:2:0, the encoder's input format
    VIDEO_PIX_FMT_BGR24 = 3,    // packed blue, green, red bytes per pixel
    VIDEO_PIX_FMT_NV12 = 23,    // luma plane, then one plane of interleaved U and V
};

class PIPIT_EXPORT DataToVideoConverter {
public:
    // Sizes 3840 x 2160 for source and destination, 30 frames per second, no FFmpeg object.
    DataToVideoConverter();
    // Frees whatever FFmpeg objects are left; closes the file without finishing it when
    // `flushAndCloseVideo` was not called.
    ~DataToVideoConverter();
    DataToVideoConverter(const DataToVideoConverter&) = delete;
    DataToVideoConverter& operator=(const DataToVideoConverter&) = delete;

    // Stores the image sizes in pixels: the source (images handed in) and the destination
    // (frames encoded). Takes effect for the scaler at the next `setConverterFmt` and for the
    // encoder and frames at `initVideoConverter`.
    void setConverterFrameSize(int32_t srcHeight, int32_t srcWidth, int32_t dstHeight, int32_t dstWidth);

    // Stores the source and destination pixel formats (`AVPixelFormat` values) and replaces
    // the scaler by one from the source size and format to the destination size and format
    // (point sampling, no filters). A combination FFmpeg cannot scale (a size of 0, a format
    // it does not know or cannot convert) leaves no scaler: `initVideoConverter` then fails
    // and `nv12ToRGB` does nothing.
    void setConverterFmt(int srcFormat, int dstFormat);

    // Creates the output file at `path` (the container is chosen from the file name: ".mp4"
    // gives MP4) with one H.264 stream of the destination size and format, 60 Mbit/s, no
    // B-frames, time base 1/1000000, x264's "ultrafast" preset (real time for 1280 x 720
    // event images on two cores), and writes its header. 0 on success; -1 with an error
    // logged (and its cause in `getLastError`) when the name gives no container, there is no
    // H.264 encoder, the encoder does not open (sizes of 0, odd sizes for 4:2:0), there is no
    // scaler for the sizes and formats in force, the file cannot be created or the header
    // cannot be written. What was created stays for `flushAndCloseVideo` or the destructor
    // to free.
    int32_t initVideoConverter(std::string path);

    // Encodes one packed BGR24 image of srcWidth x srcHeight pixels (rows top to bottom, no
    // padding) as the next frame, 33333 µs after the previous one. -1 with an error logged
    // when the source format is not BGR24, the converter is not initialised, sizes or
    // formats were changed after `initVideoConverter`, encoding fails, or the file cannot be
    // written (then `hasWriteFailed` is true and every later frame fails too); 0 otherwise.
    int32_t rgbToVideo(unsigned char* image);

    // Encodes one NV12 image of srcWidth x srcHeight pixels (the luma plane, then the
    // interleaved chroma plane of half as many bytes) with presentation time `timestamp` µs,
    // or 33333 µs after the previous frame when `timestamp` is -1 (after a frame with a
    // given time, 33333 µs after that time). Times must increase from frame to frame: a
    // frame whose time does not is dropped by the muxer. -1 when the source format
    // is not NV12 (logged) or the converter is not initialised; encoder failures are written
    // to the C standard error stream and give the encoder's status.
    int32_t nv12ToViedo(unsigned char* image, int64_t timestamp);

    // Converts one NV12 image of srcWidth x srcHeight pixels to packed BGR24 at `output`
    // (dstWidth x 3 bytes per row, srcHeight rows) with the current scaler, which the caller
    // has set up with the formats NV12 and BGR24. Encodes nothing. Returns 0; does nothing
    // when no scaler is set up.
    int32_t nv12ToRGB(unsigned char* image, unsigned char* output);

    // Drains the encoder, writes the file's trailer, closes it and frees every FFmpeg
    // object. 0 on success: the file is a complete video. -1 when the encoder reports an
    // error, a packet, the trailer or the file's last bytes cannot be written (a full disk;
    // the objects are freed and the file is left unfinished), or the converter was never
    // initialised (or is already closed).
    int32_t flushAndCloseVideo();
    // A metadata entry of the file's container (for MP4 the keys FFmpeg's muxer knows, such
    // as "comment" or "title"), written when the file is completed by `flushAndCloseVideo`;
    // a later call with the same key replaces the value.
    void setMetadata(const std::string& key, const std::string& value);

    // Why the last call that failed did (for example "cannot create the file: No such file
    // or directory", "writing the file failed: No space left on device"); it does not name
    // the file. Empty before any failure.
    const std::string& getLastError() const { return lastError; }
    // True once creating or writing the file has failed: the video cannot be completed.
    bool hasWriteFailed() const { return writeFailed; }

    // The presentation time (µs) the next frame gets when the caller gives none.
    int64_t getNextPts() const { return nextPts; }

private:
    int32_t encodeFrame(AVFrame* frame, bool logErrors);
    int writePacket();
    bool framesMatchSettings() const;
    bool readyForImage(int format, const char* formatName, const unsigned char* image);
    int32_t setUpFailed(const char* message, std::string cause);
    void writingFailed(int status);
    void freeAll();

    AVFormatContext* formatContext = nullptr;
    AVCodecContext* codecContext = nullptr;
    AVStream* stream = nullptr;
    const AVCodec* codec = nullptr;
    SwsContext* swsContext = nullptr;
    int srcFormat = -1;  // AVPixelFormat of the images handed in (none yet)
    int dstFormat = -1;  // AVPixelFormat of the frames encoded (none yet)
    int32_t dstWidth = 3840;
    int32_t dstHeight = 2160;
    int32_t srcWidth = 3840;
    int32_t srcHeight = 2160;
    int32_t frameRate = 30;
    int32_t timeBaseNum = 1;  // time base of the video: 1/1000000 s (microseconds)
    int32_t timeBaseDen = 1000000;
    // 64-bit so that videos longer than 2^31 µs (about 36 minutes) keep increasing times.
    int64_t nextPts = 0;
    AVFrame* dstFrame = nullptr;
    AVFrame* srcFrame = nullptr;
    AVPacket* packet = nullptr;
    bool fileOpened = false;  // the output file was opened by us and must be closed
    // Source width, height, destination width, height the scaler was built for.
    int32_t scalerSizes[4] = {0, 0, 0, 0};
    std::map<std::string, std::string> metadata;  // written with the trailer
    std::string lastError;     // the cause of the last failure
    bool writeFailed = false;  // a write to the file failed: it cannot be completed
};

}  // namespace vireo
