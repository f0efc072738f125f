// The soak: a simulated camera streaming as fast as the host reads is recorded through the
// camera API (DvsCameraManager::openCamera, startRecording, start, stopRecording) until more
// than 2^32 events and several rollovers of the 24-bit EVT3 clock (2^24 µs, about 16.8 s of
// sensor time) have passed; the recording is then reopened with RawFileReader, its index is
// reloaded and built again, and random seeks by time and by event number are checked against
// what the camera's own event callback saw while recording.
//
// While recording, the callback counts the events and keeps checkpoints: the event at given
// event numbers (random ones, and those around every multiple of 2^31) and, at given times
// (random ones, and those around every rollover), the number of events before that time and
// the first event at it or after. When the count passes the target the callback itself calls
// stopRecording: the file then ends with the raw buffer being decoded, so its last events are
// among the next ones the callback sees, which it keeps too ("tail"). After reopening:
//   - the file's event count lies in that tail window and its last events are the tail's;
//   - every seek's result is the checkpoint's (the event at a number; the count before a
//     time and the event there);
//   - the first event is the stream's first; the start time (the file's first non-zero
//     time) and the end time frame the events;
//   - the callback never saw time go back.
// Every difference is printed and counted as a mismatch; the exit status is 1 when any.
//
// The camera replays a generated body of 2^24 µs of a busy sensor (rows of nearby pixels
// as vector words, some isolated pixels, about 50 events per µs): each loop of the replay
// continues the clock through a rollover, so sensor time runs on seamlessly for as long as
// the soak lasts. --probe instead records a few seconds of each of several scenes and
// prints their rates, which is how that scene was chosen.
//
// Usage: bench_soak [--events=N] [--dir=PATH] [--seeks=N] [--scene-step=US] [--keep]
//                   [--damage] [--probe]
//   --events      events to record, default 4.5e9 (more than 2^32); VIREO_SOAK_EVENTS also
//   --dir         folder of the recording (and the camera's segments), default the build's
//                 bench-scratch/soak; VIREO_SOAK_DIR also
//   --seeks       random seeks of each kind on each index, default 1000
//   --scene-step  µs between the replayed body's event times, default 1 (16 is a light
//                 scene that passes a rollover within 10^8 events, for a short run)
//   --keep        keep the recording and its index files (deleted by default)
//   --damage      take one event out of the recording before reopening it: the run must
//                 then report mismatches (a check of the checks)
// Times are wall-clock and the process's CPU time (user + system), both printed: the machine
// is shared, so the wall time alone says little.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vireo/Evt3Encoder.h>
#include <vireo/groundwork.h>
#include <vireo/hal.h>
#include <vireo/pipit.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kRollover_us = uint64_t{1} << 24;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

// Wall and CPU time of one phase.
struct Stopwatch {
    Clock::time_point wall = Clock::now();
    double cpu = cpuSeconds();
    double wallSeconds() const { return seconds(Clock::now() - wall); }
    double cpuSecondsSince() const { return cpuSeconds() - cpu; }
};

struct Options {
    uint64_t events = 4'500'000'000ull;
    std::string dir = std::string(VIREO_BENCH_SCRATCH_DIR) + "/soak";
    size_t seeks = 1000;
    uint32_t sceneStep = 1;
    bool keep = false;
    bool probe = false;
    bool damage = false;
};

bool parseOptions(int argc, char** argv, Options& options) {
    if (const char* env = std::getenv("VIREO_SOAK_EVENTS")) options.events = std::strtoull(env, nullptr, 10);
    if (const char* env = std::getenv("VIREO_SOAK_DIR")) options.dir = env;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&arg](const char* name) -> const char* {
            const std::string prefix = std::string(name) + "=";
            return arg.rfind(prefix, 0) == 0 ? arg.c_str() + prefix.size() : nullptr;
        };
        const char* events = value("--events");
        const char* dir = value("--dir");
        const char* seeks = value("--seeks");
        const char* step = value("--scene-step");
        if (events) {
            options.events = static_cast<uint64_t>(std::strtod(events, nullptr));
        } else if (dir) {
            options.dir = dir;
        } else if (seeks) {
            options.seeks = std::strtoull(seeks, nullptr, 10);
        } else if (step) {
            options.sceneStep = static_cast<uint32_t>(std::strtoul(step, nullptr, 10));
        } else if (arg == "--damage") {
            options.damage = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--probe") {
            options.probe = true;
        } else {
            std::fprintf(stderr, "unknown argument %s\n"
                         "usage: bench_soak [--events=N] [--dir=PATH] [--seeks=N] [--scene-step=US] [--keep] [--damage] [--probe]\n", arg.c_str());
            return false;
        }
    }
    if (options.events == 0) {
        std::fprintf(stderr, "--events must be at least 1\n");
        return false;
    }
    if (options.sceneStep == 0 || options.sceneStep > 4096) {
        std::fprintf(stderr, "--scene-step must be within 1..4096\n");
        return false;
    }
    return true;
}

