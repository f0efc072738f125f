// `RawFileReader`: loading and header rules, seeking by time and by event number, and
// reading events by count or by duration.
//
// Reading decodes the file forward, straight into the output, in slices sized to what the
// request lacks; events decoded beyond a request wait in `pendingEvents` for the next one,
// so no event is decoded twice (with read-ahead, a second thread decodes the next piece into
// `aheadEvents`, which then becomes the pending events). A seek finds the
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
#include "ReadAhead.h"

namespace vireo {
namespace {

constexpr uint64_t kMaxTime = std::numeric_limits<uint64_t>::max();

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

// The read-ahead thread goes first: its job uses the members below.
RawFileReader::~RawFileReader() { readAhead.reset(); }

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
    cancelReadAhead();
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
    // A size that is 0 once cut to 16 bits would be a sensor without pixels, while the
    // decoder would keep every event: refused like a value out of range.
    auto toInt16 = [this](const std::string& text, const char* what) {
        uint16_t size = 0;
        try {
            size = static_cast<uint16_t>(std::stoi(text));
        } catch (const std::invalid_argument&) {
            throw std::invalid_argument(filePath + ": the header's " + what + " \"" + text + "\" is not a number");
        } catch (const std::out_of_range&) {
            throw std::out_of_range(filePath + ": the header's " + what + " \"" + text + "\" is out of range");
        }
        if (size == 0) {
            throw std::out_of_range(filePath + ": the header's " + what + " \"" + text + "\" is out of range");
        }
        return size;
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
    streamPos = streamEnd = 0;
    ++readGeneration;  // what the read-ahead thread decoded belongs to the old position
}

void RawFileReader::positionStream(uint64_t offset) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    readOffset = offset;
    streamPos = streamEnd = 0;
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

// The file is read in blocks of this size, and decoded in slices of the sizes below, each
// sized to what the request still lacks: decoding straight into the output then leaves
// little beyond the request to keep as pending (and to copy a second time).
constexpr uint64_t kStreamReadBytes = 256 * 1024;
constexpr double kMinSliceBytes = 512;
constexpr double kMaxSliceBytes = 256 * 1024;
// A slice aims at no more events than this, so that the events beyond a duration read
// (where the request's end cannot be told from a count) stay few.
constexpr double kMaxSliceEvents = 8192;
// The piece the read-ahead thread decodes per job.
constexpr uint64_t kReadAheadBytes = 256 * 1024;

uint64_t sliceBytes(double estimate) {
    return static_cast<uint64_t>(std::clamp(estimate, kMinSliceBytes, kMaxSliceBytes));
}

}  // namespace

uint64_t RawFileReader::readAndDecodeEvents(uint64_t maxBytes) {
    // The caller holds readMutex and has pointed eventSink where the events go.
    if (streamPos == streamEnd) {
        if (!file.is_open() || readOffset >= fileSize) return 0;
        if (streamBuffer.size() < kStreamReadBytes) streamBuffer.resize(kStreamReadBytes);
        const uint64_t want = std::min<uint64_t>(kStreamReadBytes, fileSize - readOffset);
        file.read(reinterpret_cast<char*>(streamBuffer.data()), static_cast<std::streamsize>(want));
        const auto got = static_cast<uint64_t>(file.gcount());
        streamPos = 0;
        streamEnd = static_cast<size_t>(got);
        if (got == 0) return 0;  // the file shrank since it was loaded
        readOffset += got;
    }
    // Whole words where possible; a word split by the end of a block is joined by the decoder.
    const size_t left = streamEnd - streamPos;
    const size_t take = maxBytes >= left ? left : std::min(left, static_cast<size_t>((maxBytes + 1) & ~uint64_t{1}));
    const uint8_t* first = streamBuffer.data() + streamPos;
    streamPos += take;
    // decodeWord decodes any byte range exactly as decodeBuffer would.
    decoder->decodeWord(first, first + take);
    return take;
}

void RawFileReader::learnSlice(uint64_t bytes, uint64_t events, std::optional<uint64_t> advance) {
    // Halfway from the old estimates to what this slice showed: bursts move them, but not
    // all the way.
    const auto size = static_cast<double>(bytes);
    eventsPerByte = std::max(0.5 * (eventsPerByte + static_cast<double>(events) / size), 1 / kMaxSliceBytes);
    if (!advance) return;
    // A slice within one microsecond says a microsecond takes more bytes than it had.
    bytesPerMicrosecond = *advance == 0 ? std::max(2 * bytesPerMicrosecond, size)
                                        : 0.5 * (bytesPerMicrosecond + size / static_cast<double>(*advance));
    bytesPerMicrosecond = std::min(bytesPerMicrosecond, kMaxSliceBytes);
}

void RawFileReader::setReadAhead(bool enabled) {
    if (enabled == (readAhead != nullptr)) return;
    if (enabled) {
        readAhead = std::make_unique<detail::ReadAheadThread>();
        return;
    }
    if (aheadStarted) {
        aheadStarted = false;
        try {
            readAhead->wait();
        } catch (...) {
            readAhead.reset();
            throw;
        }
        if (aheadReady && aheadGeneration == readGeneration) {
            // Decoded ahead of the stream: these events follow the undelivered ones.
            std::vector<Event2D>& pending = *pendingEvents;
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pendingHead));
            pendingHead = 0;
            pending.insert(pending.end(), aheadEvents.begin(), aheadEvents.end());
        }
        aheadReady = false;
    }
    readAhead.reset();
    aheadEvents = std::vector<Event2D>();
}

