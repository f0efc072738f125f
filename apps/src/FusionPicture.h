// A fusion camera's frame beside its count frame, as one picture a person can look at: the
// frame on the left, shrunk to the count frame's height, and the count frame on the right,
// each of its pixels grey where no event came, orange where positive events outnumber the
// negative ones, blue otherwise, the stronger the more events. The camera delivers both
// mirrored left-right the same way, and they are drawn as delivered, so an edge in the scene
// sits at the same place in both halves.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace vireo::app {

// The picture (BGR, 8 bits per channel) of the BGR24 frame `bgr` (frame_width x frame_height
// pixels, rows packed) beside `counts`, a count frame of count_width x count_height pixels
// with two cells per pixel (negative, then positive events). Throws std::invalid_argument
// when a size is not positive or `counts` does not hold 2 x count_width x count_height cells.
cv::Mat fusionPicture(const unsigned char* bgr, int frame_width, int frame_height, const std::vector<uint16_t>& counts,
                      int count_width, int count_height);

// The colour of a count frame pixel with `negative` and `positive` events.
cv::Vec3b countColour(uint16_t negative, uint16_t positive);

}  // namespace vireo::app