// ---- The replayed scene ------------------------------------------------------------------

struct Body {
    std::string path;
    uint64_t events = 0;  // per loop of 2^24 µs
    uint64_t bytes = 0;
};

// Writes (once; kept in the scratch folder) a RAW file whose body spans [0, 2^24) µs: every
// `step` µs one or two rows each with a run of 16 to 64 nearby pixels of one polarity (about
// 85 % of them set), and every other such time an isolated pixel. Replayed in a loop, the
// clock's high part goes from 4095 back to 0 at the loop: a rollover, the time going on at
// 2^24.
Body replayBody(uint32_t step) {
    Body body;
    body.path = std::string(VIREO_BENCH_SCRATCH_DIR) + "/soak_replay_body_step" + std::to_string(step) + ".raw";
    const std::string countPath = body.path + ".events";
    if (fs::exists(body.path) && fs::exists(countPath)) {
        std::ifstream in(countPath);
        in >> body.events;
        body.bytes = fs::file_size(body.path);
        if (body.events > 0) return body;
    }
    std::fprintf(stderr, "generating %s (once)...\n", body.path.c_str());
    fs::create_directories(fs::path(body.path).parent_path());
    std::ofstream out(body.path, std::ios::binary | std::ios::trunc);
    const std::string header = "% evt 3.0\n% format EVT3;height=720;width=1280\n% geometry 1280x720\n% end\n";
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    std::mt19937_64 rng(2026);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return lo + static_cast<uint32_t>(rng() % (hi - lo + 1)); };
    vireo::Evt3Encoder encoder;
    encoder.beginBuffer();
    std::vector<uint8_t> words;
    std::vector<vireo::Event2D> group;
    for (uint64_t t = 0; t < kRollover_us; t += step) {
        group.clear();
        const uint32_t rows = uni(1, 2);
        uint32_t y = uni(0, 719 - 360 * (rows - 1));
        for (uint32_t r = 0; r < rows; ++r, y += uni(1, 360)) {
            const uint32_t length = uni(16, 64);
            const uint32_t x0 = uni(0, 1279 - length);
            const auto pol = static_cast<uint8_t>(rng() & 1);
            // Each pixel set with probability 218/256 (85 %), a byte of random bits each.
            uint64_t bits = rng();
            for (uint32_t i = 0; i < length; ++i) {
                if (i % 8 == 0 && i > 0) bits = rng();
                if (((bits >> (8 * (i % 8))) & 0xFF) < 218) {
                    group.emplace_back(static_cast<uint16_t>(x0 + i), static_cast<uint16_t>(y), pol, t);
                }
            }
        }
        if ((t / step) % 2 == 0) {
            group.emplace_back(static_cast<uint16_t>(uni(0, 1279)), static_cast<uint16_t>(uni(0, 719)),
                               static_cast<uint8_t>(rng() & 1), t);
        }
        // Events of one time go out row by row.
        std::sort(group.begin(), group.end(), [](const vireo::Event2D& a, const vireo::Event2D& b) {
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
        body.events += group.size();
        encoder.encodeEvents(group, words);
        if (words.size() >= (16u << 20)) {
            out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(words.size()));
            words.clear();
        }
    }
    out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(words.size()));
    out.close();
    body.bytes = fs::file_size(body.path);
    std::ofstream(countPath) << body.events << "\n";
    return body;
}

vireo::sim::SimulatedCameraConfig replayConfig(const Body& body) {
    vireo::sim::SimulatedCameraConfig config;
    config.scene = vireo::sim::SceneType::Replay;
    config.replay_path = body.path;
    config.real_time = false;
    return config;
}

// ---- The recorded stream's own counters -------------------------------------------------

struct TimeCheckpoint {
    uint64_t time = 0;
    uint64_t eventsBefore = 0;  // events of the stream with a time below `time`
    vireo::Event2D event;       // the first event at `time` or later
};

struct IndexCheckpoint {
    uint64_t index = 0;
    vireo::Event2D event;
};

