// `RawFileReader`: loading and header rules, seeking by time and by event number, and
// reading events by count or by duration.
//
// Reading decodes the file forward in `chunkSize` pieces; events decoded beyond a request
// wait in `pendingEvents` for the next one, so no event is decoded twice. A seek finds the
// nearest bookmark before its target, walks the words from there with the state scanner
// (Evt3Scan.h) until the target word, and primes the decoder with the exact state in
// force at that word: time, rollover, row and vector. The state at a bookmark comes from
// the index build, or, for an index read back from its file, from the companion file beside
// it, so that no seek ever looks further than from its bookmark to its target.
#include <vireo/RawFileReader.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <limits>
#include <stdexcept>

#include <vireo/DecoderFactory.h>
#include <vireo/Logger.h>

#include "Evt3Scan.h"
#include "IndexFiles.h"
#include "IndexTable.h"

namespace vireo {
namespace {

constexpr uint64_t kMaxTime = std::numeric_limits<uint64_t>::max();
// Requests for at least this many more events are decoded straight into the output.
constexpr uint64_t kDirectReadEvents = 65536;

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return b > kMaxTime - a ? kMaxTime : a + b; }

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return pieces;
        start = at + 1;
    }
}

}  // namespace

RawFileReader::RawFileReader(std::string path)
    : decoder(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"))),
      filePath(std::move(path)),
      decodedEvents(std::make_shared<std::vector<Event2D>>()),
      pendingEvents(std::make_shared<std::vector<Event2D>>()),
      outputEvents(std::make_shared<std::vector<Event2D>>()),
      eventSink(decodedEvents.get()) {}

RawFileReader::~RawFileReader() = default;

uint16_t RawFileReader::getWidth() const { return width; }
uint16_t RawFileReader::getHeight() const { return height; }

bool RawFileReader::getStartTimeStamp(uint64_t& timestamp) {
    timestamp = startTimeStamp;
    return true;
}

bool RawFileReader::getEndTimeStamp(uint64_t& timestamp) {
    timestamp = endTimeStamp;
    return true;
}

bool RawFileReader::getMaxEvents(uint64_t& count) {
    count = maxEvents;
    return true;
}

bool RawFileReader::reachedEndOfEvents() { return currentTimeStamp > endTimeStamp; }
uint64_t RawFileReader::getCurrentPosTimeStamp() { return currentTimeStamp; }
uint64_t RawFileReader::getCurrentPosEventNum() { return currentEventNum; }

bool RawFileReader::loadFile() {
    // A second load starts over.
    decoder->setEventsStreamHandleCallback(nullptr);
    decoder->reset();
    if (file.is_open()) file.close();
    file.clear();
    table.reset();
    clearReadState();
    startTimeStamp = endTimeStamp = maxEvents = 0;
    currentTimeStamp = currentEventNum = 0;
    serialNumber.clear();
    width = 1280;
    height = 720;
    indexReloaded = false;
    indexWriteError.clear();

    indexPath = detail::indexPathFor(filePath);
    // A folder or a device opens like a file but has no size a recording could have (a
    // folder's would read as 2^63 - 1 bytes): only regular files are recordings.
    std::error_code error;
    const auto status = std::filesystem::status(filePath, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        VIREO_LOG_ERROR("%s is not a regular file.", filePath.c_str());
        return false;
    }
    file.open(filePath, std::ios::binary);
    if (!file.is_open()) return false;
    file.seekg(0, std::ios::end);
    fileSize = static_cast<uint64_t>(file.tellg());
    file.seekg(0);

    if (!readHeader()) return false;
    // The decoder drops the events off the file's sensor, which the index scan leaves out.
    decoder = DecoderFactory::createUniqueDecoder(
        RawEventStreamFormat(detail::decoderFormat(detail::scanGeometry(width, height))));
    VIREO_LOG_INFO("Loading raw file...");

    if (std::filesystem::exists(indexPath) && checkBookmarksFromFile(indexPath) &&
        loadBookmarksFromFile(indexPath)) {
        indexReloaded = true;
    } else {
        initBookmark();
    }

    decoder->setEventsStreamHandleCallback([this](const Event2D* first, const Event2D* last) {
        eventSink->insert(eventSink->end(), first, last);
    });

    if (!table || table->size() == 0) {
        VIREO_LOG_ERROR("Loading raw file failed. There is no data in the file.");
        return false;
    }
    startTimeStamp = table->keys.front();
    endTimeStamp = table->keys.back();
    maxEvents = table->events.back();
    seekTime(startTimeStamp);
    VIREO_LOG_INFO("Loading raw file succeeded.");
    return true;
}

bool RawFileReader::readHeader() {
    dataStart = 0;
    if (file.peek() != '%') {
        file.clear();
        file.seekg(0);
        return true;
    }
    uint64_t consumed = 0;
    // The standard conversion's errors, with a message that says which file and which value.
    auto toInt16 = [this](const std::string& text, const char* what) {
        try {
            return static_cast<uint16_t>(std::stoi(text));
        } catch (const std::invalid_argument&) {
            throw std::invalid_argument(filePath + ": the header's " + what + " \"" + text + "\" is not a number");
        } catch (const std::out_of_range&) {
            throw std::out_of_range(filePath + ": the header's " + what + " \"" + text + "\" is out of range");
        }
    };
    while (file.peek() == '%') {
        std::string line;
        std::getline(file, line);
        consumed += line.size() + (file.eof() ? 0 : 1);
        if (line == "% end") break;
        if (startsWith(line, "% format ")) {
            const std::vector<std::string> pieces = split(line.substr(9), ';');
            if (pieces.front() != "EVT3") {
                std::cerr << "Error : detected non-EVT3 input file '" << "'" << std::endl;
                return false;
            }
            for (size_t i = 1; i < pieces.size(); ++i) {
                const size_t eq = pieces[i].find('=');
                const std::string key = pieces[i].substr(0, eq);
                const std::string value = eq == std::string::npos ? std::string() : pieces[i].substr(eq + 1);
                if (key == "width") width = toInt16(value, "\"% format\" width");
                if (key == "height") height = toInt16(value, "\"% format\" height");
            }
        } else if (startsWith(line, "% geometry ")) {
            const std::string rest = line.substr(11);
            const size_t x = rest.find('x');
            width = toInt16(rest.substr(0, x), "\"% geometry\" width");
            height = toInt16(x == std::string::npos ? std::string() : rest.substr(x + 1), "\"% geometry\" height");
        } else if (startsWith(line, "% evt ")) {
            if (line.substr(6) != "3.0") {
                std::cerr << "Error : detected non-EVT3 input file.'" << "'" << std::endl;
                return false;
            }
        } else if (startsWith(line, "% serial_number ")) {
            serialNumber = line.substr(16);
        }
    }
    dataStart = consumed;
    file.clear();
    file.seekg(static_cast<std::streamoff>(dataStart));
    return true;
}

void RawFileReader::clearReadState() {
    pendingEvents->clear();
    pendingHead = 0;
    decodedEvents->clear();
}

void RawFileReader::positionStream(uint64_t offset) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    readOffset = offset;
}

