// Drawing a fusion camera's frame beside its count frame (see FusionPicture.h).
#include "FusionPicture.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

namespace vireo::app {
namespace {

// A camera caps each cell at 10 events; more shows no brighter.
constexpr double kFullCount = 10.0;
const cv::Vec3b kGrey(128, 128, 128);
const cv::Vec3b kPositive(40, 170, 255);  // orange (BGR)
const cv::Vec3b kNegative(255, 120, 30);  // blue

}  // namespace

cv::Vec3b countColour(uint16_t negative, uint16_t positive) {
    if (negative == 0 && positive == 0) return kGrey;
    const bool rising = positive >= negative;
    const cv::Vec3b& colour = rising ? kPositive : kNegative;
    // A single event already stands out from the ground; ten give the full colour.
    const double strength = 0.5 + 0.5 * std::min(static_cast<double>(rising ? positive : negative), kFullCount) / kFullCount;
    cv::Vec3b out;
    for (int c = 0; c < 3; ++c) out[c] = cv::saturate_cast<uint8_t>(kGrey[c] + strength * (colour[c] - kGrey[c]));
    return out;
}

cv::Mat fusionPicture(const unsigned char* bgr, int frame_width, int frame_height, const std::vector<uint16_t>& counts,
                      int count_width, int count_height) {
    if (bgr == nullptr || frame_width <= 0 || frame_height <= 0 || count_width <= 0 || count_height <= 0) {
        throw std::invalid_argument("fusionPicture: a frame and a count frame of positive sizes are needed");
    }
    const size_t cells = 2 * static_cast<size_t>(count_width) * static_cast<size_t>(count_height);
    if (counts.size() != cells) {
        throw std::invalid_argument("fusionPicture: a count frame of " + std::to_string(count_width) + " x " +
                                    std::to_string(count_height) + " holds " + std::to_string(cells) + " cells, not " +
                                    std::to_string(counts.size()));
    }
    const int shrunk_width =
        std::max(1, static_cast<int>(std::lround(static_cast<double>(frame_width) * count_height / frame_height)));
    cv::Mat picture(count_height, shrunk_width + count_width, CV_8UC3);
    // The frame is only read: OpenCV takes the camera's buffer without a copy.
    const cv::Mat frame(frame_height, frame_width, CV_8UC3, const_cast<unsigned char*>(bgr));
    cv::resize(frame, picture(cv::Rect(0, 0, shrunk_width, count_height)), cv::Size(shrunk_width, count_height), 0, 0,
               cv::INTER_AREA);
    for (int y = 0; y < count_height; ++y) {
        auto* row = picture.ptr<cv::Vec3b>(y) + shrunk_width;
        const uint16_t* cell = counts.data() + 2 * static_cast<size_t>(y) * count_width;
        for (int x = 0; x < count_width; ++x) row[x] = countColour(cell[2 * x], cell[2 * x + 1]);
    }
    return picture;
}

}  // namespace vireo::app
