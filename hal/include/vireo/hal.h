// Umbrella header of the Hal library, the kit's hardware-access layer: the raw event stream
// format, the EVT3 decoder and encoder, and the devices behind the cameras.
#pragma once

#include <vireo/Decoder.h>
#include <vireo/DecoderFactory.h>
#include <vireo/Evt3.h>
#include <vireo/Evt3Decoder.h>
#include <vireo/Evt3Encoder.h>
#include <vireo/RawEventStreamFormat.h>
#include <vireo/hal_export.h>
