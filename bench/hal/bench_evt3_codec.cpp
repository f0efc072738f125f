// Decode throughput of the EVT3 decoder against two references: a plain decoder with one
// switch per word that pushes every event into a std::vector, and memcpy of the same
// output volume (the memory-bandwidth bound of writing 16-byte events). Inputs: the real
// recording, decoded repeatedly from memory in 128 KiB buffers, and a dense synthetic
// stream made by the encoder (mostly vectors, as a busy sensor sends), also decoded for a
// smaller sensor than it covers (events off the sensor dropped). Figures: events per second
// and input bytes per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <memory>
#include <vector>

#include <vireo/hal.h>

namespace {

using namespace vireo;

constexpr size_t kBufferBytes = 131072;  // one USB transfer

std::vector<uint8_t> loadRecording() {
    std::ifstream in(std::string(VIREO_SHARED_DATA_DIR) + "/evt3_sample.raw", std::ios::binary);
    std::vector<uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t pos = 0;
    while (pos < all.size() && all[pos] == '%') {
        while (pos < all.size() && all[pos] != '\n') ++pos;
        ++pos;
    }
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(pos, all.size())));
    all.resize(all.size() & ~size_t{1});
    return all;
}

// A busy sensor: every microsecond a few rows with runs of nearby pixels and some isolated
// ones, about 12 events per row.
std::vector<uint8_t> makeDenseStream() {
    std::mt19937 rng(42);
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    std::vector<Event2D> group;
    for (uint64_t t = 1000; out.size() < 4 * 1024 * 1024; ++t) {
        for (int r = 0; r < 8; ++r) {
            group.clear();
            const uint16_t y = static_cast<uint16_t>(rng() % 720);
            const uint8_t pol = static_cast<uint8_t>(rng() & 1);
            uint16_t x = static_cast<uint16_t>(rng() % 1200);
            for (int i = 0; i < 10 && x < 1280; ++i, x = static_cast<uint16_t>(x + 1 + rng() % 2)) {
                group.emplace_back(x, y, pol, t);
            }
            group.emplace_back(static_cast<uint16_t>(rng() % 1280), y, static_cast<uint8_t>(pol ^ 1), t);
            encoder.encodeEvents(group, out);
        }
    }
    return out;
}

const std::vector<uint8_t>& input(int which) {
    static const std::vector<uint8_t> recording = loadRecording();
    static const std::vector<uint8_t> dense = makeDenseStream();
    return which == 0 ? recording : dense;
}

std::vector<std::vector<uint8_t>> cut(const std::vector<uint8_t>& body) {
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t pos = 0; pos < body.size(); pos += kBufferBytes) {
        buffers.emplace_back(body.begin() + static_cast<std::ptrdiff_t>(pos),
                             body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), pos + kBufferBytes)));
    }
    return buffers;
}

// The baseline: one switch per word, every event pushed into a vector (cleared, so its
// capacity is reused), the vector handed to the callback once per buffer.
class SwitchDecoder {
public:
    template <typename Callback>
    size_t decode(const std::vector<uint8_t>& buffer, Callback&& callback) {
        events_.clear();
        for (size_t i = 0; i + 1 < buffer.size(); i += 2) {
            const uint16_t w = static_cast<uint16_t>(buffer[i] | (buffer[i + 1] << 8));
            const uint16_t p = w & 0xFFF;
            switch (w >> 12) {
                case evt3::ADDR_Y: row_ = p & 0x7FF; rowKnown_ = true; break;
                case evt3::ADDR_X:
                    if (timeKnown_ && rowKnown_) events_.emplace_back(p & 0x7FF, row_, (p >> 11) & 1, time());
                    break;
                case evt3::VECT_BASE_X: base_ = p & 0x7FF; vpol_ = (p >> 11) & 1; break;
                case evt3::VECT_12:
                    for (int b = 0; b < 12; ++b)
                        if ((p >> b) & 1) events_.emplace_back(static_cast<uint16_t>(base_ + b), row_, vpol_, time());
                    base_ = static_cast<uint16_t>(base_ + 12);
                    break;
                case evt3::VECT_8:
                    for (int b = 0; b < 8; ++b)
                        if ((p >> b) & 1) events_.emplace_back(static_cast<uint16_t>(base_ + b), row_, vpol_, time());
                    base_ = static_cast<uint16_t>(base_ + 8);
                    break;
                case evt3::TIME_LOW: low_ = p; break;
                case evt3::TIME_HIGH:
                    if (high_ > p && high_ - p > 0x800) offset_ += uint64_t{1} << 24;
                    high_ = p;
                    timeKnown_ = true;
                    break;
                default: break;
            }
        }
        if (!events_.empty()) callback(events_.data(), events_.data() + events_.size());
        return events_.size();
    }

private:
    uint64_t time() const { return offset_ + ((uint64_t{high_} << 12) | low_); }
    std::vector<Event2D> events_;
    uint64_t offset_ = 0;
    uint32_t high_ = 0, low_ = 0;
    uint16_t row_ = 0, base_ = 0;
    uint8_t vpol_ = 0;
    bool timeKnown_ = false, rowKnown_ = false;
};

