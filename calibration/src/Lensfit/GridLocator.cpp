// The locator factory: types 3 and 4 make the event circle-grid locator, 5 and 6 the
// active-marker locator, 0 to 2 the frame locators.
#include <vireo/GridLocator.h>

#include <stdexcept>

#include <vireo/EventActiveMarkerGridLocator.h>
#include <vireo/EventActiveMarkerGridLocatorConfig.h>
#include <vireo/EventDBSCANCircleGridLocatorAlgo.h>
#include <vireo/EventDBSCANCircleGridLocatorConfig.h>
#include <vireo/FrameChessboardGridLocatorAlgo.h>
#include <vireo/FrameCirclesAsymmetricGridLocatorAlgo.h>
#include <vireo/FrameCirclesSymmetricGridLocatorAlgo.h>

namespace vireo {

namespace {
const char* const kInvalidType = "Invalid grid locator algorithm type or not implemented";
}

std::unique_ptr<GridLocatorAlgoBase<EventBased>> GridLocator::createEventBasedGridLocator(
    GridLocatorAlgoType type, int grid_cols, int grid_rows, const cv::Size& sensor_size, void* config) {
    switch (type) {
        case EVENT_DBSCAN_CIRCLES_ASYMMETRIC:
        case EVENT_DBSCAN_CIRCLES_SYMMETRIC: {
            if (config == nullptr) {
                throw std::invalid_argument(
                    "GridLocator: config must point to an EventDBSCANCircleGridLocatorConfig for this type");
            }
            auto* record = static_cast<EventDBSCANCircleGridLocatorConfig*>(config);
            record->is_asymmetric = (type == EVENT_DBSCAN_CIRCLES_ASYMMETRIC);
            return std::make_unique<EventDBSCANCircleGridLocatorAlgo<2, float>>(grid_cols, grid_rows, sensor_size,
                                                                                *record);
        }
        case EVENT_ACTIVE_MARKER_ASYMMETRIC:
        case EVENT_ACTIVE_MARKER_SYMMETRIC: {
            if (config == nullptr) {
                throw std::invalid_argument(
                    "GridLocator: config must point to an EventActiveMarkerGridLocatorConfig for this type");
            }
            auto* record = static_cast<EventActiveMarkerGridLocatorConfig*>(config);
            record->is_asymmetric = (type == EVENT_ACTIVE_MARKER_ASYMMETRIC);
            return std::make_unique<EventActiveMarkerGridLocator>(grid_cols, grid_rows, sensor_size, *record);
        }
        default:
            throw std::invalid_argument(kInvalidType);
    }
}

std::unique_ptr<GridLocatorAlgoBase<FrameBased>> GridLocator::createFrameBasedGridLocator(
    GridLocatorAlgoType type, int grid_cols, int grid_rows, const cv::Size& sensor_size, void* /*config*/) {
    switch (type) {
        case FRAME_CIRCLES_SYMMETRIC:
            return std::make_unique<FrameCirclesSymmetricGridLocatorAlgo>(grid_cols, grid_rows, sensor_size);
        case FRAME_CIRCLES_ASYMMETRIC:
            return std::make_unique<FrameCirclesAsymmetricGridLocatorAlgo>(grid_cols, grid_rows, sensor_size);
        case FRAME_CHESSBOARD:
            return std::make_unique<FrameChessboardGridLocatorAlgo>(grid_cols, grid_rows, sensor_size);
        default:
            throw std::invalid_argument(kInvalidType);
    }
}

}  // namespace vireo
