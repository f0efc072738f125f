// The Calibrator's outlier rule, apart so that it can be checked on given error values: a
// frame is an outlier when its RMS point error exceeds the mean of all frames' errors by more
// than two population standard deviations (mean and deviation taken once, before any frame
// is removed).
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace vireo::detail {

// Indices of the outlier frames of `errors`, from the last to the first.
inline std::vector<size_t> outlierFrames(const std::vector<double>& errors) {
    std::vector<size_t> outliers;
    if (errors.empty()) return outliers;
    const double n = static_cast<double>(errors.size());
    double mean = 0.0;
    for (double e : errors) mean += e;
    mean /= n;
    double variance = 0.0;
    for (double e : errors) variance += (e - mean) * (e - mean);
    const double sigma = std::sqrt(variance / n);
    const double threshold = (sigma + sigma) + mean;
    for (size_t i = errors.size(); i-- > 0;) {
        if (errors[i] > threshold) outliers.push_back(i);
    }
    return outliers;
}

}  // namespace vireo::detail
