// The two locator bases: they only hold the grid size and the sensor size.
#include <vireo/GridLocatorAlgoBase.h>

namespace vireo {

GridLocatorAlgoBase<EventBased>::GridLocatorAlgoBase(int grid_cols_, int grid_rows_, const cv::Size& sensor_size_)
    : grid_cols(grid_cols_), grid_rows(grid_rows_), sensor_size(sensor_size_) {}
GridLocatorAlgoBase<EventBased>::GridLocatorAlgoBase(const GridLocatorAlgoBase& other) = default;
GridLocatorAlgoBase<EventBased>& GridLocatorAlgoBase<EventBased>::operator=(const GridLocatorAlgoBase& other) = default;
GridLocatorAlgoBase<EventBased>::~GridLocatorAlgoBase() = default;

GridLocatorAlgoBase<FrameBased>::GridLocatorAlgoBase(int grid_cols_, int grid_rows_, const cv::Size& sensor_size_)
    : grid_cols(grid_cols_), grid_rows(grid_rows_), sensor_size(sensor_size_) {}
GridLocatorAlgoBase<FrameBased>::GridLocatorAlgoBase(const GridLocatorAlgoBase& other) = default;
GridLocatorAlgoBase<FrameBased>& GridLocatorAlgoBase<FrameBased>::operator=(const GridLocatorAlgoBase& other) = default;
GridLocatorAlgoBase<FrameBased>::~GridLocatorAlgoBase() = default;

}  // namespace vireo
