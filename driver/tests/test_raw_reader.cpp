// Tests of RAW file loading: the reader factory, the header rules (geometry from either
// line, serial number, non-EVT3 rejection, header-only files), the index path, and the
// bookmark index: its layout and file format, reloading, validation with rebuilds after a
// change, and the mended faults (index never over the recording, unwritable index,
// impossible record counts, event numbers past 2^32).
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <vireo/DvsFileReader.h>
#include <vireo/RawFileReader.h>
#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

using test::scratchPath;
using Peer = RawFileReaderTestPeer;
using test::indexPathOf;
using test::startOf;
using test::endOf;
using test::countOf;

// A generated recording with the recorder's header, written under the test's scratch folder.
std::string makeRecording(const std::string& name, std::vector<uint8_t> body, const std::string& header = test::recorderHeader()) {
    const std::string path = scratchPath(name);
    test::writeFile(path, header, body);
    return path;
}

TEST(RawReaderFactory, ChoosesReaderByExactRawExtension) {
    EXPECT_NE(DvsFileReader::createFileReader("rec/a.raw"), nullptr);
    EXPECT_NE(dynamic_cast<RawFileReader*>(DvsFileReader::createFileReader("a.raw").get()), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("rec/a.RAW"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("rec/a.raw.bak"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("rec/a.mp4"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("recording"), nullptr);
    EXPECT_EQ(DvsFileReader::createFileReader("dir.raw/a"), nullptr);
}

TEST(RawReaderLoading, BeforeLoadGettersGiveZeroAndMissingFileFailsQuietly) {
    RawFileReader reader(scratchPath("missing.raw"));
    uint64_t v = 7;
    EXPECT_TRUE(reader.getStartTimeStamp(v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(reader.getEndTimeStamp(v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(reader.getMaxEvents(v));
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(reader.getWidth(), 1280);
    EXPECT_EQ(reader.getHeight(), 720);
    EXPECT_TRUE(reader.getNEvents(10)->empty());
    EXPECT_FALSE(reader.seekNEvents(3));

    test::StdoutCapture out;
    EXPECT_FALSE(reader.loadFile());
    EXPECT_EQ(out.finish(), "");
}

TEST(RawReaderLoading, RecorderHeaderGivesGeometrySerialAndDataStart) {
    const std::string header = test::recorderHeader("VH-77");
    const std::string path = makeRecording("rec.raw", test::encodedBody(1, 300, 1000000), header);
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(reader.getWidth(), 1280);
    EXPECT_EQ(reader.getHeight(), 720);
    EXPECT_EQ(reader.getSerialNumber(), "VH-77");
    EXPECT_EQ(reader.getHeaderSize(), header.size());
    EXPECT_EQ(reader.getIndexPath(), indexPathOf(path));
    EXPECT_TRUE(std::filesystem::exists(reader.getIndexPath()));
}

TEST(RawReaderLoading, GeometryComesFromEitherHeaderLine) {
    const auto body = test::encodedBody(2, 200, 5000);
    {
        RawFileReader reader(makeRecording("geometry.raw", body, "% evt 3.0\n% geometry 640x480\n% end\n"));
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.getWidth(), 640);
        EXPECT_EQ(reader.getHeight(), 480);
    }
    {
        // Without "% end": the header stops at the first byte that is not '%'.
        RawFileReader reader(makeRecording("format.raw", body, "% format EVT3;width=640;height=480\n"));
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.getWidth(), 640);
        EXPECT_EQ(reader.getHeight(), 480);
        EXPECT_EQ(reader.getHeaderSize(), 35u);
    }
    {
        // Blanks around '=' make other keys: the geometry stays the default.
        RawFileReader reader(makeRecording("blanks.raw", body, "% format EVT3; width = 640; height = 480\n% end\n"));
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.getWidth(), 1280);
        EXPECT_EQ(reader.getHeight(), 720);
    }
    {
        // No header at all: the data start at byte 0.
        RawFileReader reader(makeRecording("bare.raw", body, ""));
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(reader.getHeaderSize(), 0u);
        EXPECT_EQ(countOf(reader), test::referenceDecode(body).size());
    }
}

TEST(RawReaderLoading, BadGeometryValuesThrowTheConversionErrors) {
    // Fault mended: the errors said only "stoi", naming neither the file nor the value.
    const auto body = test::encodedBody(3, 50, 5000);
    const std::string nan = makeRecording("nan.raw", body, "% geometry widexhigh\n% end\n");
    RawFileReader notNumber(nan);
    try {
        notNumber.loadFile();
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), nan + ": the header's \"% geometry\" width \"wide\" is not a number");
    }
    const std::string big = makeRecording("big.raw", body, "% format EVT3;width=99999999999\n% end\n");
    RawFileReader tooLarge(big);
    try {
        tooLarge.loadFile();
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& error) {
        EXPECT_EQ(std::string(error.what()),
                  big + ": the header's \"% format\" width \"99999999999\" is out of range");
    }
    RawFileReader truncated(makeRecording("wide.raw", body, "% geometry 65537x480\n% end\n"));
    ASSERT_TRUE(truncated.loadFile());
    EXPECT_EQ(truncated.getWidth(), 1);
}

TEST(RawReaderLoading, AGeometryWithoutPixelsIsRefusedAsOutOfRange) {
    // Fault mended: a width or height of 0 (written so, or 65536 cut to 16 bits) loaded with
    // getWidth() 0 while the decoder kept every event of the format's range, so events lay
    // outside the geometry the reader reported.
    const auto body = test::encodedBody(3, 50, 5000);
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"% geometry 0x720\n% end\n", "\"% geometry\" width \"0\""},
        {"% geometry 1280x65536\n% end\n", "\"% geometry\" height \"65536\""},
        {"% format EVT3;width=-65536\n% end\n", "\"% format\" width \"-65536\""},
    };
    for (size_t i = 0; i < headers.size(); ++i) {
        const std::string path = makeRecording("empty-sensor-" + std::to_string(i) + ".raw", body, headers[i].first);
        RawFileReader reader(path);
        try {
            reader.loadFile();
            ADD_FAILURE() << headers[i].first << ": no exception";
        } catch (const std::out_of_range& error) {
            EXPECT_EQ(std::string(error.what()), path + ": the header's " + headers[i].second + " is out of range");
        }
    }
    // A size that the 16-bit cut leaves above 0 still loads, with every event on it.
    RawFileReader narrow(makeRecording("narrow.raw", body, "% geometry 65537x65538\n% end\n"));
    ASSERT_TRUE(narrow.loadFile());
    EXPECT_EQ(narrow.getWidth(), 1);
    EXPECT_EQ(narrow.getHeight(), 2);
    for (const Event2D& e : *narrow.getNEvents(countOf(narrow))) {
        EXPECT_LT(e.x, 1);
        EXPECT_LT(e.y, 2);
    }
}

