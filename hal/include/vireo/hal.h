// Umbrella header of the Hal library, the kit's hardware-access layer: the raw event stream
// format, the EVT3 decoder and encoder, and the devices behind the cameras.
#pragma once

#include <vireo/CameraDescription.h>
#include <vireo/CtrlFrame.h>
#include <vireo/Decoder.h>
#include <vireo/DecoderFactory.h>
#include <vireo/EndpointSource.h>
#include <vireo/EventStream.h>
#include <vireo/Evt3.h>
#include <vireo/Evt3Decoder.h>
#include <vireo/Evt3Encoder.h>
#include <vireo/Interface.h>
#include <vireo/RawEventStreamFormat.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/UsbInterface.h>
#include <vireo/hal_export.h>
