// The parts of the decoder interface that do not depend on the format: the callback
// setters and the time-window split of decoded ranges.
#include <vireo/Decoder.h>

namespace vireo {

Decoder::~Decoder() = default;

void Decoder::setEventsStreamHandleCallback(EventsCallback callback) {
    eventsCallback_ = std::move(callback);
}

void Decoder::setTriggerInCallback(TriggerInCallback callback) {
    triggerInCallback_ = std::move(callback);
}

Event2D* binarySearchTimestamp(uint64_t timestamp, Event2D* first, Event2D* last) {
    // Lower bound: the split keeps events at exactly `timestamp` in the later window.
    if (first == nullptr || last <= first) return first;
    size_t count = static_cast<size_t>(last - first);
    while (count > 0) {
        const size_t half = count / 2;
        Event2D* middle = first + half;
        if (middle->timestamp < timestamp) {
            first = middle + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return first;
}

const Event2D* binarySearchTimestamp(uint64_t timestamp, const Event2D* first,
                                     const Event2D* last) {
    return binarySearchTimestamp(timestamp, const_cast<Event2D*>(first),
                                 const_cast<Event2D*>(last));
}

}  // namespace vireo