TEST(RawReaderLoading, NonEvt3FilesAreRejectedWithTheirMessages) {
    const auto body = test::encodedBody(4, 50, 5000);
    {
        RawFileReader reader(makeRecording("evt2.raw", body, "% format EVT2;width=640;height=480\n% end\n"));
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(reader.loadFile());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error : detected non-EVT3 input file ''\n");
    }
    {
        RawFileReader reader(makeRecording("evt21.raw", body, "% evt 2.1\n% end\n"));
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(reader.loadFile());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error : detected non-EVT3 input file.''\n");
    }
    {
        // A carriage return stays part of the line, so "3.0\r" is not "3.0".
        RawFileReader reader(makeRecording("crlf.raw", body, "% evt 3.0\r\n% end\r\n"));
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(reader.loadFile());
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("non-EVT3"), std::string::npos);
    }
}

TEST(RawReaderLoading, AFolderIsNotARecording) {
    // Fault mended: a folder loaded as a recording of 2^63 - 1 bytes without events, with an
    // index written beside it.
    const std::string folder = scratchPath("folder.raw");
    std::filesystem::create_directories(folder);
    RawFileReader reader(folder);
    test::StdoutCapture out;
    EXPECT_FALSE(reader.loadFile());
    EXPECT_NE(out.finish().find("[error] " + folder + " is not a regular file."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(indexPathOf(folder)));
    EXPECT_EQ(countOf(reader), 0u);
    EXPECT_EQ(reader.getFileSize(), 0u);
}

TEST(RawReaderLoading, HeaderOnlyFileLoadsWithTheEndRecordAlone) {
    const std::string path = makeRecording("empty.raw", {});
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(countOf(reader), 0u);
    EXPECT_EQ(startOf(reader), endOf(reader));
    const auto& bookmarks = Peer::bookmarks(reader);
    ASSERT_EQ(bookmarks.size(), 1u);
    EXPECT_EQ(bookmarks.begin()->second.offset, std::filesystem::file_size(path));
    EXPECT_EQ(bookmarks.begin()->second.eventIndex, 0u);
    test::StdoutCapture out;
    EXPECT_TRUE(reader.getNEvents(5)->empty());
    EXPECT_NE(out.finish().find("Requested number of events exceeds total number of events."), std::string::npos);
}

TEST(RawReaderIndexPath, LastRawOfTheNameIsReplacedAndTheRecordingIsNeverOverwritten) {
    const std::string dir = scratchPath("dir.raw");
    std::filesystem::create_directories(dir);
    const auto body = test::encodedBody(5, 300, 5000);
    test::writeFile(dir + "/a.raw", test::recorderHeader(), body);
    RawFileReader inDir(dir + "/a.raw");
    ASSERT_TRUE(inDir.loadFile());
    EXPECT_EQ(inDir.getIndexPath(), dir + "/a.dsmark.tmp");

    // Fault mended: a path without ".raw" would have made the index path the recording's
    // own path; ".dsmark.tmp" is appended instead and the recording stays intact.
    const std::string plain = scratchPath("recording.dat");
    test::writeFile(plain, test::recorderHeader(), body);
    const auto before = test::readFile(plain);
    RawFileReader reader(plain);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_EQ(reader.getIndexPath(), plain + ".dsmark.tmp");
    EXPECT_EQ(test::readFile(plain), before);
    EXPECT_EQ(countOf(reader), test::referenceDecode(body).size());
    RawFileReader again(plain);
    ASSERT_TRUE(again.loadFile());
    EXPECT_TRUE(again.isIndexReloaded());
}

TEST(BookmarkIndex, BuiltIndexIsSpacedAndEndsWithTheEndRecord) {
    const auto body = test::encodedBody(6, 8000, (1u << 24) - 1500000);
    const std::string header = test::recorderHeader();
    const std::string path = makeRecording("spaced.raw", body, header);
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_FALSE(reader.isIndexReloaded());
    std::vector<uint64_t> countBefore;
    const auto reference = test::referenceDecode(body, &countBefore);
    const auto& bookmarks = Peer::bookmarks(reader);
    ASSERT_GT(bookmarks.size(), 100u);
    const auto& first = bookmarks.begin()->second;
    EXPECT_EQ(first.offset, header.size());
    EXPECT_EQ(first.eventIndex, 0u);
    const auto& last = bookmarks.rbegin()->second;
    EXPECT_EQ(last.offset, header.size() + body.size());
    EXPECT_EQ(last.eventIndex, reference.size());
    EXPECT_EQ(countOf(reader), reference.size());
    EXPECT_EQ(startOf(reader), first.timestamp);
    EXPECT_GT(endOf(reader), uint64_t{1} << 24);  // the rollover of the wire time is followed
    uint64_t previousKey = 0;
    uint64_t previousOffset = 0;
    bool firstRecord = true;
    for (const auto& [key, record] : bookmarks) {
        EXPECT_EQ(key, record.timestamp);
        if (!firstRecord) {
            EXPECT_GE(key, previousKey + RawFileReader::bookmark_period_us);
            EXPECT_GE(record.offset, previousOffset);
        }
        // Each record's count is the number of events decoded before its offset.
        EXPECT_EQ(record.eventIndex, countBefore[(record.offset - header.size()) / 2]) << "record at " << key;
        previousKey = key;
        previousOffset = record.offset;
        firstRecord = false;
    }
    EXPECT_EQ(Peer::eventIndexMap(reader).begin()->first, 0u);
    EXPECT_EQ(Peer::eventIndexMap(reader).rbegin()->first, reference.size());
}

TEST(BookmarkIndex, IndexFileHasItsLayoutAndCrc) {
    EXPECT_EQ(Peer::crc8({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xF4);
    EXPECT_EQ(Peer::crc8({}), 0);
    const auto body = test::encodedBody(7, 2000, 100000);
    const std::string path = makeRecording("layout.raw", body, "% geometry 640x480\n% end\n");
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    const auto bytes = test::readFile(reader.getIndexPath());
    const std::string text = "max_byte:" + std::to_string(std::filesystem::file_size(path)) +
                             "\nsensor_width:640\nsensor_height:480\n";
    ASSERT_GT(bytes.size(), text.size() + 10);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(text.size())), text);
    EXPECT_EQ(bytes[text.size()], 0);
    uint64_t count = 0;
    for (int i = 0; i < 8; ++i) count |= uint64_t{bytes[text.size() + 1 + static_cast<size_t>(i)]} << (8 * i);
    const auto& bookmarks = Peer::bookmarks(reader);
    EXPECT_EQ(count, bookmarks.size());
    EXPECT_EQ(bytes.size(), text.size() + 1 + 8 + 29 * count + 1);
    EXPECT_EQ(test::referenceCrc8(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1)), bytes.back());
    // The last record, field by field.
    const uint8_t* r = bytes.data() + bytes.size() - 1 - 29;
    auto le = [](const uint8_t* p, int n) { uint64_t v = 0; for (int i = 0; i < n; ++i) v |= uint64_t{p[i]} << (8 * i); return v; };
    const auto& last = bookmarks.rbegin()->second;
    EXPECT_EQ(le(r, 8), bookmarks.rbegin()->first);
    EXPECT_EQ(le(r + 8, 8), last.offset);
    EXPECT_EQ(le(r + 17, 8), last.timestamp);
    EXPECT_EQ(le(r + 25, 4), last.eventIndex);
}

