// Umbrella header of Lensfit, the calibration library: the grid locators for events and
// frames and their factory, the grid-centre ordering, and the calibrator with its JSON
// result file.
#pragma once

#include <vireo/lensfit_export.h>
#include <vireo/CalibData.h>
#include <vireo/Calibrator.h>
#include <vireo/EventActiveMarkerGridLocator.h>
#include <vireo/EventActiveMarkerGridLocatorConfig.h>
#include <vireo/EventDBSCANCircleGridLocatorAlgo.h>
#include <vireo/EventDBSCANCircleGridLocatorConfig.h>
#include <vireo/FrameChessboardGridLocatorAlgo.h>
#include <vireo/FrameCirclesAsymmetricGridLocatorAlgo.h>
#include <vireo/FrameCirclesSymmetricGridLocatorAlgo.h>
#include <vireo/GridLocator.h>
#include <vireo/GridLocatorAlgoBase.h>
#include <vireo/GridLocatorUtils.h>
#include <vireo/GridType.h>
