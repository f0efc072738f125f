// Layout of a calibration target's world points, as the Calibrator builds them.
#pragma once

#include <cstdint>

namespace vireo {

enum GridType : int32_t {
    // Rectangular lattice (chessboard inner corners or a symmetric circle grid): centre
    // (c, r) at (c, r) * spacing.
    SYMMETRIC_GRID = 0,
    // Circle grid whose rows lie half a pitch apart, every odd row shifted by half the pitch
    // along the row: centre (c, r) at (c + (r mod 2) / 2, r / 2) * spacing.
    ASYMMETRIC_GRID = 1,
};

}  // namespace vireo
