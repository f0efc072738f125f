// Umbrella header of Vibration, the kit's per-pixel blinking-frequency detector.
#pragma once

#include <vireo/vibration_export.h>
#include <vireo/VibrationDetection.h>
