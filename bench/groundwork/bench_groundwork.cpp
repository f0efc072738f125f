// Cost of the logger's hot paths: a message dropped by level (one comparison, no
// formatting) and the byte-swapping of a raw buffer.
#include <benchmark/benchmark.h>

#include <vector>

#include <vireo/groundwork.h>

static void BM_DroppedDebugMessage(benchmark::State& state) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_INFO);
    int value = 0;
    for (auto _ : state) {
        vireo::Logger::Instance().log_(vireo::LOG_DEBUG, __FILE__, __LINE__, "value %d", value++);
    }
}
BENCHMARK(BM_DroppedDebugMessage);

static void BM_ConvertEndian(benchmark::State& state) {
    std::vector<unsigned char> buffer(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        vireo::convertEndian(buffer);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ConvertEndian)->Arg(1 << 16)->Arg(1 << 20);

BENCHMARK_MAIN();
