// The decoder factory: maps a format name to its decoder.
#include <vireo/DecoderFactory.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <vireo/Evt3Decoder.h>

namespace vireo {

std::unique_ptr<Decoder> DecoderFactory::createUniqueDecoder(const RawEventStreamFormat& format) {
    std::string upper = format.name();
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper == "EVT3") {
        return std::make_unique<Evt3Decoder>(format.width().value_or(evt3::kCoordinateRange),
                                             format.height().value_or(evt3::kCoordinateRange));
    }
    throw std::invalid_argument("DecoderFactory: unsupported raw event stream format '" +
                                format.name() + "' (only EVT3 is supported)");
}

}  // namespace vireo