namespace {

// Walks the words from record `i` of the index until `onTime` or the count limit stops the
// walk. Returns the offset of the word it stopped before, or nothing when the data ended
// first; `state` and `events` then hold the state and event count before that word, and
// `word` its two bytes.
template <class OnTime>
std::optional<uint64_t> walkFromRecord(RawFileReader::IndexTable& index, size_t i, std::ifstream& file,
                                       std::vector<uint8_t>& buffer, uint64_t chunkSize, uint64_t fileSize,
                                       const detail::ScanGeometry& geometry, detail::ScanState& state,
                                       uint64_t& events, uint64_t countLimit,
                                       uint64_t timeLimit, OnTime&& onTime, uint8_t (&word)[2]) {
    state = index.states[i];
    events = index.events[i];
    uint64_t offset = index.records[i].offset;
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    buffer.resize(chunkSize);
    while (offset < fileSize) {
        const uint64_t want = std::min<uint64_t>(chunkSize, fileSize - offset);
        file.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(want));
        const auto got = static_cast<uint64_t>(file.gcount());
        if (got < evt3::kWordSize) return std::nullopt;
        const uint8_t* wordsEnd = buffer.data() + (got / evt3::kWordSize) * evt3::kWordSize;
        const uint8_t* stop =
            detail::scanWords(geometry, buffer.data(), wordsEnd, state, events, countLimit, timeLimit, onTime);
        if (stop != wordsEnd) {
            word[0] = stop[0];
            word[1] = stop[1];
            return offset + static_cast<uint64_t>(stop - buffer.data());
        }
        offset += got;
    }
    return std::nullopt;
}

}  // namespace

