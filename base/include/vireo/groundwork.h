// Umbrella header of the Groundwork library: the logger, the text and byte helpers and the
// shared value types.
#pragma once

#include <vireo/Helpers.h>
#include <vireo/Logger.h>
#include <vireo/SharedTypes.h>
#include <vireo/version.h>