TEST(BookmarkIndex, SecondLoadReloadsTheSameIndex) {
    const auto body = test::encodedBody(8, 3000, 200000);
    const std::string path = makeRecording("reload.raw", body);
    RawFileReader first(path);
    ASSERT_TRUE(first.loadFile());
    RawFileReader second(path);
    ASSERT_TRUE(second.loadFile());
    EXPECT_FALSE(first.isIndexReloaded());
    EXPECT_TRUE(second.isIndexReloaded());
    const auto& a = Peer::bookmarks(first);
    const auto& b = Peer::bookmarks(second);
    ASSERT_EQ(a.size(), b.size());
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        EXPECT_EQ(i->first, j->first);
        EXPECT_EQ(i->second.offset, j->second.offset);
        EXPECT_EQ(i->second.timestamp, j->second.timestamp);
        EXPECT_EQ(i->second.eventIndex, j->second.eventIndex);
    }
    EXPECT_EQ(startOf(first), startOf(second));
    EXPECT_EQ(endOf(first), endOf(second));
    EXPECT_EQ(countOf(first), countOf(second));
    // Loading the same object again also works.
    ASSERT_TRUE(first.loadFile());
    EXPECT_TRUE(first.isIndexReloaded());
    EXPECT_EQ(countOf(first), countOf(second));
}