// State of the event callback: written on the camera thread only, read by the main thread
// once `finished` is set and the camera stopped.
struct StreamCounters {
    uint64_t target = 0;
    vireo::DvsCamera* camera = nullptr;
    size_t tailCapacity = 0;

    std::vector<uint64_t> indexTargets;  // ascending
    std::vector<uint64_t> timeTargets;   // ascending
    size_t nextIndex = 0, nextTime = 0;
    std::vector<IndexCheckpoint> indexCheckpoints;
    std::vector<TimeCheckpoint> timeCheckpoints;

    uint64_t count = 0;
    bool any = false;
    vireo::Event2D first, last;
    uint64_t firstNonZeroTime = 0;  // of the events (the file's start time is its first non-zero time)
    uint64_t backwardSteps = 0;  // events earlier than the one before them
    vireo::Event2D firstBackward;
    uint64_t firstBackwardIndex = 0;

    bool stopped = false;
    uint64_t countAtStop = 0;
    int stopResult = 0;
    Clock::time_point stopBegin, stopEnd;
    std::vector<vireo::Event2D> tail;  // the events after countAtStop
    std::atomic<bool> finished{false};
    std::atomic<bool> tailFull{false};

    void onEvents(const vireo::Event2D* f, const vireo::Event2D* l) {
        const uint64_t n = static_cast<uint64_t>(l - f);
        if (n == 0) return;
        if (stopped) {
            const size_t take = std::min<size_t>(n, tailCapacity - tail.size());
            tail.insert(tail.end(), f, f + take);
            if (tail.size() == tailCapacity) tailFull = true;
            count += n;
            return;
        }
        if (!any) first = *f;
        if (firstNonZeroTime == 0) {
            const auto* e = std::find_if(f, l, [](const vireo::Event2D& ev) { return ev.timestamp > 0; });
            if (e != l) firstNonZeroTime = e->timestamp;
        }
        uint64_t previous = any ? last.timestamp : f->timestamp;
        for (const vireo::Event2D* e = f; e != l; ++e) {
            if (e->timestamp < previous) {
                if (backwardSteps++ == 0) {
                    firstBackward = *e;
                    firstBackwardIndex = count + static_cast<uint64_t>(e - f);
                }
            }
            previous = e->timestamp;
        }
        any = true;
        last = *(l - 1);
        while (nextIndex < indexTargets.size() && indexTargets[nextIndex] < count + n) {
            indexCheckpoints.push_back({indexTargets[nextIndex], f[indexTargets[nextIndex] - count]});
            ++nextIndex;
        }
        const vireo::Event2D* at = f;
        while (nextTime < timeTargets.size() && last.timestamp >= timeTargets[nextTime]) {
            const uint64_t t = timeTargets[nextTime];
            at = std::find_if(at, l, [t](const vireo::Event2D& e) { return e.timestamp >= t; });
            timeCheckpoints.push_back({t, count + static_cast<uint64_t>(at - f), *at});
            ++nextTime;
        }
        count += n;
        if (count >= target) {
            // The raw buffer these events come from is in the recording already: the file
            // ends with it, somewhere among the next events this callback sees.
            stopped = true;
            countAtStop = count;
            stopBegin = Clock::now();
            stopResult = camera->stopRecording();
            stopEnd = Clock::now();
            finished = true;
        }
    }
};

// Random event numbers and times to keep checkpoints at (sorted), and the ones that matter
// most: around every multiple of 2^31 events and around every rollover of the clock.
void chooseTargets(StreamCounters& counters, uint64_t events, uint64_t expectedDuration_us, size_t perKind) {
    std::mt19937_64 rng(77);
    const size_t randomCount = perKind * 4;
    for (size_t i = 0; i < randomCount; ++i) {
        counters.indexTargets.push_back(std::uniform_int_distribution<uint64_t>(0, events - 1)(rng));
        counters.timeTargets.push_back(std::uniform_int_distribution<uint64_t>(0, expectedDuration_us)(rng));
    }
    std::vector<uint64_t> around = {0, events - 1};
    for (uint64_t k = 1; k << 31 < events; ++k) around.push_back(k << 31);
    for (uint64_t a : around) {
        for (int64_t d = -2; d <= 2; ++d) {
            const int64_t i = static_cast<int64_t>(a) + d;
            if (i >= 0 && static_cast<uint64_t>(i) < events) counters.indexTargets.push_back(static_cast<uint64_t>(i));
        }
    }
    for (uint64_t k = 1; k * kRollover_us <= expectedDuration_us + kRollover_us; ++k) {
        for (int64_t d = -2; d <= 2; ++d) counters.timeTargets.push_back(k * kRollover_us + static_cast<uint64_t>(d));
    }
    for (auto* v : {&counters.indexTargets, &counters.timeTargets}) {
        std::sort(v->begin(), v->end());
        v->erase(std::unique(v->begin(), v->end()), v->end());
    }
}