bool RawFileReader::seekTime(uint64_t timestamp) {
    if (timestamp > endTimeStamp) {
        currentTimeStamp = saturatingAdd(endTimeStamp, 1);
        return false;
    }
    if (timestamp < startTimeStamp) {
        currentTimeStamp = startTimeStamp - 1;
        return false;
    }
    if (!table) return false;
    const auto bookmark = bookmarkForTime(*table, timestamp);
    if (!bookmark) return false;
    size_t i = *bookmark;
    // Every event before a bookmark's offset is earlier than its key, except for the end
    // record, which stands at the end of the file after the events of the last time: those
    // are found from the record before it.
    if (i + 1 == table->size() && i > 0) --i;

    std::lock_guard<std::mutex> lock(readMutex);
    // Resume before the first word that gives an event at `timestamp` or later; when there
    // is none, at the end of the data, with every event behind.
    detail::ScanState state;
    uint64_t events = 0;
    uint8_t word[2];
    const auto found = walkFromRecord(*table, i, file, chunkBuffer, chunkSize, fileSize,
                                      detail::scanGeometry(width, height), state, events,
                                      detail::kNoLimit, timestamp,
                                      [](const uint8_t*, uint64_t) { return false; }, word);
    uint64_t resumeOffset = fileSize;
    if (found) {
        resumeOffset = *found;
    } else {
        state = table->states.back();
        events = table->events.back();
    }
    detail::primeDecoder(*decoder, state);
    positionStream(resumeOffset);
    currentTimeStamp = timestamp;
    currentEventNum = events;
    clearReadState();
    return true;
}

bool RawFileReader::seekNEvents(uint64_t eventNum) {
    if (eventNum > maxEvents) {
        currentEventNum = saturatingAdd(maxEvents, 1);
        currentTimeStamp = saturatingAdd(endTimeStamp, 1);
        return false;
    }
    if (!table) return false;
    const auto bookmark = bookmarkForEvent(*table, eventNum);
    if (!bookmark) return false;
    const size_t i = *bookmark;

    std::lock_guard<std::mutex> lock(readMutex);
    if (table->events[i] == eventNum) {
        detail::primeDecoder(*decoder, table->states[i]);
        positionStream(table->records[i].offset);
        currentTimeStamp = table->records[i].timestamp;
        currentEventNum = eventNum;
        clearReadState();
        return true;
    }
    // Stop before the word whose events bring the count to eventNum or beyond: it holds
    // event eventNum - 1 and maybe eventNum and later ones (a vector word).
    detail::ScanState state;
    uint64_t before = 0;
    uint8_t word[2];
    const auto found = walkFromRecord(*table, i, file, chunkBuffer, chunkSize, fileSize,
                                      detail::scanGeometry(width, height), state, before, eventNum,
                                      detail::kNoLimit, [](const uint8_t*, uint64_t) { return false; }, word);
    if (!found) return false;
    // Decode that word alone: its events from number eventNum on wait as pending, and
    // reading goes on with the word after it.
    clearReadState();
    detail::primeDecoder(*decoder, state);
    eventSink = decodedEvents.get();
    decoder->decodeWord(word, word + 2);
    const size_t skip = static_cast<size_t>(std::min<uint64_t>(eventNum - before, decodedEvents->size()));
    pendingEvents->assign(decodedEvents->begin() + static_cast<std::ptrdiff_t>(skip), decodedEvents->end());
    decodedEvents->clear();
    positionStream(*found + evt3::kWordSize);
    currentTimeStamp = decoder->getLastTimestamp();
    currentEventNum = eventNum;
    return true;
}

bool RawFileReader::readAndDecodeEvents(const std::function<bool()>& done) {
    chunkBuffer.resize(chunkSize);
    std::lock_guard<std::mutex> lock(readMutex);
    if (!file.is_open()) return !outputEvents->empty();
    while (readOffset < fileSize) {
        const uint64_t want = std::min<uint64_t>(chunkSize, fileSize - readOffset);
        chunkBuffer.resize(want);
        file.read(reinterpret_cast<char*>(chunkBuffer.data()), static_cast<std::streamsize>(want));
        const auto got = static_cast<uint64_t>(file.gcount());
        if (got == 0) break;  // the file shrank since it was loaded
        chunkBuffer.resize(got);
        readOffset += got;
        decoder->decodeBuffer(chunkBuffer);
        if (done()) return true;
    }
    return !outputEvents->empty();
}

