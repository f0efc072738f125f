// Creates the decoder for a raw event stream format. EVT3 is the only format the kit's
// cameras and files use.
#pragma once

#include <memory>

#include <vireo/Decoder.h>
#include <vireo/RawEventStreamFormat.h>
#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT DecoderFactory {
public:
    // A new decoder for `format`, in its initial state (no time, row or vector known). Its
    // "width" and "height" pieces are the sensor geometry: events outside it are dropped
    // (Decoder::getDroppedEventCount); a missing piece means the format's whole range (2048).
    // The format name is compared without regard to case ("EVT3", "evt3"). Any other format
    // throws std::invalid_argument: "DecoderFactory: unsupported raw event stream format
    // '<name>' (only EVT3 is supported)".
    static std::unique_ptr<Decoder> createUniqueDecoder(const RawEventStreamFormat& format);
};

}  // namespace vireo
