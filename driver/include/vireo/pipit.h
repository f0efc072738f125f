// Umbrella header of the Pipit library (the camera driver): includes its whole public API.
#pragma once

#include <vireo/Register.h>
#include <vireo/RegisterInfo.h>
#include <vireo/RegisterMap.h>
#include <vireo/RegisterTables.h>
