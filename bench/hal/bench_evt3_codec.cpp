// Decode throughput of the EVT3 decoder against two references: a plain decoder with one
// switch per word inlined into its event sink (a template, no virtual call) that pushes
// every event into a reserved std::vector, and memcpy of the same output volume (the
// memory-bandwidth bound of writing 16-byte events). Each input is decoded from memory in
// 128 KiB buffers, the size of one USB transfer:
//   0  the real recording of ../shared/data (dense: rows of one to three pixels, vectors);
//   1  a sparse stream made by the encoder: isolated events on a new row each, a new time
//      every one or two events (mostly TIME_LOW, ADDR_Y and ADDR_X words);
//   2  the simulated camera's Random scene at 1 M events/s (a time word every event or two);
//   3  a moving edge made by the encoder, 20 columns per microsecond in readout order
//      (every row gets a run of pixels at each time: vectors);
//   4  a dense synthetic stream made by the encoder (mostly vectors, a busy sensor).
// Figures: events per second and input bytes per second, and at the end a table of the
// events per second of the decoder, the baseline and memcpy per input with the decoder's
// ratios to both (the median of the repetitions when run with --benchmark_repetitions; see
// docs/hal-codec.md).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <vireo/hal.h>
#include <vireo/test/SimulatedCameraSupport.h>

namespace {

using namespace vireo;

constexpr size_t kBufferBytes = 131072;  // one USB transfer
constexpr size_t kStreamBytes = 4 * 1024 * 1024;

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

// Isolated events, each on a row of its own, one or two per microsecond and a new
// microsecond after one to three: the words of a quiet scene.
std::vector<uint8_t> makeSparseStream() {
    std::mt19937 rng(7);
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    std::vector<Event2D> group;
    for (uint64_t t = 1000; out.size() < kStreamBytes; t += 1 + rng() % 3) {
        group.clear();
        const int count = 1 + static_cast<int>(rng() % 2);
        uint16_t y = static_cast<uint16_t>(rng() % 360);
        for (int i = 0; i < count; ++i, y = static_cast<uint16_t>(y + 1 + rng() % 359)) {
            group.emplace_back(static_cast<uint16_t>(rng() % 1280), y, static_cast<uint8_t>(rng() & 1), t);
        }
        encoder.encodeEvents(group, out);
    }
    return out;
}

// A busy sensor: every microsecond a few rows with runs of nearby pixels and some isolated
// ones, about 12 events per row.
std::vector<uint8_t> makeDenseStream() {
    std::mt19937 rng(42);
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    std::vector<Event2D> group;
    for (uint64_t t = 1000; out.size() < kStreamBytes; ++t) {
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

// The bytes a simulated camera streams for `config`, as fast as they are taken.
std::vector<uint8_t> captureScene(sim::SimulatedCameraConfig config) {
    config.real_time = false;
    const std::string serial = sim::plugCamera(config);
    std::vector<uint8_t> bytes;
    {
        test::OpenedCamera camera(serial);
        camera.decoder->setEventsStreamHandleCallback(nullptr);
        camera.keepBytes = true;
        camera.stream->start();
        test::startReadout(*camera.device);
        camera.pumpUntil([&] { return camera.bytes.size() >= kStreamBytes; });
        camera.stream->stop();
        bytes = std::move(camera.bytes);
    }
    sim::unplugCamera(serial);
    bytes.resize(std::min(bytes.size(), kStreamBytes));
    return bytes;
}

std::vector<uint8_t> makeRandomScene() {
    sim::SimulatedCameraConfig config;
    config.scene = sim::SceneType::Random;
    config.event_rate = 1e6;
    return captureScene(config);
}

// The simulated camera's MovingEdge scene crosses one column per tick, column by column,
// which a sensor would read out row by row: here the same edge is encoded in readout order,
// 20 columns entering every microsecond, so each row gets a run of 20 pixels per time
// (VECT_BASE_X, VECT_12, VECT_8 per row).
std::vector<uint8_t> makeMovingEdge() {
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    std::vector<Event2D> group;
    constexpr uint16_t kColumns = 20;
    for (uint64_t t = 1000, column = 0; out.size() < kStreamBytes; ++t, column = (column + kColumns) % 1280) {
        group.clear();
        for (uint16_t y = 0; y < 720; ++y) {
            for (uint16_t c = 0; c < kColumns; ++c) group.emplace_back(static_cast<uint16_t>(column + c), y, 1, t);
        }
        encoder.encodeEvents(group, out);
    }
    return out;
}

const char* const kInputNames[] = {"real recording", "sparse", "Random scene", "moving edge", "dense synthetic"};

const std::vector<uint8_t>& input(int which) {
    static std::vector<uint8_t> streams[5];
    static bool made[5] = {};
    if (!made[which]) {
        switch (which) {
            case 0: streams[0] = loadRecording(); break;
            case 1: streams[1] = makeSparseStream(); break;
            case 2: streams[2] = makeRandomScene(); break;
            case 3: streams[3] = makeMovingEdge(); break;
            default: streams[4] = makeDenseStream(); break;
        }
        made[which] = true;
    }
    return streams[which];
}

std::vector<std::vector<uint8_t>> cut(const std::vector<uint8_t>& body) {
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t pos = 0; pos < body.size(); pos += kBufferBytes) {
        buffers.emplace_back(body.begin() + static_cast<std::ptrdiff_t>(pos),
                             body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), pos + kBufferBytes)));
    }
    return buffers;
}

