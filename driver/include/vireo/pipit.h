// Umbrella header of the Pipit library (the camera driver): includes its whole public API.
#pragma once

#include <vireo/ApsFileReader.h>
#include <vireo/CameraTool.h>
#include <vireo/DataToVideoConverter.h>
#include <vireo/DvsCamera.h>
#include <vireo/DvsCameraManager.h>
#include <vireo/DvsCameraPrivate.h>
#include <vireo/DvsEventCamera.h>
#include <vireo/DvsFileReader.h>
#include <vireo/EventDataExport.h>
#include <vireo/Imx415ApsCtrl.h>
#include <vireo/Imx415Sensor.h>
#include <vireo/Imx636Tools.h>
#include <vireo/Imx6x6Sensor.h>
#include <vireo/Mp4FileReader.h>
#include <vireo/PropheseeEVK4.h>
#include <vireo/RawFileReader.h>
#include <vireo/Register.h>
#include <vireo/RegisterController.h>
#include <vireo/RegisterInfo.h>
#include <vireo/RegisterMap.h>
#include <vireo/RegisterOperation.h>
#include <vireo/RegisterTables.h>
#include <vireo/Sensor.h>
#include <vireo/ToolInfo.h>
#include <vireo/VireoHeron.h>