// What every consumer does at least: look at each range.
struct Sink {
    uint64_t events = 0;
    uint64_t check = 0;
    void operator()(const Event2D* first, const Event2D* last) {
        events += static_cast<uint64_t>(last - first);
        check += last[-1].timestamp;
    }
};

void setRates(benchmark::State& state, uint64_t events, uint64_t bytes) {
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Decodes `buffers` through a decoder of `format` once per iteration and reports the rates;
// the decoder is returned so a caller can read its counters.
std::unique_ptr<Decoder> runDecoder(benchmark::State& state, const std::vector<std::vector<uint8_t>>& buffers,
                                    const char* format) {
    auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat(format));
    Sink sink;
    decoder->setEventsStreamHandleCallback([&sink](const Event2D* f, const Event2D* l) { sink(f, l); });
    uint64_t events = 0, bytes = 0;
    for (auto _ : state) {
        decoder->reset();
        for (const auto& b : buffers) {
            events += decoder->decodeBuffer(b);
            bytes += b.size();
        }
    }
    benchmark::DoNotOptimize(sink.check);
    setRates(state, events, bytes);
    return decoder;
}

void BM_Evt3Decoder(benchmark::State& state) {
    runDecoder(state, cut(input(static_cast<int>(state.range(0)))), "EVT3;height=720;width=1280");
}

// The dense stream on a 640 x 360 sensor: most of its rows and columns lie off it, so the
// decoder's second loop (each ADDR_X tested against the row's width) runs throughout.
void BM_Evt3DecoderOffSensor(benchmark::State& state) {
    const auto decoder = runDecoder(state, cut(input(1)), "EVT3;height=360;width=640");
    state.counters["dropped_per_pass"] =
        static_cast<double>(decoder->getDroppedEventCount()) / static_cast<double>(state.iterations());
}

void BM_SwitchDecoderBaseline(benchmark::State& state) {
    const auto buffers = cut(input(static_cast<int>(state.range(0))));
    uint64_t events = 0, bytes = 0;
    Sink sink;
    for (auto _ : state) {
        SwitchDecoder decoder;
        for (const auto& b : buffers) {
            events += decoder.decode(b, sink);
            bytes += b.size();
        }
    }
    benchmark::DoNotOptimize(sink.check);
    setRates(state, events, bytes);
}

void BM_MemcpyOfOutputVolume(benchmark::State& state) {
    const auto& body = input(static_cast<int>(state.range(0)));
    Evt3Decoder counter;
    const uint64_t perPass = counter.decodeBytes(body.data(), body.data() + body.size());
    std::vector<Event2D> source(perPass, Event2D(1, 2, 1, 3)), target(perPass);
    uint64_t events = 0, bytes = 0;
    for (auto _ : state) {
        std::memcpy(static_cast<void*>(target.data()), source.data(), perPass * sizeof(Event2D));
        benchmark::ClobberMemory();
        events += perPass;
        bytes += body.size();
    }
    setRates(state, events, bytes);
}

void BM_Evt3Encoder(benchmark::State& state) {
    // Encoding speed on the events of the dense stream, for the simulator's budget.
    std::vector<Event2D> events;
    Evt3Decoder decoder;
    decoder.setEventsStreamHandleCallback([&events](const Event2D* f, const Event2D* l) { events.insert(events.end(), f, l); });
    decoder.decodeBuffer(input(1));
    std::vector<uint8_t> out;
    out.reserve(input(1).size() + 1024);
    for (auto _ : state) {
        Evt3Encoder encoder;
        out.clear();
        encoder.encodeEvents(events, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events.size() * state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(out.size() * state.iterations()));
}

}  // namespace

// Argument 0: the real recording; 1: the dense synthetic stream.
BENCHMARK(BM_Evt3Decoder)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Evt3DecoderOffSensor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SwitchDecoderBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpyOfOutputVolume)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Evt3Encoder)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