// Event numbers within 2 of a multiple of 2^31 (the index stores counts in 32 bits) or of
// the last event.
bool isForcedIndex(uint64_t i, uint64_t events) {
    const uint64_t r = i % (uint64_t{1} << 31);
    if (i + 2 >= events - 1 && i <= events + 1) return true;
    return r <= 2 || r >= (uint64_t{1} << 31) - 2;
}

bool isForcedTime(uint64_t t) {
    const uint64_t r = t % kRollover_us;
    return t >= kRollover_us - 2 && (r <= 2 || r >= kRollover_us - 2);
}

// ---- Checks after reopening -------------------------------------------------------------

struct Mismatches {
    uint64_t count = 0;
    template <class... Args>
    void report(const char* format, Args... args) {
        ++count;
        if (count <= 50) {
            std::printf("MISMATCH: ");
            std::printf(format, args...);
            std::printf("\n");
        }
    }
};

std::string show(const vireo::Event2D& e) {
    char text[96];
    std::snprintf(text, sizeof text, "(x %u, y %u, p %u, t %" PRIu64 ")", e.x, e.y, e.polarity, e.timestamp);
    return text;
}

double threadCpuMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Per seek the wall time and the CPU time of the seeking thread: on a shared machine the
// wall time's tail is mostly waiting for a core, which the CPU time leaves out.
struct Latencies {
    std::vector<double> wall, cpu;
    Clock::time_point wallBegin;
    double cpuBegin = 0;
    void begin() {
        wallBegin = Clock::now();
        cpuBegin = threadCpuMicroseconds();
    }
    void end() {
        cpu.push_back(threadCpuMicroseconds() - cpuBegin);
        wall.push_back(std::chrono::duration<double, std::micro>(Clock::now() - wallBegin).count());
    }
    static void line(const char* what, std::vector<double>& us) {
        std::sort(us.begin(), us.end());
        auto at = [&us](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * static_cast<double>(us.size())))]; };
        std::printf("  %-34s %5zu seeks: median %8.1f us  p99 %8.1f us  max %8.1f us\n", what, us.size(), at(0.5),
                    at(0.99), us.back());
    }
    void print(const std::string& what) {
        if (wall.empty()) return;
        line((what + ", wall").c_str(), wall);
        line((what + ", CPU").c_str(), cpu);
    }
};

// Seeks at random checkpoints (and at every forced one) by time and by event number, each
// followed by a read of one event, checked against the checkpoint.
void randomSeeks(vireo::RawFileReader& reader, const StreamCounters& counters, size_t perKind, const char* label,
                 Mismatches& mismatches) {
    uint64_t fileEvents = 0, start = 0;
    reader.getMaxEvents(fileEvents);
    reader.getStartTimeStamp(start);
    std::mt19937_64 rng(99);
    std::vector<const IndexCheckpoint*> byIndex;
    std::vector<const TimeCheckpoint*> byTime;
    for (const auto& c : counters.indexCheckpoints) {
        if (c.index < fileEvents) byIndex.push_back(&c);
    }
    for (const auto& c : counters.timeCheckpoints) {
        // seekTime refuses a time before the start (which is not below 1).
        if (c.eventsBefore < fileEvents && c.time >= start) byTime.push_back(&c);
    }
    std::shuffle(byIndex.begin(), byIndex.end(), rng);
    std::shuffle(byTime.begin(), byTime.end(), rng);
    // The first `perKind` of the shuffled ones, then every forced one not among them.
    auto pick = [perKind](auto& all, auto forced) {
        std::vector<std::remove_reference_t<decltype(all[0])>> chosen;
        for (size_t i = 0; i < all.size(); ++i) {
            if (i < perKind || forced(*all[i])) chosen.push_back(all[i]);
        }
        return chosen;
    };
    const auto indexSeeks = pick(byIndex, [fileEvents](const IndexCheckpoint& c) { return isForcedIndex(c.index, fileEvents); });
    const auto timeSeeks = pick(byTime, [](const TimeCheckpoint& c) { return isForcedTime(c.time); });

    Latencies indexLatency, timeLatency;
    for (const IndexCheckpoint* c : indexSeeks) {
        indexLatency.begin();
        const bool ok = reader.seekNEvents(c->index);
        const auto events = reader.getNEvents(1);
        indexLatency.end();
        if (!ok || !events || events->size() != 1) {
            mismatches.report("%s: seek to event %" PRIu64 " failed (seek %d, %zu events read)", label, c->index, ok,
                              events ? events->size() : size_t{0});
        } else if ((*events)[0] != c->event) {
            mismatches.report("%s: event %" PRIu64 " is %s, the stream had %s", label, c->index,
                              show((*events)[0]).c_str(), show(c->event).c_str());
        }
    }
    for (const TimeCheckpoint* c : timeSeeks) {
        timeLatency.begin();
        const bool ok = reader.seekTime(c->time);
        const uint64_t position = reader.getCurrentPosEventNum();
        const auto events = reader.getNEvents(1);
        timeLatency.end();
        if (!ok || !events || events->size() != 1) {
            mismatches.report("%s: seek to time %" PRIu64 " failed (seek %d, %zu events read)", label, c->time, ok,
                              events ? events->size() : size_t{0});
        } else if (position != c->eventsBefore || (*events)[0] != c->event) {
            mismatches.report("%s: at time %" PRIu64 " the reader stands at event %" PRIu64 " %s, the stream had %" PRIu64
                              " events before it and then %s",
                              label, c->time, position, show((*events)[0]).c_str(), c->eventsBefore,
                              show(c->event).c_str());
        }
    }
    std::printf("%s:\n", label);
    indexLatency.print("seek by event + read 1");
    timeLatency.print("seek by time + read 1");
}