TEST(BookmarkIndex, ChangedRecordingOrIndexIsIndexedAgain) {
    const auto body = test::encodedBody(9, 2000, 300000);
    const std::string path = makeRecording("changed.raw", body);
    {
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
    }
    const std::string indexPath = indexPathOf(path);
    {
        // The recording grew: "max_byte" no longer matches, rebuilt without a message.
        auto grown = body;
        const auto more = test::encodedBody(10, 50, 900000);
        grown.insert(grown.end(), more.begin(), more.end());
        test::writeFile(path, test::recorderHeader(), grown);
        test::StdoutCapture out;
        ::testing::internal::CaptureStderr();
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        const std::string err = ::testing::internal::GetCapturedStderr();
        const std::string log = out.finish();
        EXPECT_FALSE(reader.isIndexReloaded());
        EXPECT_EQ(err, "");
        EXPECT_EQ(log.find("The file has changed"), std::string::npos);
        EXPECT_EQ(countOf(reader), test::referenceDecode(grown).size());
    }
    {
        // One flipped byte of the index: the CRC fails.
        auto bytes = test::readFile(indexPath);
        bytes[bytes.size() / 2] ^= 0x10;
        test::writeBytes(indexPath, bytes);
        test::StdoutCapture out;
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        const std::string log = out.finish();
        EXPECT_NE(log.find("[info] The file has changed"), std::string::npos) << log;
        EXPECT_FALSE(reader.isIndexReloaded());
        RawFileReader again(path);
        ASSERT_TRUE(again.loadFile());
        EXPECT_TRUE(again.isIndexReloaded());  // the rebuilt index was written back
    }
    {
        test::writeBytes(indexPath, {});
        ::testing::internal::CaptureStderr();
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "The file content is insufficient to perform CRC validation!\n");
        EXPECT_FALSE(reader.isIndexReloaded());
    }
}