void RawFileReader::startReadAhead() {
    aheadReady = false;
    aheadStarted = true;
    const uint64_t generation = readGeneration;
    readAhead->start([this, generation] {
        std::lock_guard<std::mutex> lock(readMutex);
        if (generation != readGeneration) return;  // a seek or load came first
        aheadEvents.clear();
        SinkScope sink(eventSink, &aheadEvents, decodedEvents.get());
        uint64_t decoded = 0;
        bool atEnd = false;
        while (decoded < kReadAheadBytes) {
            const uint64_t bytes = readAndDecodeEvents(kReadAheadBytes - decoded);
            if (bytes == 0) {
                atEnd = true;
                break;
            }
            decoded += bytes;
        }
        aheadAtEnd = atEnd;
        aheadGeneration = generation;
        aheadReady = true;
    });
}

bool RawFileReader::takeReadAhead() {
    // Called when every pending event is delivered: the piece the thread decoded becomes the
    // pending events, and the thread goes on with the piece after it.
    while (true) {
        if (!aheadStarted) startReadAhead();
        aheadStarted = false;
        readAhead->wait();
        if (!aheadReady || aheadGeneration != readGeneration) continue;  // for a position left since
        aheadReady = false;
        pendingEvents->clear();
        pendingEvents->swap(aheadEvents);
        pendingHead = 0;
        const bool atEnd = aheadAtEnd;
        if (!atEnd) startReadAhead();
        if (!pendingEvents->empty()) return true;
        if (atEnd) return false;
    }
}

void RawFileReader::cancelReadAhead() {
    if (!readAhead || !aheadStarted) return;
    aheadStarted = false;
    try {
        readAhead->wait();
    } catch (...) {
        // The piece is dropped all the same.
    }
    aheadReady = false;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNEvents(uint64_t count) {
    const uint64_t left = currentEventNum >= maxEvents ? 0 : maxEvents - currentEventNum;
    if (count > left) {
        VIREO_LOG_WARN("Requested number of events exceeds total number of events.");
        count = left;
    }
    std::vector<Event2D>& out = *outputEvents;
    std::vector<Event2D>& pending = *pendingEvents;
    out.clear();
    // Moves up to what the request lacks from pending to the output.
    auto takePending = [&] {
        const size_t n = std::min<size_t>(pending.size() - pendingHead, static_cast<size_t>(count) - out.size());
        const auto first = pending.begin() + static_cast<std::ptrdiff_t>(pendingHead);
        out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(n));
        pendingHead += n;
        if (pendingHead == pending.size()) {
            pending.clear();
            pendingHead = 0;
        }
    };
    takePending();
    if (out.size() < count) {
        if (readAhead) {
            while (out.size() < count && takeReadAhead()) takePending();
        } else {
            // The decoder appends straight to the output; what the last slice gives beyond
            // the request waits as pending.
            std::lock_guard<std::mutex> lock(readMutex);
            SinkScope sink(eventSink, &out, decodedEvents.get());
            while (out.size() < count) {
                const size_t before = out.size();
                const uint64_t bytes =
                    readAndDecodeEvents(sliceBytes(std::min(static_cast<double>(count - before), kMaxSliceEvents) / eventsPerByte));
                if (bytes == 0) break;
                learnSlice(bytes, out.size() - before, std::nullopt);
            }
            if (out.size() > count) {
                pending.assign(out.begin() + static_cast<std::ptrdiff_t>(count), out.end());
                pendingHead = 0;
                out.resize(static_cast<size_t>(count));
            }
        }
    }
    if (!out.empty()) currentTimeStamp = saturatingAdd(out.back().timestamp, 1);
    currentEventNum += out.size();
    return outputEvents;
}

std::shared_ptr<std::vector<Event2D>> RawFileReader::getNTimeEvents(uint64_t duration) {
    uint64_t end = saturatingAdd(currentTimeStamp, duration);
    if (end < startTimeStamp) {
        // Nothing is delivered and the read position stays where it is: events can lie
        // before the first bookmark's time (those of a stream's first time words), and a
        // reader sent to one of them must still give it next, under its own number.
        VIREO_LOG_WARN("Requested interval is before start timestamp.");
        currentTimeStamp = end;
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
    // Moves the pending events before `end` to the output; true when one at `end` or later
    // is left, which ends the span.
    auto takePending = [&] {
        if (pendingHead == pending.size()) return false;
        Event2D* first = pending.data() + pendingHead;
        Event2D* last = pending.data() + pending.size();
        if ((last - 1)->timestamp >= end) {
            Event2D* split = binarySearchTimestamp(end, first, last);
            out.insert(out.end(), first, split);
            pendingHead += static_cast<size_t>(split - first);
            return true;
        }
        out.insert(out.end(), first, last);
        pending.clear();
        pendingHead = 0;
        return false;
    };
    bool satisfied = takePending();
    if (!satisfied && readAhead) {
        while (!satisfied && takeReadAhead()) satisfied = takePending();
    } else if (!satisfied) {
        // Straight into the output, slice by slice; the events of the last slice from `end`
        // on wait as pending.
        std::lock_guard<std::mutex> lock(readMutex);
        SinkScope sink(eventSink, &out, decodedEvents.get());
        while (true) {
            const size_t from = out.size();
            const uint64_t reached = decoder->getLastTimestamp();
            const uint64_t lacking = end > reached ? end - reached : 1;
            const uint64_t bytes = readAndDecodeEvents(
                sliceBytes(std::min(static_cast<double>(lacking) * bytesPerMicrosecond, kMaxSliceEvents / eventsPerByte)));
            if (bytes == 0) break;
            learnSlice(bytes, out.size() - from, decoder->getLastTimestamp() - reached);
            if (out.size() == from || out.back().timestamp < end) continue;
            Event2D* split = binarySearchTimestamp(end, out.data() + from, out.data() + out.size());
            pending.assign(split, out.data() + out.size());
            pendingHead = 0;
            out.resize(static_cast<size_t>(split - out.data()));
            break;
        }
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