// The file's count, its first and last events, and its start and end times against the stream.
void checkTotals(vireo::RawFileReader& reader, const StreamCounters& counters, const char* label,
                 Mismatches& mismatches) {
    uint64_t fileEvents = 0, start = 0, end = 0;
    reader.getMaxEvents(fileEvents);
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    if (fileEvents < counters.countAtStop || fileEvents > counters.countAtStop + counters.tail.size()) {
        mismatches.report("%s: the file holds %" PRIu64 " events, the stream had %" PRIu64
                          " when stopRecording was called and %zu more were seen after it",
                          label, fileEvents, counters.countAtStop, counters.tail.size());
        return;
    }
    const auto firstEvents = reader.getNEventsGivenStartEvent(0, 1);
    if (!firstEvents || firstEvents->size() != 1 || (*firstEvents)[0] != counters.first) {
        mismatches.report("%s: the file's first event differs from the stream's %s", label, show(counters.first).c_str());
    }
    // The file's events past countAtStop are the first ones the callback saw after the stop.
    const uint64_t extra = fileEvents - counters.countAtStop;
    const uint64_t from = counters.countAtStop >= 1000 ? counters.countAtStop - 1000 : 0;
    if (!reader.seekNEvents(from)) {
        mismatches.report("%s: seek to event %" PRIu64 " failed", label, from);
        return;
    }
    const auto lastEvents = reader.getNEvents(fileEvents - from);
    const uint64_t lead = counters.countAtStop - from;
    if (!lastEvents || lastEvents->size() != fileEvents - from) {
        mismatches.report("%s: reading the last %" PRIu64 " events gave %zu", label, fileEvents - from,
                          lastEvents ? lastEvents->size() : size_t{0});
        return;
    }
    if (lead > 0 && (*lastEvents)[lead - 1] != counters.last) {
        mismatches.report("%s: event %" PRIu64 " is %s, the stream had %s", label, counters.countAtStop - 1,
                          show((*lastEvents)[lead - 1]).c_str(), show(counters.last).c_str());
    }
    for (uint64_t i = 0; i < extra; ++i) {
        if ((*lastEvents)[lead + i] != counters.tail[i]) {
            mismatches.report("%s: event %" PRIu64 " is %s, the stream had %s", label, counters.countAtStop + i,
                              show((*lastEvents)[lead + i]).c_str(), show(counters.tail[i]).c_str());
            break;
        }
    }
    const vireo::Event2D fileLast = lastEvents->back();
    // The start time is the file's first non-zero time: events at time 0 come before it.
    const uint64_t firstNonZero = counters.firstNonZeroTime > 0 ? counters.firstNonZeroTime : counters.first.timestamp;
    if (start > std::max<uint64_t>(firstNonZero, 1) || end < fileLast.timestamp) {
        mismatches.report("%s: start %" PRIu64 " and end %" PRIu64 " do not frame the events (%" PRIu64 " .. %" PRIu64 ")",
                          label, start, end, counters.first.timestamp, fileLast.timestamp);
    }
    std::printf("%s: %" PRIu64 " events (%" PRIu64 " after the stopRecording call), start %" PRIu64 " us, end %" PRIu64
                " us, first event %s, last %s\n",
                label, fileEvents, extra, start, end, show(counters.first).c_str(), show(fileLast).c_str());
}