// An index file with a valid CRC and the given records section.
void writeIndex(const std::string& path, uint64_t fileSize, const std::vector<uint8_t>& afterSeparator) {
    const std::string text = "max_byte:" + std::to_string(fileSize) + "\nsensor_width:1280\nsensor_height:720\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    bytes.insert(bytes.end(), afterSeparator.begin(), afterSeparator.end());
    bytes.push_back(test::referenceCrc8(bytes));
    test::writeBytes(path, bytes);
}

TEST(BookmarkIndex, ImpossibleRecordCountIsRefusedBeforeReading) {
    // Fault mended: the count was trusted, so a huge one looped and allocated without bound.
    const auto body = test::encodedBody(11, 1000, 400000);
    const std::string path = makeRecording("count.raw", body);
    std::vector<uint8_t> records(8, 0xFF);
    records[7] = 0x7F;  // 2^63 - 1 records, none present
    writeIndex(indexPathOf(path), std::filesystem::file_size(path), records);
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_FALSE(reader.isIndexReloaded());
    EXPECT_EQ(countOf(reader), test::referenceDecode(body).size());
}

TEST(BookmarkIndex, UnwritableIndexLeavesTheReaderWorking) {
    const auto body = test::encodedBody(12, 1500, 500000);
    const std::string path = makeRecording("unwritable.raw", body);
    std::filesystem::create_directories(indexPathOf(path));  // a folder where the index should go
    test::StdoutCapture out;
    ::testing::internal::CaptureStderr();
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.finish().find("Failed to open file for writing: " + indexPathOf(path) + " (" +
                                std::strerror(EISDIR) + ")"),
              std::string::npos);
    EXPECT_EQ(reader.getIndexWriteError(), std::strerror(EISDIR));
    const auto reference = test::referenceDecode(body);
    EXPECT_EQ(countOf(reader), reference.size());
    ASSERT_TRUE(reader.seekNEvents(reference.size() / 2));
    const auto events = reader.getNEvents(100);
    ASSERT_EQ(events->size(), 100u);
    EXPECT_TRUE((*events)[0] == reference[reference.size() / 2]);
}

// The records of a saved index, field by field.
struct IndexRecord {
    uint64_t key = 0, offset = 0, timestamp = 0;
    uint8_t reserved = 0;
    uint32_t eventIndex = 0;
};

std::vector<IndexRecord> readIndexRecords(const std::string& path) {
    const auto bytes = test::readFile(path);
    const size_t countAt = static_cast<size_t>(std::find(bytes.begin(), bytes.end(), 0) - bytes.begin()) + 1;
    auto le = [&](size_t at, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v |= uint64_t{bytes[at + static_cast<size_t>(i)]} << (8 * i);
        return v;
    };
    std::vector<IndexRecord> records(static_cast<size_t>(le(countAt, 8)));
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t at = countAt + 8 + 29 * i;
        records[i] = {le(at, 8), le(at + 8, 8), le(at + 17, 8), bytes[at + 16], static_cast<uint32_t>(le(at + 25, 4))};
    }
    return records;
}

