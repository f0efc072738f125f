// A RAW recording (text header and EVT3 words) loaded through the reader factory, then read
// and sought as the input says. Input layout: one byte N (the count of 3-byte operations,
// modulo 32), the N operations, then the file's bytes.
//
// The reader must refuse a bad file with false (or the documented std::invalid_argument or
// std::out_of_range for a header number), never crash. A file it loads must keep its word:
// - the index it saved reloads to the same recording (same start, end, count, events);
// - every read after a seek gives the events of one sequential read from the start;
// - no event lies outside the geometry the reader reports; reads never return more than
//   asked.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include <vireo/DvsFileReader.h>
#include <vireo/RawFileReader.h>

#include "FuzzSupport.h"

namespace {

using namespace vireo;
using fuzz::check;

struct Loaded {
    std::unique_ptr<DvsFileReader> reader;
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t count = 0;
};

// Loads `path` through the factory; an empty reader when the file is refused.
Loaded load(const std::string& path) {
    Loaded loaded;
    loaded.reader = DvsFileReader::createFileReader(path);
    check(loaded.reader != nullptr, "the factory gives no reader for a .raw path");
    try {
        if (!loaded.reader->loadFile()) {
            loaded.reader.reset();
            return loaded;
        }
    } catch (const std::invalid_argument&) {
        loaded.reader.reset();
        return loaded;
    } catch (const std::out_of_range&) {
        loaded.reader.reset();
        return loaded;
    }
    check(loaded.reader->getStartTimeStamp(loaded.start), "a loaded reader has no start time");
    check(loaded.reader->getEndTimeStamp(loaded.end), "a loaded reader has no end time");
    check(loaded.reader->getMaxEvents(loaded.count), "a loaded reader has no event count");
    check(loaded.start <= loaded.end, "start after end");
    return loaded;
}

void checkGeometry(const std::vector<Event2D>& events, DvsFileReader& reader) {
    for (const Event2D& e : events) {
        check(e.x < reader.getWidth() && e.y < reader.getHeight(), "event outside the reader's geometry");
        check(e.polarity <= 1, "polarity other than 0 or 1");
    }
}

bool sameEvents(const std::vector<Event2D>& got, const std::vector<Event2D>& all, uint64_t from) {
    if (from > all.size() || got.size() > all.size() - from) return false;
    for (size_t i = 0; i < got.size(); ++i) {
        if (!(got[i] == all[from + i])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t operations = data[0] % 32;
    if (size < 1 + 3 * operations) return 0;
    const uint8_t* ops = data + 1;
    const uint8_t* file = ops + 3 * operations;
    const size_t fileSize = size - 1 - 3 * operations;

    static const std::string path = fuzz::scratchFile("input.raw");
    fuzz::writeBytes(path, file, fileSize);
    fuzz::removeFile(path.substr(0, path.size() - 4) + ".dsmark.tmp");
    fuzz::removeFile(path.substr(0, path.size() - 4) + ".dsmark.state");

    Loaded first = load(path);
    if (!first.reader) return 0;
    auto* raw = dynamic_cast<RawFileReader*>(first.reader.get());
    check(raw != nullptr, "the factory's reader for .raw is no RawFileReader");
    check(!raw->isIndexReloaded(), "an index was reloaded that was removed");
    check(raw->getHeaderSize() <= fileSize, "header larger than the file");

    // One sequential read of everything (recordings here are at most a few hundred KB).
    const std::vector<Event2D> all = *first.reader->getNEventsGivenStartEvent(0, first.count);
    check(all.size() == first.count, "a sequential read does not give the event count");
    checkGeometry(all, *first.reader);

    // The index just saved must reload to the same recording.
    if (raw->getIndexWriteError().empty()) {
        Loaded again = load(path);
        check(again.reader != nullptr, "a recording that loaded once is refused with its own index");
        check(again.start == first.start && again.end == first.end && again.count == first.count,
              "the reloaded index describes another recording");
        const std::vector<Event2D> reloaded = *again.reader->getNEventsGivenStartEvent(0, again.count);
        check(reloaded == all, "the reloaded index reads other events");
    }

    DvsFileReader& reader = *first.reader;
    const uint64_t span = first.end - first.start + 2;
    for (size_t i = 0; i < operations; ++i) {
        const uint8_t op = ops[3 * i];
        const uint32_t arg = static_cast<uint32_t>(ops[3 * i + 1] | ops[3 * i + 2] << 8);
        switch (op % 6) {
            case 0: {  // seek by event number, then read
                const uint64_t n = first.count == 0 ? arg : arg % (first.count + 2);
                const bool ok = reader.seekNEvents(n);
                check(ok == (n <= first.count), "event seek result disagrees with the event count");
                if (ok) {
                    check(reader.getCurrentPosEventNum() == n, "event seek lands elsewhere");
                    const auto got = *reader.getNEvents(op >> 3);
                    check(sameEvents(got, all, n), "read after an event seek differs from the sequential read");
                }
                break;
            }
            case 1: {  // seek by time, then read
                const uint64_t t = first.start + arg % span - 1;
                const bool ok = reader.seekTime(t);
                check(ok == (t >= first.start && t <= first.end), "time seek result disagrees with the time range");
                if (ok) {
                    const uint64_t n = reader.getCurrentPosEventNum();
                    check(n <= all.size(), "time seek beyond the event count");
                    const auto got = *reader.getNEvents(op >> 3);
                    check(sameEvents(got, all, n), "read after a time seek differs from the sequential read");
                }
                break;
            }
            case 2: {  // read on by count
                const uint64_t n = reader.getCurrentPosEventNum();
                const auto got = *reader.getNEvents(arg);
                check(got.size() <= arg, "more events than asked");
                if (n <= all.size()) check(sameEvents(got, all, n), "read on differs from the sequential read");
                break;
            }
            case 3: {  // read on by duration
                const auto got = *reader.getNTimeEvents(arg);
                checkGeometry(got, reader);
                break;
            }
            case 4: {  // count from a time
                const uint64_t t = first.start + arg % span - 1;
                const auto got = *reader.getNEventsGivenStartTimeStamp(t, op >> 2);
                checkGeometry(got, reader);
                check(got.size() <= static_cast<uint64_t>(op >> 2), "more events than asked");
                break;
            }
            default: {  // duration from an event
                const uint64_t n = first.count == 0 ? arg : arg % (first.count + 2);
                const auto got = *reader.getNTimeEventsGivenStartEvent(n, op);
                checkGeometry(got, reader);
                if (n <= first.count) check(sameEvents(got, all, n), "duration read differs from the sequential read");
                break;
            }
        }
    }
    return 0;
}