// False (and the benchmark skipped with a message) when the input could not be had.
bool haveInput(benchmark::State& state, int which) {
    if (!input(which).empty()) return true;
    state.SkipWithError((std::string(kInputNames[which]) + ": input not available (" +
                         (which == 0 ? std::string(VIREO_SHARED_DATA_DIR) + "/evt3_sample.raw missing)" : "not generated)"))
                            .c_str());
    return false;
}

// The baseline: one switch per word, inlined with its sink (a template parameter), every
// event pushed into a vector reserved once (cleared per buffer, so its capacity is reused)
// and the vector handed to the sink once per buffer. Exact EVT3: time high and low with the
// rollover, row, column, vector base with 12- and 8-bit masks, polarity; no event before the
// time and the row are known.
class SwitchDecoder {
public:
    SwitchDecoder() { events_.reserve(kBufferBytes / 2 * 12); }

    template <typename Sink>
    size_t decode(const std::vector<uint8_t>& buffer, Sink& sink) {
        events_.clear();
        for (size_t i = 0; i + 1 < buffer.size(); i += 2) {
            const uint16_t w = static_cast<uint16_t>(buffer[i] | (buffer[i + 1] << 8));
            const uint16_t p = w & 0xFFF;
            switch (w >> 12) {
                case evt3::ADDR_Y: row_ = p & 0x7FF; rowKnown_ = true; break;
                case evt3::ADDR_X:
                    if (timeKnown_ && rowKnown_) events_.emplace_back(p & 0x7FF, row_, (p >> 11) & 1, time());
                    break;
                case evt3::VECT_BASE_X: base_ = p & 0x7FF; vpol_ = (p >> 11) & 1; baseKnown_ = true; break;
                case evt3::VECT_12:
                    if (timeKnown_ && rowKnown_ && baseKnown_)
                        for (int b = 0; b < 12; ++b)
                            if ((p >> b) & 1) events_.emplace_back(static_cast<uint16_t>(base_ + b), row_, vpol_, time());
                    base_ = static_cast<uint16_t>(base_ + 12);
                    break;
                case evt3::VECT_8:
                    if (timeKnown_ && rowKnown_ && baseKnown_)
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
        if (!events_.empty()) sink(events_.data(), events_.data() + events_.size());
        return events_.size();
    }

    // Back to the start of a stream; the vector keeps its capacity.
    void reset() {
        offset_ = 0;
        high_ = low_ = 0;
        row_ = base_ = 0;
        vpol_ = 0;
        timeKnown_ = rowKnown_ = baseKnown_ = false;
    }

private:
    uint64_t time() const { return offset_ + ((uint64_t{high_} << 12) | low_); }
    std::vector<Event2D> events_;
    uint64_t offset_ = 0;
    uint32_t high_ = 0, low_ = 0;
    uint16_t row_ = 0, base_ = 0;
    uint8_t vpol_ = 0;
    bool timeKnown_ = false, rowKnown_ = false, baseKnown_ = false;
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
    state.counters["bytes_per_event"] =
        events == 0 ? 0.0 : static_cast<double>(bytes) / static_cast<double>(events);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetLabel(kInputNames[state.range(0)]);
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
    if (!haveInput(state, static_cast<int>(state.range(0)))) return;
    runDecoder(state, cut(input(static_cast<int>(state.range(0)))), "EVT3;height=720;width=1280");
}

// The dense stream on a 640 x 360 sensor: most of its rows and columns lie off it, so the
// decoder tests each ADDR_X against the row's width throughout.
void BM_Evt3DecoderOffSensor(benchmark::State& state) {
    const auto decoder = runDecoder(state, cut(input(4)), "EVT3;height=360;width=640");
    state.counters["dropped_per_pass"] =
        static_cast<double>(decoder->getDroppedEventCount()) / static_cast<double>(state.iterations());
}

void BM_SwitchDecoderBaseline(benchmark::State& state) {
    if (!haveInput(state, static_cast<int>(state.range(0)))) return;
    const auto buffers = cut(input(static_cast<int>(state.range(0))));
    uint64_t events = 0, bytes = 0;
    Sink sink;
    // One decoder for the whole run, as ours: its vector's pages are touched once, not
    // allocated again every pass.
    SwitchDecoder decoder;
    for (auto _ : state) {
        decoder.reset();
        for (const auto& b : buffers) {
            events += decoder.decode(b, sink);
            bytes += b.size();
        }
    }
    benchmark::DoNotOptimize(sink.check);
    setRates(state, events, bytes);
}

void BM_MemcpyOfOutputVolume(benchmark::State& state) {
    if (!haveInput(state, static_cast<int>(state.range(0)))) return;
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
    decoder.decodeBuffer(input(4));
    std::vector<uint8_t> out;
    out.reserve(input(4).size() + 1024);
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

// Argument: the input, numbered as in the comment at the top.
BENCHMARK(BM_Evt3Decoder)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SwitchDecoderBaseline)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpyOfOutputVolume)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Evt3DecoderOffSensor)->Arg(4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Evt3Encoder)->Unit(benchmark::kMicrosecond);