// Writes `records` as the index of a recording of `fileSize` bytes, with a valid check byte.
void writeIndexRecords(const std::string& path, uint64_t fileSize, const std::vector<IndexRecord>& records) {
    std::vector<uint8_t> section;
    auto put = [&](uint64_t v, int n) {
        for (int i = 0; i < n; ++i) section.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(records.size(), 8);
    for (const auto& r : records) {
        put(r.key, 8);
        put(r.offset, 8);
        section.push_back(r.reserved);
        put(r.timestamp, 8);
        put(r.eventIndex, 4);
    }
    writeIndex(path, fileSize, section);
}

TEST(BookmarkIndex, IndexThatSaysMoreThanTheRecordingCanHoldIsBuiltAgain) {
    // Fault mended: an index whose check byte held was trusted whole (a CRC-8 lets about one
    // random change in 256 through): decreasing event counts were read as 2^32 wraps and keys
    // far beyond the recording were taken as its times.
    const auto body = test::encodedBody(15, 3000, 800000);
    const std::string path = makeRecording("damaged.raw", body);
    const uint64_t size = std::filesystem::file_size(path);
    uint64_t realStart = 0, realEnd = 0, realCount = 0;
    {
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        realStart = startOf(reader);
        realEnd = endOf(reader);
        realCount = countOf(reader);
    }
    const std::string indexPath = indexPathOf(path);
    const auto good = readIndexRecords(indexPath);
    ASSERT_GT(good.size(), 20u);
    const size_t last = good.size() - 1;
    const size_t middle = good.size() / 2;
    ASSERT_GT(good[middle].eventIndex, good[middle - 1].eventIndex + 10);

    using Damage = std::function<void(std::vector<IndexRecord>&)>;
    const std::vector<std::pair<const char*, Damage>> damages = {
        {"a count that decreases in the middle", [&](auto& r) { r[middle].eventIndex = r[middle - 1].eventIndex - 5; }},
        {"a count that decreases at the end", [&](auto& r) { r[last].eventIndex = r[last - 1].eventIndex - 1; }},
        {"more events than the file holds", [&](auto& r) { r[last].eventIndex += 1u << 31; }},
        {"one event more than a span can hold", [&](auto& r) {
             // 12 events per 2-byte word at most.
             const auto capacity = static_cast<uint32_t>((r[middle].offset - r[middle - 1].offset) / 2 * 12);
             const uint32_t extra = capacity + 1 - (r[middle].eventIndex - r[middle - 1].eventIndex);
             for (size_t i = middle; i < r.size(); ++i) r[i].eventIndex += extra;
         }},
        {"a key that differs from its time", [&](auto& r) { r[middle].key += 1; }},
        {"an end far beyond the recording",
         [&](auto& r) { r[last].key = r[last].timestamp = 18086456103514862177ull; }},
        {"a start far beyond the data", [&](auto& r) {
             for (auto& record : r) record.key = record.timestamp = record.timestamp + (uint64_t{1} << 62);
         }},
        {"bookmarks closer than their period", [&](auto& r) {
             r[middle].key = r[middle].timestamp = r[middle - 1].timestamp + 1;
         }},
        {"an end record short of the file's end", [&](auto& r) { r[last].offset -= 2; }},
    };
    for (const auto& [what, damage] : damages) {
        auto records = good;
        damage(records);
        writeIndexRecords(indexPath, size, records);
        test::StdoutCapture out;
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile()) << what;
        EXPECT_NE(out.finish().find("does not fit the recording"), std::string::npos) << what;
        EXPECT_FALSE(reader.isIndexReloaded()) << what;
        EXPECT_EQ(startOf(reader), realStart) << what;
        EXPECT_EQ(endOf(reader), realEnd) << what;
        EXPECT_EQ(countOf(reader), realCount) << what;
        // The rebuilt index was written back and holds the real records again.
        const auto rebuilt = readIndexRecords(indexPath);
        ASSERT_EQ(rebuilt.size(), good.size()) << what;
        EXPECT_EQ(rebuilt[last].eventIndex, good[last].eventIndex) << what;
        EXPECT_EQ(rebuilt[middle].key, good[middle].key) << what;
    }

    // A header value that is not a number is a damaged index too, not an error of the load.
    auto bytes = test::readFile(indexPath);
    const std::string text = "max_byte:" + std::to_string(size);
    ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(text.size())), text);
    bytes[9] = 'x';
    bytes.back() = test::referenceCrc8(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));
    test::writeBytes(indexPath, bytes);
    RawFileReader reader(path);
    test::StdoutCapture out;
    ASSERT_TRUE(reader.loadFile());
    EXPECT_NE(out.finish().find("max_byte is not a number"), std::string::npos);
    EXPECT_FALSE(reader.isIndexReloaded());
    EXPECT_EQ(countOf(reader), realCount);
}

