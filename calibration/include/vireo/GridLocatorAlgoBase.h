// The two abstract grid-locator bases. A grid locator finds the centres of a known
// calibration target (circles or chessboard corners) either in a stream of events or in
// ordinary frames and hands them out as image points for the Calibrator. The tag types
// EventBased and FrameBased select what a locator is fed; both bases hold the grid size
// and the sensor (or frame) size and share the virtual layout: destructor, locateGrid, then
// the private feeding hook.
//
// Grid convention used by every locator and by the Calibrator: `grid_cols` is the number of
// circles (or inner chessboard corners) per row and `grid_rows` the number of rows, as the
// target is printed or shown; centres come out row by row, `grid_cols` per row (see
// docs/calibration.md for the layouts and their numbering).
#pragma once

#include <vector>

#include <opencv2/core/types.hpp>
#include <opencv2/core/mat.hpp>

#include <vireo/SharedTypes.h>
#include <vireo/lensfit_export.h>

namespace vireo {

// Tag of the locators that are fed events.
struct EventBased {};
// Tag of the locators that are fed frames.
struct FrameBased {};

template <typename Input>
class GridLocatorAlgoBase;

// Base of the locators fed with events (processEvents, then locateGrid).
template <>
class LENSFIT_EXPORT GridLocatorAlgoBase<EventBased> {
public:
    virtual ~GridLocatorAlgoBase();

    // Writes the centres of a complete grid_cols x grid_rows grid into `centers`, row by row,
    // and returns true; false when no complete grid was found (each locator says what
    // `centers` then holds).
    virtual bool locateGrid(std::vector<cv::Point2f>& centers) = 0;

    // Feeds the events of the half-open range [begin, end), which may be empty.
    void processEvents(const Event2D* begin, const Event2D* end) { processEventsImpl(begin, end); }

    int getGridCols() const { return grid_cols; }
    int getGridRows() const { return grid_rows; }
    const cv::Size& getSensorSize() const { return sensor_size; }

protected:
    // Stores the three values without checking them.
    GridLocatorAlgoBase(int grid_cols, int grid_rows, const cv::Size& sensor_size);
    GridLocatorAlgoBase(const GridLocatorAlgoBase& other);
    GridLocatorAlgoBase& operator=(const GridLocatorAlgoBase& other);

    int grid_cols;         // circles per row
    int grid_rows;         // rows
    cv::Size sensor_size;  // pixels (width, height)

private:
    virtual void processEventsImpl(const Event2D* begin, const Event2D* end) = 0;
};

// Base of the locators fed with frames (processFrame, then locateGrid).
template <>
class LENSFIT_EXPORT GridLocatorAlgoBase<FrameBased> {
public:
    virtual ~GridLocatorAlgoBase();

    // As for the event-fed base.
    virtual bool locateGrid(std::vector<cv::Point2f>& centers) = 0;

    // Feeds one frame (8-bit grey or colour, as OpenCV's detectors accept).
    void processFrame(const cv::Mat& frame) { processFrameImpl(frame); }

    int getGridCols() const { return grid_cols; }
    int getGridRows() const { return grid_rows; }
    const cv::Size& getSensorSize() const { return sensor_size; }

protected:
    // Stores the three values without checking them.
    GridLocatorAlgoBase(int grid_cols, int grid_rows, const cv::Size& sensor_size);
    GridLocatorAlgoBase(const GridLocatorAlgoBase& other);
    GridLocatorAlgoBase& operator=(const GridLocatorAlgoBase& other);

    int grid_cols;         // circles or inner corners per row
    int grid_rows;         // rows
    cv::Size sensor_size;  // pixels; stored, not used by the frame locators

private:
    virtual void processFrameImpl(const cv::Mat& frame) = 0;
};

}  // namespace vireo
