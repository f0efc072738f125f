// The grid-based cluster generator: per-cell counting with saturating 16-bit counters,
// activation of 2 x 2 cell blocks, and the 4-connected grouping of active cells.
#include <vireo/GridBasedClusterGenerator.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace vireo {

namespace {

constexpr uint16_t kCounterMax = std::numeric_limits<uint16_t>::max();

// A very busy cell must stay active, so counters stop at their largest value instead of
// wrapping back to 0.
inline void saturatingIncrement(uint16_t& counter) {
    if (counter != kCounterMax) ++counter;
}

// Cells needed to cover `size` pixels with cells of `cell` pixels, the last one partial.
// In 64 bits: size + cell - 1 overflows an int for a cell near INT_MAX. The result is at
// most `size`, so it fits an int; 0 for a size below 1.
int cellsToCover(int size, int cell) {
    if (size < 1) return 0;
    return static_cast<int>((int64_t{size} + cell - 1) / cell);
}

}  // namespace

GridBasedClusterGenerator::GridBasedClusterGenerator(int sensor_width_, int sensor_height_, int cell_width_,
                                                     int cell_height_, int max_size_, int min_size_,
                                                     EventFilterType filter_type_, bool flag_,
                                                     uint16_t activation_threshold_)
    : ClusterGeneratorBase(sensor_width_, sensor_height_),
      cell_width(cell_width_),
      cell_height(cell_height_),
      cell_rows(0),
      cell_cols(0),
      max_size(max_size_),
      min_size(min_size_),
      filter_type(filter_type_),
      flag(flag_),
      activation_threshold(activation_threshold_) {
    if (cell_width < 1 || cell_height < 1) throw std::invalid_argument("Invalid cell size or sensor size");
    cell_rows = cellsToCover(sensor_height, cell_height);
    cell_cols = cellsToCover(sensor_width, cell_width);
    if (cell_rows < 1 || cell_cols < 1 || sensor_width < 1 || sensor_height < 1) {
        throw std::invalid_argument("Invalid cell size or sensor size");
    }
    activity_map.assign(static_cast<size_t>(sensor_width) * static_cast<size_t>(sensor_height), 0);
    const size_t cells = static_cast<size_t>(cell_rows) * static_cast<size_t>(cell_cols);
    cell_counts.assign(filter_type == POLARITY_SEPARATE ? 2 * cells : cells, 0);
    chooseCellFunctions();
    active_cells.assign(cells, false);
    col_of_x.resize(static_cast<size_t>(sensor_width));
    for (int x = 0; x < sensor_width; ++x) col_of_x[static_cast<size_t>(x)] = x / cell_width;
    row_of_y.resize(static_cast<size_t>(sensor_height));
    for (int y = 0; y < sensor_height; ++y) row_of_y[static_cast<size_t>(y)] = y / cell_height;
}

GridBasedClusterGenerator::GridBasedClusterGenerator(const GridBasedClusterGenerator& other)
    : ClusterGeneratorBase(other),
      cell_width(other.cell_width),
      cell_height(other.cell_height),
      cell_rows(other.cell_rows),
      cell_cols(other.cell_cols),
      max_size(other.max_size),
      min_size(other.min_size),
      filter_type(other.filter_type),
      flag(other.flag),
      activation_threshold(other.activation_threshold),
      cell_counts(other.cell_counts),
      activity_map(other.activity_map),
      active_cells(other.active_cells),
      col_of_x(other.col_of_x),
      row_of_y(other.row_of_y) {
    // The stored functions must work on this object's counters, not the original's.
    chooseCellFunctions();
}

GridBasedClusterGenerator::GridBasedClusterGenerator(GridBasedClusterGenerator&& other) noexcept
    : ClusterGeneratorBase(other),
      cell_width(other.cell_width),
      cell_height(other.cell_height),
      cell_rows(other.cell_rows),
      cell_cols(other.cell_cols),
      max_size(other.max_size),
      min_size(other.min_size),
      filter_type(other.filter_type),
      flag(other.flag),
      activation_threshold(other.activation_threshold),
      cell_counts(std::move(other.cell_counts)),
      activity_map(std::move(other.activity_map)),
      active_cells(std::move(other.active_cells)),
      col_of_x(std::move(other.col_of_x)),
      row_of_y(std::move(other.row_of_y)) {
    chooseCellFunctions();
    // The moved-from object becomes an empty generator of a 0 x 0 sensor: no cell, no
    // pixel, so every call on it finds nothing rather than indexing the tables it lost.
    other.sensor_width = 0;
    other.sensor_height = 0;
    other.cell_rows = 0;
    other.cell_cols = 0;
    other.cell_counts.clear();
    other.activity_map.clear();
    other.active_cells.clear();
    other.col_of_x.clear();
    other.row_of_y.clear();
}

GridBasedClusterGenerator::~GridBasedClusterGenerator() = default;

void GridBasedClusterGenerator::chooseCellFunctions() {
    if (filter_type == POLARITY_SEPARATE) {
        cell_count = [this](int row, int col, int polarity) {
            saturatingIncrement(cell_counts[2 * cellIndex(row, col) + (polarity != 0 ? 1 : 0)]);
        };
        cell_test = [this](int row, int col) {
            const size_t base = 2 * cellIndex(row, col);
            return cell_counts[base] >= activation_threshold && cell_counts[base + 1] >= activation_threshold;
        };
    } else {
        cell_count = [this](int row, int col, int /*polarity*/) {
            saturatingIncrement(cell_counts[cellIndex(row, col)]);
        };
        cell_test = [this](int row, int col) { return cell_counts[cellIndex(row, col)] >= activation_threshold; };
    }
}