// Limits the size of the files this process writes (RLIMIT_FSIZE) while it lives: a write
// past `bytes` fails with EFBIG, as on a full disk, instead of raising SIGXFSZ. Output that
// goes to a regular file meanwhile is cut too, so the tests write nothing else then.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

TEST(BookmarkIndex, IndexThatCannotBeWrittenSaysWhyAndLeavesNothingBehind) {
    // Fault mended: a failed write left an empty or partial index file, and the messages
    // named neither the file nor the cause.
    const auto body = test::encodedBody(16, 1500, 500000);
    const auto reference = test::referenceDecode(body);
    {
        const std::string path = makeRecording("limited.raw", body);
        RawFileReader reader(path);
        bool loaded = false;
        {
            FileSizeLimit limit(64);  // the index is a few kilobytes
            loaded = reader.loadFile();
        }
        ASSERT_TRUE(loaded);
        EXPECT_EQ(reader.getIndexWriteError(), std::strerror(EFBIG));
        EXPECT_FALSE(std::filesystem::exists(indexPathOf(path)));
        EXPECT_EQ(countOf(reader), reference.size());
    }
    {
        // A full disk, through a link at the index's name: the link stays.
        const std::string path = makeRecording("full.raw", body);
        std::filesystem::create_symlink("/dev/full", indexPathOf(path));
        test::StdoutCapture out;
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        EXPECT_NE(out.finish().find("[error] Failed to write the bookmark index " + indexPathOf(path) + " (" +
                                    std::strerror(ENOSPC) + ")"),
                  std::string::npos);
        EXPECT_EQ(reader.getIndexWriteError(), std::strerror(ENOSPC));
        EXPECT_TRUE(std::filesystem::is_symlink(indexPathOf(path)));
        EXPECT_EQ(countOf(reader), reference.size());
    }
}