void removeRecording(const std::string& raw) {
    const std::string stem = raw.substr(0, raw.size() - 4);
    for (const std::string& p : {raw, stem + ".dsmark.tmp", stem + ".dsmark.state"}) fs::remove(p);
}

// For checking the checks: takes one event out of the recording near its middle, the lowest
// set bit of the first VECT_12 word there with more than one (the stream stays valid, one
// event shorter, of the same size). The soak must then report mismatches.
bool damageRecording(const std::string& raw) {
    uint64_t dataStart = 0;
    {
        vireo::RawFileReader reader(raw);
        if (!reader.loadFile()) return false;
        dataStart = reader.getHeaderSize();
    }
    const uint64_t size = fs::file_size(raw);
    const uint64_t from = dataStart + (((size - dataStart) / 2) & ~uint64_t{1});
    std::fstream file(raw, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<uint8_t> bytes(1 << 20);
    file.seekg(static_cast<std::streamoff>(from));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const auto got = static_cast<size_t>(file.gcount()) & ~size_t{1};
    for (size_t i = 0; i < got; i += 2) {
        const uint16_t word = static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8));
        const uint16_t mask = word & 0xFFF;
        if ((word >> 12) != 0x4 || (mask & (mask - 1)) == 0) continue;
        const uint16_t damaged = static_cast<uint16_t>((word & 0xF000) | (mask & (mask - 1)));
        const char out[2] = {static_cast<char>(damaged & 0xFF), static_cast<char>(damaged >> 8)};
        file.clear();
        file.seekp(static_cast<std::streamoff>(from + i));
        file.write(out, 2);
        std::printf("\ndamaged the recording: one event taken out of the vector word at byte %" PRIu64 "\n",
                    from + i);
        return static_cast<bool>(file.flush());
    }
    return false;
}

std::shared_ptr<vireo::DvsCamera> openThroughManager(vireo::DvsCameraManager& manager, const std::string& serial,
                                                     const std::string& segments) {
    manager.updateCameras();
    auto camera = manager.openCamera(serial);
    if (!camera) return camera;
    // The segments on the recording's file system, so the stop renames the file into place.
    if (auto* recorder = dynamic_cast<vireo::DvsCameraPrivate*>(camera.get())) recorder->setSegmentDirectory(segments);
    return camera;
}

// ---- The soak -----------------------------------------------------------------------------

