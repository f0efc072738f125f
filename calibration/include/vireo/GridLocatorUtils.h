// Grid-centre ordering: from an unordered set of detected target centres (more than the
// grid needs is allowed), GridLocatorUtils picks exactly grid_cols x grid_rows of them in
// row-major grid order. It finds the grid's outline corners on the convex hull, decides the
// origin corner and which hull edge runs along a row, maps the image onto an ideal grid with
// a homography and takes, for every grid cell, the nearest detected centre.
//
// Symmetric grids are a rectangular lattice; asymmetric circle grids have every odd row
// shifted by half the pitch along the row, rows half a pitch apart. In the ideal grid a cell
// (column c, row r) lies at (c, r) * spacing (symmetric) or (2c + r mod 2, r) * spacing
// (asymmetric: the pitch along a row is two units).
#pragma once

#include <vector>

#include <opencv2/core/types.hpp>

#include <vireo/lensfit_export.h>

namespace vireo {

class LENSFIT_EXPORT GridLocatorUtils {
public:
    // `grid_cols` centres per row, `grid_rows` rows, `spacing` the unit of the ideal grid (any
    // positive value; the active-marker locator uses 1). Throws std::invalid_argument
    // "Grid dimensions must be at least 2x2", "Grid spacing must be greater than 0" (also for
    // NaN) or "Grid spacing must be a finite number".
    GridLocatorUtils(int grid_cols, int grid_rows, float spacing, bool is_asymmetric);
    GridLocatorUtils(const GridLocatorUtils&) = default;
    GridLocatorUtils& operator=(const GridLocatorUtils&) = default;
    GridLocatorUtils(GridLocatorUtils&&) = default;
    GridLocatorUtils& operator=(GridLocatorUtils&&) = default;

    // Orders `centers` into `out`: grid_cols x grid_rows detected centres, row by row from the
    // origin corner, and true. False when no grid can be read from the centres (too few hull
    // points, corners not found, a centre nearest to two cells, a cell without a centre within
    // 0.707 cells); `out` is then untouched when the outline fails and empty when a cell
    // fails. Centres that are nearest to no cell are ignored.
    bool sortGridCenters(const std::vector<cv::Point2f>& centers, std::vector<cv::Point2f>& out);

    int getGridCols() const { return grid_cols; }
    int getGridRows() const { return grid_rows; }
    float getSpacing() const { return spacing; }
    bool isAsymmetric() const { return is_asymmetric; }

private:
    friend struct GridLocatorUtilsTestAccess;

    int cornerCount() const { return is_asymmetric ? 6 : 4; }
    cv::Point2f idealPosition(int col, int row) const;
    // The cornerCount() sharpest hull vertices, in hull order.
    void findCorners(const std::vector<cv::Point2f>& hull, std::vector<cv::Point2f>& corners);
    // Asymmetric grids: the two ends of the short outline edge between the two most parallel
    // edges, which start the outline.
    void findOutsideCorners(const std::vector<cv::Point2f>& corners, std::vector<cv::Point2f>& outside);
    // The corners in outline order from the origin corner, the first edge along a row.
    void getSortedCorners(const std::vector<cv::Point2f>& hull, const std::vector<cv::Point2f>& centers,
                          const std::vector<cv::Point2f>& corners, const std::vector<cv::Point2f>& outside,
                          std::vector<cv::Point2f>& sorted);
    // Every centre mapped into ideal-grid coordinates (empty when no mapping exists).
    void rectifyGridCenters(const std::vector<cv::Point2f>& centers, const std::vector<cv::Point2f>& sorted,
                            std::vector<cv::Point2f>& mapped);
    // The nearest centre of every cell, row by row.
    bool parseGridCenters(const std::vector<cv::Point2f>& centers, const std::vector<cv::Point2f>& mapped,
                          std::vector<cv::Point2f>& out);

    int grid_cols;
    int grid_rows;
    float spacing;
    bool is_asymmetric;
};

}  // namespace vireo