namespace {

// Points the decoder's callback at another vector for the length of one read.
class SinkScope {
public:
    SinkScope(std::vector<Event2D>*& sink, std::vector<Event2D>* target, std::vector<Event2D>* restore)
        : sink_(sink), restore_(restore) {
        sink_ = target;
    }
    ~SinkScope() { sink_ = restore_; }
    SinkScope(const SinkScope&) = delete;
    SinkScope& operator=(const SinkScope&) = delete;

private:
    std::vector<Event2D>*& sink_;
    std::vector<Event2D>* restore_;
};

}  // namespace

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEvents(uint64_t count) {
    const uint64_t left = currentEventNum >= maxEvents ? 0 : maxEvents - currentEventNum;
    if (count > left) {
        VIREO_LOG_WARN("Requested number of events exceeds total number of events.");
        count = left;
    }
    std::vector<Event2D>& out = *outputEvents;
    std::vector<Event2D>& pending = *pendingEvents;
    out.clear();
    const size_t available = pending.size() - pendingHead;
    const auto pendingBegin = pending.begin() + static_cast<std::ptrdiff_t>(pendingHead);
    if (available > count) {
        out.assign(pendingBegin, pendingBegin + static_cast<std::ptrdiff_t>(count));
        pendingHead += static_cast<size_t>(count);
    } else {
        out.assign(pendingBegin, pending.end());
        pending.clear();
        pendingHead = 0;
        if (out.size() < count && count - out.size() >= kDirectReadEvents) {
            // A large request: the decoder appends straight to the output, and what the
            // last chunk gives beyond the request is moved to pending.
            SinkScope sink(eventSink, outputEvents.get(), decodedEvents.get());
            const bool ok = readAndDecodeEvents([&] {
                if (out.size() < count) return false;
                pending.assign(out.begin() + static_cast<std::ptrdiff_t>(count), out.end());
                out.resize(static_cast<size_t>(count));
                return true;
            });
            if (!ok) return outputEvents;
        } else if (out.size() < count) {
            // A small one, likely met within one chunk: the chunk is decoded into pending and
            // the request taken from there, so the surplus is not copied twice.
            SinkScope sink(eventSink, pendingEvents.get(), decodedEvents.get());
            const bool ok = readAndDecodeEvents([&] {
                const size_t need = static_cast<size_t>(count) - out.size();
                const auto first = pending.begin() + static_cast<std::ptrdiff_t>(pendingHead);
                if (pending.size() - pendingHead < need) {
                    out.insert(out.end(), first, pending.end());
                    pending.clear();
                    pendingHead = 0;
                    return false;
                }
                out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(need));
                pendingHead += need;
                return true;
            });
            if (!ok) return outputEvents;
        }
    }
    if (!out.empty()) currentTimeStamp = saturatingAdd(out.back().timestamp, 1);
    currentEventNum += out.size();
    return outputEvents;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEvents(uint64_t duration) {
    uint64_t end = saturatingAdd(currentTimeStamp, duration);
    if (end < startTimeStamp) {
        VIREO_LOG_WARN("Requested interval is before start timestamp.");
        currentTimeStamp = end;
        currentEventNum = 0;
        return std::make_shared<std::vector<Event2D>>();
    }
    if (currentTimeStamp > endTimeStamp) {
        VIREO_LOG_WARN("Current read pos exceeds end timestamp.");
        currentEventNum = maxEvents;
        return std::make_shared<std::vector<Event2D>>();
    }
    if (end > endTimeStamp) {
        VIREO_LOG_WARN("Requested interval exceeds end timestamp.");
        end = saturatingAdd(endTimeStamp, 1);
    }
    currentTimeStamp = saturatingAdd(currentTimeStamp, duration);
    std::vector<Event2D>& out = *outputEvents;
    std::vector<Event2D>& pending = *pendingEvents;
    out.clear();

    bool satisfied = false;
    if (pendingHead < pending.size()) {
        Event2D* first = pending.data() + pendingHead;
        Event2D* last = pending.data() + pending.size();
        if ((last - 1)->timestamp >= end) {
            Event2D* split = binarySearchTimestamp(end, first, last);
            out.assign(first, split);
            pendingHead += static_cast<size_t>(split - first);
            satisfied = true;
        } else {
            out.assign(first, last);
            pending.clear();
            pendingHead = 0;
        }
    }
    if (!satisfied) {
        SinkScope sink(eventSink, outputEvents.get(), decodedEvents.get());
        size_t chunkFrom = out.size();  // where the events of the latest chunk begin
        const bool ok = readAndDecodeEvents([&] {
            const size_t from = chunkFrom;
            chunkFrom = out.size();
            if (out.size() == from) return false;
            if (out.back().timestamp < end) return false;
            Event2D* split = binarySearchTimestamp(end, out.data() + from, out.data() + out.size());
            pending.assign(split, out.data() + out.size());
            pendingHead = 0;
            out.resize(static_cast<size_t>(split - out.data()));
            return true;
        });
        if (!ok) return outputEvents;
    }
    currentEventNum += out.size();
    return outputEvents;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                   uint64_t count) {
    if (!seekTime(timestamp)) return std::make_shared<std::vector<Event2D>>();
    return getNEvents(count);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEventsGivenStartEvent(uint64_t eventNum, uint64_t count) {
    if (!seekNEvents(eventNum)) return std::make_shared<std::vector<Event2D>>();
    return getNEvents(count);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartTimeStamp(uint64_t timestamp,
                                                                                       uint64_t duration) {
    if (!seekTime(timestamp)) return std::make_shared<std::vector<Event2D>>();
    return getNTimeEvents(duration);
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEventsGivenStartEvent(uint64_t eventNum,
                                                                                   uint64_t duration) {
    if (!seekNEvents(eventNum)) return std::make_shared<std::vector<Event2D>>();
    return getNTimeEvents(duration);
}

}  // namespace vireo
