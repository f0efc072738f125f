// The cheap cluster generator: the sensor is divided into rectangular cells, events are
// counted per cell, a cell whose count reaches a threshold activates itself and its right,
// lower and lower-right neighbours, and each run reports the bounding boxes of 4-connected
// groups of active cells whose width and height lie within limits. It is the one generator
// that can require enough events of both polarities in a cell (POLARITY_SEPARATE).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <vireo/ClusterGenerators.h>
#include <vireo/SharedTypes.h>
#include <vireo/basics_export.h>

namespace vireo {

// Not thread-safe: every operation, the event intake included, must come from one thread or
// be serialised by the caller.
class BASICS_EXPORT GridBasedClusterGenerator : public ClusterGeneratorBase {
public:
    // Sensor and cell sizes in pixels (the last cell row and column may be partial);
    // `max_size`/`min_size`: largest and smallest accepted cluster width and height, pixels;
    // `filter_type`: which polarities are counted (POLARITY_SEPARATE needs
    // `activation_threshold` events of each polarity in a cell, any unknown value counts
    // like POLARITY_FREE); `flag`: when true, a cell counts distinct pixels rather than
    // events (each pixel once per run, or once per polarity with POLARITY_SEPARATE), so a
    // single hot pixel cannot activate a cell by itself; when false every event counts;
    // `activation_threshold`: events (or pixels) a cell must count.
    // Throws std::invalid_argument "Invalid cell size or sensor size" for a cell size below 1
    // or a sensor size below 1; any larger cell, up to INT_MAX, is accepted.
    GridBasedClusterGenerator(int sensor_width, int sensor_height, int cell_width, int cell_height, int max_size,
                              int min_size, EventFilterType filter_type, bool flag, uint16_t activation_threshold);
    GridBasedClusterGenerator(const GridBasedClusterGenerator& other);
    // Takes over `other`'s grid and counts; `other` is left an empty generator of a 0 x 0
    // sensor (no cells: its runs report nothing, its intake ignores every event).
    GridBasedClusterGenerator(GridBasedClusterGenerator&& other) noexcept;
    GridBasedClusterGenerator& operator=(const GridBasedClusterGenerator&) = delete;
    GridBasedClusterGenerator& operator=(GridBasedClusterGenerator&&) = delete;
    ~GridBasedClusterGenerator() override;

    // Event intake: for each event of [first, last) that the filter keeps (POSITIVE_FREE
    // drops polarity 1, NEGATIVE_FREE drops polarity 0), counts it in its cell, marks its
    // pixel in the activity map and activates the cell's 2 x 2 block once the cell passes
    // the threshold. Events outside the sensor are ignored. Counters stop at 65535.
    void addEvents(const Event2D* first, const Event2D* last);

    // Reports the groups of active cells (4-connected) whose pixel width and height lie in
    // [min_size, max_size], clipped to the sensor, in row-major order of their first cell;
    // id -1, count 0, no time span, `timestamp` as given. Afterwards no cell is active and
    // the counters and the activity map are zero (reset() is called).
    void generateClusters(size_t timestamp, std::vector<ClusterGeometry>& clusters) override;
    // Zeroes the activity map and every counter; the active cells are kept.
    void reset() override;
    // Makes `map` a sensor_height x sensor_width CV_8UC1 view of the activity map (no copy:
    // it shows later changes and is valid only while the generator lives). Non-zero bytes
    // mark pixels with events since the last run (bit 0: polarity 0, bit 1: polarity 1).
    void getActiveMap(cv::Mat& map);

    int getCellRows() const { return cell_rows; }
    int getCellCols() const { return cell_cols; }
    // Whether cell (row, col) is active; false outside the grid.
    bool isCellActive(int row, int col) const;
    // Counter of cell (row, col) for `polarity` (0 or 1; ignored unless POLARITY_SEPARATE);
    // 0 outside the grid.
    uint16_t getCellCount(int row, int col, int polarity) const;

private:
    friend struct GridBasedClusterGeneratorTestAccess;

    void updateActiveCells(int row, int col);
    void chooseCellFunctions();
    size_t cellIndex(int row, int col) const { return static_cast<size_t>(row) * cell_cols + col; }

    int cell_width;
    int cell_height;
    int cell_rows;
    int cell_cols;
    int max_size;
    int min_size;
    EventFilterType filter_type;
    bool flag;
    uint16_t activation_threshold;
    std::vector<uint16_t> cell_counts;
    std::vector<uint8_t> activity_map;
    std::vector<bool> active_cells;
    std::vector<int> col_of_x;
    std::vector<int> row_of_y;
    std::function<bool(int, int)> cell_test;
    std::function<void(int, int, int)> cell_count;
    std::vector<size_t> stack;  // scratch of generateClusters
};

}  // namespace vireo
