// The bookmark index ("<name>.dsmark.tmp") and its companion ("<name>.dsmark.state") beside
// a fixed, valid recording. Input layout: one byte of flags, two bytes (little-endian) giving
// the index file's length L, then L bytes of index file, then the companion's bytes; an
// empty part means the file is absent. Flag 1 makes the index's trailing CRC-8 good, flag 2
// the companion's CRC-32 of the index and its own CRC-32, so that mutations reach the
// checks a checksum would otherwise hide (a CRC-8 lets one random change in 256 through).
//
// Whatever the two files hold, the reader must load the recording and read exactly what it
// reads with no index at all: either it trusts the files because they fit the recording, or
// it refuses them and builds the index again. Start, end, count, the whole sequential read
// and reads after seeks at spread-out events and times are compared.
//
// With VIREO_FUZZ_WRITE_SEEDS=<folder> in the environment the target writes its seed inputs
// (the recording's own files, and the index without companion) there and exits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <vireo/RawFileReader.h>

#include "FuzzSupport.h"

namespace {

using namespace vireo;
using fuzz::check;

struct Baseline {
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t count = 0;
    std::vector<Event2D> all;
};

const std::string& recordingPath() {
    static const std::string path = fuzz::scratchFile("indexed.raw");
    return path;
}
std::string indexPath() { return fuzz::scratchFile("indexed.dsmark.tmp"); }
std::string companionPath() { return fuzz::scratchFile("indexed.dsmark.state"); }

Baseline read(RawFileReader& reader) {
    Baseline b;
    reader.getStartTimeStamp(b.start);
    reader.getEndTimeStamp(b.end);
    reader.getMaxEvents(b.count);
    b.all = *reader.getNEventsGivenStartEvent(0, b.count);
    return b;
}

Baseline& baseline() {
    static Baseline b;
    return b;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
    }
    return bytes;
}

void writeSeed(const std::string& folder, const std::string& name, const std::vector<uint8_t>& index,
               const std::vector<uint8_t>& companion) {
    std::vector<uint8_t> seed{3, static_cast<uint8_t>(index.size()), static_cast<uint8_t>(index.size() >> 8)};
    seed.insert(seed.end(), index.begin(), index.end());
    seed.insert(seed.end(), companion.begin(), companion.end());
    fuzz::writeBytes(folder + "/" + name, seed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogs();
    fuzz::writeBytes(recordingPath(), fuzz::smallRecording());
    fuzz::removeFile(indexPath());
    fuzz::removeFile(companionPath());
    RawFileReader reader(recordingPath());
    check(reader.loadFile(), "the fixed recording does not load");
    check(!reader.isIndexReloaded(), "the fixed recording reloaded an index");
    baseline() = read(reader);
    check(baseline().count > 1000 && baseline().all.size() == baseline().count, "the fixed recording reads short");
    if (const char* folder = std::getenv("VIREO_FUZZ_WRITE_SEEDS")) {
        const std::vector<uint8_t> index = fileBytes(indexPath());
        const std::vector<uint8_t> companion = fileBytes(companionPath());
        check(!index.empty() && !companion.empty() && index.size() < 65536, "the reader saved no index files");
        writeSeed(folder, "index-and-companion", index, companion);
        writeSeed(folder, "index-alone", index, {});
        writeSeed(folder, "companion-alone", {}, companion);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t flags = data[0];
    size_t indexLength = static_cast<size_t>(data[1] | data[2] << 8);
    if (indexLength > size - 3) indexLength = size - 3;
    std::vector<uint8_t> index(data + 3, data + 3 + indexLength);
    std::vector<uint8_t> companion(data + 3 + indexLength, data + size);
    if ((flags & 1) && !index.empty()) index.back() = fuzz::crc8(index.data(), index.size() - 1);
    if ((flags & 2) && companion.size() >= 28) {
        const uint32_t indexCrc = fuzz::crc32(index.data(), index.size());
        for (int i = 0; i < 4; ++i) companion[20 + static_cast<size_t>(i)] = static_cast<uint8_t>(indexCrc >> (8 * i));
        const size_t body = companion.size() - 4;
        const uint32_t own = fuzz::crc32(companion.data(), body);
        for (int i = 0; i < 4; ++i) companion[body + static_cast<size_t>(i)] = static_cast<uint8_t>(own >> (8 * i));
    }

    if (!index.empty()) fuzz::writeBytes(indexPath(), index);
    else fuzz::removeFile(indexPath());
    if (!companion.empty()) fuzz::writeBytes(companionPath(), companion);
    else fuzz::removeFile(companionPath());

    RawFileReader reader(recordingPath());
    check(reader.loadFile(), "a bad index made the recording unreadable");
    const Baseline& expected = baseline();
    const Baseline got = read(reader);
    check(got.start == expected.start && got.end == expected.end && got.count == expected.count,
          "with this index the recording has another start, end or count");
    check(got.all == expected.all, "with this index the recording reads other events");

    // Seeks at spread-out events and times resume exactly where a sequential read is.
    for (uint64_t k = 0; k <= 8; ++k) {
        const uint64_t n = expected.count * k / 8;
        check(reader.seekNEvents(n), "event seek refused");
        const auto events = *reader.getNEvents(50);
        for (size_t i = 0; i < events.size(); ++i) {
            check(n + i < expected.all.size() && events[i] == expected.all[n + i], "read after an event seek differs");
        }
        const uint64_t t = expected.start + (expected.end - expected.start) * k / 8;
        check(reader.seekTime(t), "time seek refused");
        const uint64_t at = reader.getCurrentPosEventNum();
        const auto timed = *reader.getNEvents(50);
        for (size_t i = 0; i < timed.size(); ++i) {
            check(at + i < expected.all.size() && timed[i] == expected.all[at + i], "read after a time seek differs");
        }
        check(at == expected.count || expected.all[at].timestamp >= t, "time seek lands before its time");
        check(at == 0 || expected.all[at - 1].timestamp < t, "time seek lands after an event at its time");
    }
    return 0;
}