namespace {

// The console output, and the events per second of every run kept by benchmark and input
// for the closing table.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            const auto rate = run.counters.find("events_per_s");
            if (run.run_type != Run::RT_Iteration || run.error_occurred || rate == run.counters.end()) continue;
            rates_[run.run_name.function_name][run.run_name.args].push_back(rate->second.value);
        }
    }

    void printSummary() {
        if (rates_.empty()) return;
        std::printf("\n%-16s %12s %12s %12s %14s %12s\n", "input", "decoder", "baseline", "memcpy",
                    "dec/baseline", "dec/memcpy");
        std::printf("%-16s %12s %12s %12s\n", "", "M events/s", "M events/s", "M events/s");
        for (int which = 0; which < 5; ++which) {
            const std::string arg = std::to_string(which);
            const double ours = median("BM_Evt3Decoder", arg);
            const double base = median("BM_SwitchDecoderBaseline", arg);
            const double copy = median("BM_MemcpyOfOutputVolume", arg);
            if (ours == 0 && base == 0 && copy == 0) continue;
            // "-" for a figure whose benchmark did not run.
            const auto rate = [](double v) { return v > 0 ? std::to_string(static_cast<long long>(v / 1e6 + 0.5)) : "-"; };
            const auto ratio = [](double a, double b) {
                char text[32] = "-";
                if (a > 0 && b > 0) std::snprintf(text, sizeof(text), "%.2f", a / b);
                return std::string(text);
            };
            std::printf("%-16s %12s %12s %12s %14s %12s\n", kInputNames[which], rate(ours).c_str(), rate(base).c_str(),
                        rate(copy).c_str(), ratio(ours, base).c_str(), ratio(ours, copy).c_str());
        }
    }

private:
    // 0 when the benchmark did not run for this input.
    double median(const std::string& function, const std::string& arg) {
        auto& values = rates_[function][arg];
        if (values.empty()) return 0;
        std::sort(values.begin(), values.end());
        const size_t mid = values.size() / 2;
        return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
    }

    std::map<std::string, std::map<std::string, std::vector<double>>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    return 0;
}
