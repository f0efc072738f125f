// The event-data-to-video converter from Python: images as numpy arrays into an H.264 MP4.
// The C++ converter takes bare pointers; here every image's size is checked against the
// sizes in force, so a short array can never be read past its end.
#include "Bindings.h"

#include <vireo/DataToVideoConverter.h>

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace vireo::python {
namespace {

using ImageArray = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>;

// The converter with the sizes and formats it was given, to check the images handed in.
struct VideoHandle {
    DataToVideoConverter converter;
    int32_t srcHeight = 2160, srcWidth = 3840, dstHeight = 2160, dstWidth = 3840;
    int srcFormat = -1;

    void fail(const std::string& what) const {
        const std::string& cause = converter.getLastError();
        throw std::runtime_error(what + (cause.empty() ? std::string(" failed (the log says why)") : ": " + cause));
    }

    void checkBytes(const ImageArray& image, std::size_t expected, const char* kind) const {
        if (static_cast<std::size_t>(image.size()) != expected) {
            throw py::value_error(std::string("a ") + kind + " image of " + std::to_string(srcWidth) + " x " +
                                  std::to_string(srcHeight) + " pixels holds " + std::to_string(expected) +
                                  " bytes, got " + std::to_string(image.size()));
        }
    }
};

}  // namespace

void bindVideo(py::module_& m) {
    py::enum_<VideoPixelFormat>(m, "VideoPixelFormat", "The FFmpeg pixel formats the kit uses.")
        .value("VIDEO_PIX_FMT_YUV420P", VIDEO_PIX_FMT_YUV420P)
        .value("VIDEO_PIX_FMT_BGR24", VIDEO_PIX_FMT_BGR24)
        .value("VIDEO_PIX_FMT_NV12", VIDEO_PIX_FMT_NV12)
        .export_values();

    py::class_<VideoHandle>(m, "DataToVideoConverter",
                            "Writes a sequence of images as an H.264 video in an MP4 file. Set the sizes, then\n"
                            "the formats, open the file, feed images, and finish with flush_and_close_video().")
        .def(py::init<>())
        .def(
            "set_converter_frame_size",
            [](VideoHandle& h, int32_t srcHeight, int32_t srcWidth, int32_t dstHeight, int32_t dstWidth) {
                if (srcHeight <= 0 || srcWidth <= 0 || dstHeight <= 0 || dstWidth <= 0) {
                    throw py::value_error("image sizes must be positive");
                }
                h.converter.setConverterFrameSize(srcHeight, srcWidth, dstHeight, dstWidth);
                h.srcHeight = srcHeight;
                h.srcWidth = srcWidth;
                h.dstHeight = dstHeight;
                h.dstWidth = dstWidth;
            },
            py::arg("src_height"), py::arg("src_width"), py::arg("dst_height"), py::arg("dst_width"),
            "set_converter_frame_size(src_height, src_width, dst_height, dst_width) -> None\n\n"
            "Sizes in pixels of the images handed in and of the frames encoded.")
        .def(
            "set_converter_fmt",
            [](VideoHandle& h, int srcFormat, int dstFormat) {
                h.converter.setConverterFmt(srcFormat, dstFormat);
                h.srcFormat = srcFormat;
            },
            py::arg("src_format"), py::arg("dst_format"),
            "set_converter_fmt(src_format, dst_format) -> None\n\n"
            "Pixel formats (VideoPixelFormat) of the images handed in and of the frames encoded.")
        .def(
            "init_video_converter",
            [](VideoHandle& h, const std::string& path) {
                int32_t status = 0;
                {
                    py::gil_scoped_release release;
                    status = h.converter.initVideoConverter(path);
                }
                if (status != 0) h.fail("cannot create the video " + path);
            },
            py::arg("path"),
            "init_video_converter(path) -> None\n\nCreates the file (\".mp4\"); raises vireo.Error with the cause.")
        .def(
            "rgb_to_video",
            [](VideoHandle& h, const ImageArray& image) {
                h.checkBytes(image, static_cast<std::size_t>(h.srcWidth) * h.srcHeight * 3, "BGR24");
                int32_t status = 0;
                {
                    py::gil_scoped_release release;
                    status = h.converter.rgbToVideo(const_cast<uint8_t*>(image.data()));
                }
                if (status != 0) h.fail("encoding a frame");
            },
            py::arg("image"),
            "rgb_to_video(image) -> None\n\n"
            "Encodes one BGR24 image (uint8, src_height x src_width x 3) as the next frame.")
        .def(
            "nv12_to_video",
            [](VideoHandle& h, const ImageArray& image, int64_t timestamp) {
                h.checkBytes(image, static_cast<std::size_t>(h.srcWidth) * h.srcHeight * 3 / 2, "NV12");
                int32_t status = 0;
                {
                    py::gil_scoped_release release;
                    status = h.converter.nv12ToViedo(const_cast<uint8_t*>(image.data()), timestamp);
                }
                if (status < 0) h.fail("encoding a frame");
            },
            py::arg("image"), py::arg("timestamp") = -1,
            "nv12_to_video(image, timestamp=-1) -> None\n\n"
            "Encodes one NV12 image (uint8, src_width x src_height x 3 / 2 bytes) at `timestamp` µs\n"
            "(33333 µs after the previous frame when -1).")
        .def(
            "nv12_to_rgb",
            [](VideoHandle& h, const ImageArray& image) {
                h.checkBytes(image, static_cast<std::size_t>(h.srcWidth) * h.srcHeight * 3 / 2, "NV12");
                py::array_t<uint8_t> out({static_cast<py::ssize_t>(h.srcHeight), static_cast<py::ssize_t>(h.dstWidth),
                                          static_cast<py::ssize_t>(3)});
                std::fill(out.mutable_data(), out.mutable_data() + out.size(), uint8_t{0});
                py::gil_scoped_release release;
                h.converter.nv12ToRGB(const_cast<uint8_t*>(image.data()), out.mutable_data());
                return out;
            },
            py::arg("image"),
            "nv12_to_rgb(image) -> numpy.ndarray\n\n"
            "One NV12 image as BGR24 (src_height x dst_width x 3), after set_converter_fmt(NV12, BGR24).")
        .def(
            "flush_and_close_video",
            [](VideoHandle& h) {
                int32_t status = 0;
                {
                    py::gil_scoped_release release;
                    status = h.converter.flushAndCloseVideo();
                }
                if (status != 0) h.fail("finishing the video");
            },
            "flush_and_close_video() -> None\n\nFinishes the file; raises vireo.Error when it is not a complete video.")
        .def(
            "set_metadata",
            [](VideoHandle& h, const std::string& key, const std::string& value) { h.converter.setMetadata(key, value); },
            py::arg("key"), py::arg("value"), "set_metadata(key, value) -> None\n\nA container metadata entry.")
        .def_property_readonly(
            "last_error", [](const VideoHandle& h) { return h.converter.getLastError(); },
            "Why the last failed call failed; empty before any failure.")
        .def_property_readonly(
            "has_write_failed", [](const VideoHandle& h) { return h.converter.hasWriteFailed(); },
            "True once creating or writing the file failed.")
        .def_property_readonly(
            "next_pts", [](const VideoHandle& h) { return h.converter.getNextPts(); },
            "The presentation time (µs) the next frame gets without a caller time.");
}

}  // namespace vireo::python