int soak(const Options& options) {
    fs::create_directories(options.dir);
    const std::string raw = options.dir + "/soak.raw";
    const std::string segments = options.dir + "/segments";
    removeRecording(raw);

    const Body body = replayBody(options.sceneStep);
    const double bytesPerEvent = static_cast<double>(body.bytes) / static_cast<double>(body.events);
    const double eventsPerMicrosecond = static_cast<double>(body.events) / static_cast<double>(kRollover_us);
    const auto expectedBytes = static_cast<uint64_t>(static_cast<double>(options.events) * bytesPerEvent);
    const auto expectedDuration = static_cast<uint64_t>(static_cast<double>(options.events) / eventsPerMicrosecond);
    const uint64_t available = fs::space(options.dir).available;
    std::printf("scene: replay of %s, %" PRIu64 " events and %.1f MB per 2^24 us loop (%.2f events/us, %.3f bytes/event)\n",
                body.path.c_str(), body.events, static_cast<double>(body.bytes) / 1e6, eventsPerMicrosecond, bytesPerEvent);
    std::printf("target: %" PRIu64 " events, about %.1f s of sensor time and %.2f GB; %.1f GB free in %s\n",
                options.events, static_cast<double>(expectedDuration) / 1e6, static_cast<double>(expectedBytes) / 1e9,
                static_cast<double>(available) / 1e9, options.dir.c_str());
    if (expectedBytes + (uint64_t{2} << 30) > available) {
        std::printf("not enough disk space for the recording\n");
        return 2;
    }

    StreamCounters counters;
    counters.target = options.events;
    counters.tailCapacity = 16u << 20;
    chooseTargets(counters, options.events, expectedDuration, std::max<size_t>(options.seeks, 1));
    counters.tail.reserve(counters.tailCapacity);

    const std::string serial = vireo::sim::plugCamera(replayConfig(body));
    vireo::DvsCameraManager manager;
    auto camera = openThroughManager(manager, serial, segments);
    if (!camera) {
        std::printf("the simulated camera did not open\n");
        vireo::sim::unplugCamera(serial);
        return 2;
    }
    counters.camera = camera.get();
    camera->addEventsStreamHandleCallback(
        [&counters](const vireo::Event2D* f, const vireo::Event2D* l) { counters.onEvents(f, l); });

    // Recording from before the start: the file holds the stream from its first byte, on the
    // same time line as the callback's events.
    const Stopwatch recording;
    if (camera->startRecording(raw) != 0) {
        std::printf("startRecording failed\n");
        return 2;
    }
    camera->start();
    uint64_t lastReport = 0;
    while (!counters.finished.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double wall = recording.wallSeconds();
        if (wall - static_cast<double>(lastReport) >= 30) {
            lastReport = static_cast<uint64_t>(wall);
            std::fprintf(stderr, "  %.0f s: recording...\n", wall);
        }
    }
    const double recordWall = seconds(counters.stopEnd - recording.wall);
    const double recordCpu = recording.cpuSecondsSince();
    const auto tailWait = Clock::now();
    while (!counters.tailFull.load() && seconds(Clock::now() - tailWait) < 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    camera->stop();
    const auto dropped = vireo::sim::droppedBuffers(serial).value_or(0);
    camera.reset();
    vireo::sim::unplugCamera(serial);

    const uint64_t fileBytes = fs::exists(raw) ? fs::file_size(raw) : 0;
    const uint64_t duration = counters.last.timestamp - counters.first.timestamp;
    const uint64_t rollovers = counters.last.timestamp / kRollover_us - counters.first.timestamp / kRollover_us;
    std::printf("\nrecorded: %" PRIu64 " events when stopRecording was called, sensor time %.3f s (%" PRIu64 " .. %" PRIu64
                " us), %" PRIu64 " rollovers of the 2^24 us clock\n",
                counters.countAtStop, static_cast<double>(duration) / 1e6, counters.first.timestamp,
                counters.last.timestamp, rollovers);
    std::printf("  file %.3f GB (%.3f bytes/event); stopRecording %d in %.3f s; dropped buffers %" PRIu64 "\n",
                static_cast<double>(fileBytes) / 1e9,
                static_cast<double>(fileBytes) / static_cast<double>(std::max<uint64_t>(counters.countAtStop, 1)),
                counters.stopResult, seconds(counters.stopEnd - counters.stopBegin), dropped);
    std::printf("  wall %.1f s, CPU %.1f s (%.2f cores): %.1f M events/s, %.1f MB/s\n", recordWall, recordCpu,
                recordCpu / recordWall, static_cast<double>(counters.countAtStop) / recordWall / 1e6,
                static_cast<double>(fileBytes) / recordWall / 1e6);

    Mismatches mismatches;
    if (counters.stopResult != 0) mismatches.report("stopRecording returned %d", counters.stopResult);
    if (counters.backwardSteps != 0) {
        mismatches.report("the stream's time went back %" PRIu64 " times, first at event %" PRIu64 " %s",
                          counters.backwardSteps, counters.firstBackwardIndex, show(counters.firstBackward).c_str());
    }
    if (counters.tail.size() < counters.tailCapacity) {
        std::printf("  (the callback saw %zu events after the stop)\n", counters.tail.size());
    }

    if (options.damage && !damageRecording(raw)) mismatches.report("the recording could not be damaged");

    {
        // Reopening: the recorder wrote the index beside the file.
        vireo::RawFileReader reader(raw);
        const Stopwatch load;
        const bool loaded = reader.loadFile();
        std::printf("\nreopened: loadFile %s in %.3f s wall, %.3f s CPU (index %s)\n", loaded ? "ok" : "FAILED",
                    load.wallSeconds(), load.cpuSecondsSince(), reader.isIndexReloaded() ? "reloaded" : "built");
        if (!loaded) {
            mismatches.report("the recording did not load");
        } else {
            if (!reader.isIndexReloaded()) mismatches.report("the recorder's index was not reloaded");
            checkTotals(reader, counters, "recorder's index", mismatches);
            randomSeeks(reader, counters, options.seeks, "recorder's index", mismatches);
        }
    }
    {
        // Indexing afresh: the reader's own scan.
        const std::string stem = raw.substr(0, raw.size() - 4);
        fs::remove(stem + ".dsmark.tmp");
        fs::remove(stem + ".dsmark.state");
        vireo::RawFileReader reader(raw);
        const Stopwatch build;
        const bool loaded = reader.loadFile();
        const double wall = build.wallSeconds();
        std::printf("\nindexed afresh: loadFile %s in %.3f s wall, %.3f s CPU (%.2f GB/s)\n", loaded ? "ok" : "FAILED",
                    wall, build.cpuSecondsSince(), static_cast<double>(fileBytes) / wall / 1e9);
        if (!loaded || reader.isIndexReloaded()) {
            mismatches.report("the index build failed");
        } else {
            checkTotals(reader, counters, "reader's own index", mismatches);
            randomSeeks(reader, counters, options.seeks, "reader's own index", mismatches);
        }
    }

    std::printf("\n%" PRIu64 " mismatches\n", mismatches.count);
    if (options.keep) {
        std::printf("kept %s\n", raw.c_str());
    } else {
        removeRecording(raw);
    }
    std::error_code ignored;
    fs::remove(segments, ignored);
    return mismatches.count == 0 ? 0 : 1;
}

// ---- Probe: how fast each scene records ---------------------------------------------------

void probeScene(const char* name, const vireo::sim::SimulatedCameraConfig& config, const Options& options) {
    fs::create_directories(options.dir);
    const std::string raw = options.dir + "/probe.raw";
    const std::string serial = vireo::sim::plugCamera(config);
    vireo::DvsCameraManager manager;
    auto camera = openThroughManager(manager, serial, options.dir + "/segments");
    if (!camera) {
        std::printf("%-34s did not open\n", name);
        vireo::sim::unplugCamera(serial);
        return;
    }
    std::atomic<uint64_t> events{0};
    std::atomic<uint64_t> lastTime{0};
    camera->addEventsStreamHandleCallback([&](const vireo::Event2D* f, const vireo::Event2D* l) {
        events.fetch_add(static_cast<uint64_t>(l - f), std::memory_order_relaxed);
        lastTime.store((l - 1)->timestamp, std::memory_order_relaxed);
    });
    const Stopwatch watch;
    camera->startRecording(raw);
    camera->start();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    camera->stopRecording();
    const double wall = watch.wallSeconds();
    const double cpu = watch.cpuSecondsSince();
    const uint64_t n = events.load();
    camera->stop();
    camera.reset();
    vireo::sim::unplugCamera(serial);
    const uint64_t bytes = fs::exists(raw) ? fs::file_size(raw) : 0;
    std::printf("%-34s %7.1f M events/s %7.1f MB/s %6.3f bytes/event %7.2f sensor s per s  CPU %.2f cores\n", name,
                static_cast<double>(n) / wall / 1e6, static_cast<double>(bytes) / wall / 1e6,
                static_cast<double>(bytes) / static_cast<double>(std::max<uint64_t>(n, 1)),
                static_cast<double>(lastTime.load()) / 1e6 / wall, cpu / wall);
    removeRecording(raw);
}

int probe(const Options& options) {
    std::printf("recording 4 s of each scene as fast as the host reads:\n");
    vireo::sim::SimulatedCameraConfig config;
    config.real_time = false;
    for (double rate : {1e7, 5e7, 2e8}) {
        config.scene = vireo::sim::SceneType::Random;
        config.event_rate = rate;
        probeScene(("Random " + std::to_string(static_cast<int>(rate / 1e6)) + " M/s").c_str(), config, options);
    }
    config.scene = vireo::sim::SceneType::MovingEdge;
    config.edge_speed = 1e5;
    probeScene("MovingEdge 1e5 px/s", config, options);
    config = {};
    config.real_time = false;
    config.scene = vireo::sim::SceneType::BlinkingGrid;
    config.grid_cols = 300;
    config.grid_rows = 170;
    config.blink_frequency_hz = 1000;
    probeScene("BlinkingGrid 300x170 at 1 kHz", config, options);
    probeScene("Replay of the soak's body", replayConfig(replayBody(options.sceneStep)), options);
    std::error_code ignored;
    fs::remove(options.dir + "/segments", ignored);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return 2;
    vireo::Logger::Instance().setLogLevel(vireo::LOG_WARN);
    return options.probe ? probe(options) : soak(options);
}
