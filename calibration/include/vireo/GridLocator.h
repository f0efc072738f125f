// The locator factory: GridLocatorAlgoType names every grid-locator algorithm, and
// GridLocator creates the concrete locator for a type, fed either events or frames.
//
// Note the order of the values: for frames the symmetric circle grid comes first, for events
// the asymmetric variant does.
#pragma once

#include <cstdint>
#include <memory>

#include <opencv2/core/types.hpp>

#include <vireo/GridLocatorAlgoBase.h>
#include <vireo/lensfit_export.h>

namespace vireo {

enum GridLocatorAlgoType : int32_t {
    FRAME_CIRCLES_SYMMETRIC = 0,          // FrameCirclesSymmetricGridLocatorAlgo
    FRAME_CIRCLES_ASYMMETRIC = 1,         // FrameCirclesAsymmetricGridLocatorAlgo
    FRAME_CHESSBOARD = 2,                 // FrameChessboardGridLocatorAlgo
    EVENT_DBSCAN_CIRCLES_ASYMMETRIC = 3,  // EventDBSCANCircleGridLocatorAlgo<2, float>, asymmetric
    EVENT_DBSCAN_CIRCLES_SYMMETRIC = 4,   // EventDBSCANCircleGridLocatorAlgo<2, float>, symmetric
    EVENT_ACTIVE_MARKER_ASYMMETRIC = 5,   // EventActiveMarkerGridLocator, asymmetric
    EVENT_ACTIVE_MARKER_SYMMETRIC = 6,    // EventActiveMarkerGridLocator, symmetric
};

// Carries the two factory functions; it has no data.
class LENSFIT_EXPORT GridLocator {
public:
    GridLocator() = default;
    GridLocator(const GridLocator&) = default;
    GridLocator(GridLocator&&) = default;
    GridLocator& operator=(const GridLocator&) { return *this; }
    GridLocator& operator=(GridLocator&&) noexcept { return *this; }

    // An event-fed locator for `type` 3 to 6, for a grid of `grid_cols` circles or markers per
    // row and `grid_rows` rows on a sensor of `sensor_size` pixels. For 3 and 4 `config` must
    // point to an EventDBSCANCircleGridLocatorConfig, for 5 and 6 to an
    // EventActiveMarkerGridLocatorConfig; its `is_asymmetric` is overwritten first (true for 3
    // and 5, false for 4 and 6) and the locator keeps a copy of the record.
    // Throws std::invalid_argument "Invalid grid locator algorithm type or not implemented"
    // for any other type (nothing is written then), std::invalid_argument when `config` is
    // null, and whatever the locator's constructor throws (its grid-size and cluster-generator
    // checks).
    static std::unique_ptr<GridLocatorAlgoBase<EventBased>> createEventBasedGridLocator(
        GridLocatorAlgoType type, int grid_cols, int grid_rows, const cv::Size& sensor_size,
        void* config);

    // A frame-fed locator for `type` 0, 1 or 2 (`config` is ignored and may be null). Throws
    // std::invalid_argument "Invalid grid locator algorithm type or not implemented" for any
    // other type.
    static std::unique_ptr<GridLocatorAlgoBase<FrameBased>> createFrameBasedGridLocator(
        GridLocatorAlgoType type, int grid_cols, int grid_rows, const cv::Size& sensor_size,
        void* config);
};

}  // namespace vireo