void GridBasedClusterGenerator::updateActiveCells(int row, int col) {
    if (!cell_test(row, col)) return;
    for (int r = row; r <= row + 1 && r < cell_rows; ++r) {
        for (int c = col; c <= col + 1 && c < cell_cols; ++c) active_cells[cellIndex(r, c)] = true;
    }
}

void GridBasedClusterGenerator::addEvents(const Event2D* first, const Event2D* last) {
    // Unknown filter values keep every event, like POLARITY_FREE.
    int dropped = 2;
    if (filter_type == POSITIVE_FREE) dropped = 1;
    if (filter_type == NEGATIVE_FREE) dropped = 0;
    const bool separate = filter_type == POLARITY_SEPARATE;
    for (const Event2D* e = first; e != last; ++e) {
        const int polarity = e->polarity != 0 ? 1 : 0;
        if (polarity == dropped) continue;
        if (e->x >= sensor_width || e->y >= sensor_height) continue;
        uint8_t& pixel = activity_map[static_cast<size_t>(e->y) * static_cast<size_t>(sensor_width) + e->x];
        const auto mark = static_cast<uint8_t>(1u << polarity);
        if (flag) {
            // Distinct pixels: a pixel already seen (with this polarity, when polarities are
            // counted apart) adds nothing.
            const uint8_t seen = separate ? static_cast<uint8_t>(pixel & mark) : pixel;
            pixel = static_cast<uint8_t>(pixel | mark);
            if (seen != 0) continue;
        } else {
            pixel = static_cast<uint8_t>(pixel | mark);
        }
        const int row = row_of_y[e->y];
        const int col = col_of_x[e->x];
        cell_count(row, col, polarity);
        updateActiveCells(row, col);
    }
}

void GridBasedClusterGenerator::generateClusters(size_t timestamp, std::vector<ClusterGeometry>& clusters) {
    clusters.clear();
    for (int row = 0; row < cell_rows; ++row) {
        for (int col = 0; col < cell_cols; ++col) {
            if (!active_cells[cellIndex(row, col)]) continue;
            int top = row, bottom = row, left = col, right = col;
            stack.clear();
            stack.push_back(cellIndex(row, col));
            while (!stack.empty()) {
                const size_t cell = stack.back();
                stack.pop_back();
                if (!active_cells[cell]) continue;
                active_cells[cell] = false;
                const int r = static_cast<int>(cell / static_cast<size_t>(cell_cols));
                const int c = static_cast<int>(cell % static_cast<size_t>(cell_cols));
                const auto push = [&](int nr, int nc) {
                    if (nr < 0 || nr >= cell_rows || nc < 0 || nc >= cell_cols) return;
                    const size_t next = cellIndex(nr, nc);
                    if (!active_cells[next]) return;
                    stack.push_back(next);
                    top = std::min(top, nr);
                    bottom = std::max(bottom, nr);
                    left = std::min(left, nc);
                    right = std::max(right, nc);
                };
                push(r - 1, c);
                push(r + 1, c);
                push(r, c - 1);
                push(r, c + 1);
            }
            // In 64 bits: with cells near INT_MAX a group's pixel size exceeds an int. The
            // size limits apply to the whole cells, the output is clipped to the sensor.
            const int64_t x = int64_t{left} * cell_width;
            const int64_t y = int64_t{top} * cell_height;
            const int64_t width = int64_t{right - left + 1} * cell_width;
            const int64_t height = int64_t{bottom - top + 1} * cell_height;
            if (width < min_size || width > max_size || height < min_size || height > max_size) continue;
            const int64_t clippedWidth = std::min<int64_t>(x + width, sensor_width) - x;
            const int64_t clippedHeight = std::min<int64_t>(y + height, sensor_height) - y;
            cv::Rect rect;  // (0, 0, 0, 0) when nothing of it lies on the sensor
            if (clippedWidth > 0 && clippedHeight > 0) {
                rect = cv::Rect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(clippedWidth),
                                static_cast<int>(clippedHeight));
            }
            clusters.emplace_back(cv::Rect_<float>(rect), timestamp);
        }
    }
    reset();
}

void GridBasedClusterGenerator::reset() {
    std::fill(activity_map.begin(), activity_map.end(), uint8_t{0});
    std::fill(cell_counts.begin(), cell_counts.end(), uint16_t{0});
}

void GridBasedClusterGenerator::getActiveMap(cv::Mat& map) {
    map = cv::Mat(sensor_height, sensor_width, CV_8UC1, activity_map.data());
}

bool GridBasedClusterGenerator::isCellActive(int row, int col) const {
    if (row < 0 || row >= cell_rows || col < 0 || col >= cell_cols) return false;
    return active_cells[cellIndex(row, col)];
}

uint16_t GridBasedClusterGenerator::getCellCount(int row, int col, int polarity) const {
    if (row < 0 || row >= cell_rows || col < 0 || col >= cell_cols) return 0;
    if (filter_type == POLARITY_SEPARATE) return cell_counts[2 * cellIndex(row, col) + (polarity != 0 ? 1 : 0)];
    return cell_counts[cellIndex(row, col)];
}

}  // namespace vireo