TEST(BookmarkIndex, EventNumbersPast32BitsAreWidened) {
    // A recording of more than 2^32 events needs at least 2^32 / 6 bytes (a vector word
    // holds 12 events in 2 bytes). It is imitated by a small recording with a hole of that
    // many zero bytes (words that only set the row; the file stays sparse on disk) before one
    // of its row words, whose index says the span across the hole holds F more events than
    // it does: the counts pass 2^32 and the file's 32-bit indices wrap there.
    const auto body = test::encodedBody(13, 3000, 600000);
    const std::string header = test::recorderHeader();
    const std::string small = makeRecording("small.raw", body, header);
    std::vector<RawFileReader::Bookmark> real;
    {
        RawFileReader reader(small);
        ASSERT_TRUE(reader.loadFile());
        for (const auto& kv : Peer::bookmarks(reader)) real.push_back(kv.second);
    }
    const size_t count = real.size();
    ASSERT_GT(count, 100u);
    // The hole goes before the first row word after a third of the records.
    size_t hole = static_cast<size_t>(real[count / 3].offset - header.size());
    while (hole + 1 < body.size() && (body[hole + 1] >> 4) != 0) hole += 2;
    ASSERT_LT(hole + 1, body.size());
    const uint64_t f = (uint64_t{1} << 32) - 1000;
    const uint64_t holeBytes = (f / 12 + 4096) * 2;
    const std::string path = scratchPath("wide.raw");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
        out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(hole));
        out.seekp(static_cast<std::streamoff>(header.size() + hole + holeBytes));
        out.write(reinterpret_cast<const char*>(body.data() + hole), static_cast<std::streamsize>(body.size() - hole));
    }
    const uint64_t holeAt = header.size() + hole;
    std::vector<IndexRecord> records;
    for (const auto& b : real) {
        const bool after = b.offset > holeAt;
        records.push_back({b.timestamp, b.offset + (after ? holeBytes : 0), b.timestamp, 0,
                           static_cast<uint32_t>(b.eventIndex + (after ? f : 0))});
    }
    writeIndexRecords(indexPathOf(path), std::filesystem::file_size(path), records);
    // The states at the records are those of the small recording: the hole only sets the
    // row, just before a row word.
    test::writeBytes(test::companionPathOf(path),
                     test::CompanionFile::restamped(test::readFile(test::companionPathOf(small)),
                                                    std::filesystem::file_size(path),
                                                    test::readFile(indexPathOf(path))));

    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ASSERT_TRUE(reader.isIndexReloaded());
    const auto reference = test::referenceDecode(body);
    EXPECT_EQ(countOf(reader), reference.size() + f);
    // A span near the end, with events, whose numbers lie past 2^32.
    size_t j = count - 2;
    while (j > 0 && real[j + 1].eventIndex - real[j].eventIndex < 2) --j;
    ASSERT_GT(real[j].offset, holeAt);
    ASSERT_GT(real[j].eventIndex + f, uint64_t{1} << 32);
    const uint64_t realTarget = real[j].eventIndex + (real[j + 1].eventIndex - real[j].eventIndex) / 2;
    const uint64_t target = realTarget + f;
    ASSERT_TRUE(reader.seekNEvents(target));
    EXPECT_EQ(reader.getCurrentPosEventNum(), target);
    const auto events = reader.getNEvents(200);
    ASSERT_EQ(events->size(), std::min<size_t>(200, reference.size() - realTarget));
    for (size_t i = 0; i < events->size(); ++i) {
        ASSERT_TRUE((*events)[i] == reference[realTarget + i]) << i;
    }
    EXPECT_EQ(reader.getCurrentPosEventNum(), target + events->size());
    // Seeking by time past 2^32 events gives the widened number too.
    ASSERT_TRUE(reader.seekTime(reference[realTarget].timestamp));
    EXPECT_GE(reader.getCurrentPosEventNum(), uint64_t{1} << 32);

    // The same counts for the recording without the hole: it cannot hold them.
    for (size_t i = 0; i < count; ++i) records[i].offset = real[i].offset;
    writeIndexRecords(indexPathOf(small), std::filesystem::file_size(small), records);
    RawFileReader tooSmall(small);
    ASSERT_TRUE(tooSmall.loadFile());
    EXPECT_FALSE(tooSmall.isIndexReloaded());
    EXPECT_EQ(countOf(tooSmall), reference.size());
}

TEST(BookmarkIndex, LookupsByTimeAndByEventNumber) {
    const auto body = test::encodedBody(14, 3000, 700000);
    RawFileReader reader(makeRecording("lookup.raw", body));
    ASSERT_TRUE(reader.loadFile());
    const auto& bookmarks = Peer::bookmarks(reader);
    auto second = std::next(bookmarks.begin());
    auto third = std::next(second);
    RawFileReader::Bookmark found;
    ASSERT_TRUE(Peer::byTime(reader, second->first, found));
    EXPECT_EQ(found.offset, second->second.offset);
    ASSERT_TRUE(Peer::byTime(reader, third->first - 1, found));
    EXPECT_EQ(found.offset, second->second.offset);
    EXPECT_FALSE(Peer::byTime(reader, bookmarks.begin()->first - 1, found));
    EXPECT_FALSE(Peer::byTime(reader, bookmarks.rbegin()->first + 1, found) &&
                 found.offset != bookmarks.rbegin()->second.offset);

    ASSERT_TRUE(Peer::byEvents(reader, 0, found));
    EXPECT_EQ(found.offset, bookmarks.begin()->second.offset);
    // n equal to a record's index gives a record with the greatest index below n.
    auto withEvents = std::find_if(third, bookmarks.end(), [&](const auto& kv) { return kv.second.eventIndex > second->second.eventIndex; });
    ASSERT_NE(withEvents, bookmarks.end());
    ASSERT_TRUE(Peer::byEvents(reader, withEvents->second.eventIndex, found));
    EXPECT_LT(found.eventIndex, withEvents->second.eventIndex);
    EXPECT_EQ(found.eventIndex, std::prev(withEvents)->second.eventIndex);
    EXPECT_FALSE(Peer::byEvents(reader, countOf(reader) + 1, found));
}

}  // namespace
}  // namespace vireo
