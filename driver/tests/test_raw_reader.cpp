// Tests of RAW file loading: the reader factory, the header rules (geometry from either
// line, serial number, non-EVT3 rejection, header-only files), the index path, and the
// bookmark index: its layout and file format, reloading, validation with rebuilds after a
// change, and the mended faults (index never over the recording, unwritable index,
// impossible record counts, event numbers past 2^32).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <vireo/DvsFileReader.h>
#include <vireo/RawFileReader.h>
#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

using test::scratchPath;
using Peer = RawFileReaderTestPeer;

uint64_t startOf(RawFileReader& r) { uint64_t v = 0; r.getStartTimeStamp(v); return v; }
uint64_t endOf(RawFileReader& r) { uint64_t v = 0; r.getEndTimeStamp(v); return v; }
uint64_t countOf(RawFileReader& r) { uint64_t v = 0; r.getMaxEvents(v); return v; }

// A generated recording with the recorder's header, written under the test's scratch folder.
std::string makeRecording(const std::string& name, std::vector<uint8_t> body, const std::string& header = test::recorderHeader()) {
    const std::string path = scratchPath(name);
    test::writeFile(path, header, body);
    return path;
}

std::string indexPathOf(const std::string& rawPath) {
    return rawPath.substr(0, rawPath.size() - 4) + ".dsmark.tmp";
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
    const auto body = test::encodedBody(3, 50, 5000);
    RawFileReader notNumber(makeRecording("nan.raw", body, "% geometry widexhigh\n% end\n"));
    EXPECT_THROW(notNumber.loadFile(), std::invalid_argument);
    RawFileReader tooLarge(makeRecording("big.raw", body, "% format EVT3;width=99999999999\n% end\n"));
    EXPECT_THROW(tooLarge.loadFile(), std::out_of_range);
    RawFileReader truncated(makeRecording("wide.raw", body, "% geometry 65537x480\n% end\n"));
    ASSERT_TRUE(truncated.loadFile());
    EXPECT_EQ(truncated.getWidth(), 1);
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
    EXPECT_NE(out.finish().find("Failed to open file for writing"), std::string::npos);
    const auto reference = test::referenceDecode(body);
    EXPECT_EQ(countOf(reader), reference.size());
    ASSERT_TRUE(reader.seekNEvents(reference.size() / 2));
    const auto events = reader.getNEvents(100);
    ASSERT_EQ(events->size(), 100u);
    EXPECT_TRUE((*events)[0] == reference[reference.size() / 2]);
}

TEST(BookmarkIndex, EventNumbersPast32BitsAreWidened) {
    // A recording of more than 2^32 events is too large for a test. Its index is imitated:
    // every span is given F more events than it has, with F large enough that the counts
    // pass 2^32 and the file's 32-bit indices wrap; each step stays below 2^32.
    const auto body = test::encodedBody(13, 3000, 600000);
    const std::string header = test::recorderHeader();
    const std::string path = makeRecording("wide.raw", body, header);
    std::vector<RawFileReader::Bookmark> real;
    {
        RawFileReader reader(path);
        ASSERT_TRUE(reader.loadFile());
        for (const auto& kv : Peer::bookmarks(reader)) real.push_back(kv.second);
    }
    const std::string indexPath = indexPathOf(path);
    auto bytes = test::readFile(indexPath);
    bytes.pop_back();
    const size_t countAt = static_cast<size_t>(std::find(bytes.begin(), bytes.end(), 0) - bytes.begin()) + 1;
    const size_t count = real.size();
    ASSERT_EQ(bytes.size(), countAt + 8 + 29 * count);
    ASSERT_GT(count, 100u);
    const uint64_t f = (uint64_t{1} << 32) / (count - 2) + 7;
    for (size_t i = 1; i < count; ++i) {
        uint8_t* index = bytes.data() + countAt + 8 + 29 * i + 25;
        const auto value = static_cast<uint32_t>(real[i].eventIndex + i * f);
        for (int b = 0; b < 4; ++b) index[b] = static_cast<uint8_t>(value >> (8 * b));
    }
    writeIndex(indexPath, std::filesystem::file_size(path),
               std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(countAt), bytes.end()));

    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    ASSERT_TRUE(reader.isIndexReloaded());
    const auto reference = test::referenceDecode(body);
    EXPECT_EQ(countOf(reader), reference.size() + (count - 1) * f);
    // A span near the end, with events, whose numbers lie past 2^32.
    size_t j = count - 2;
    while (j > 0 && real[j + 1].eventIndex - real[j].eventIndex < 2) --j;
    ASSERT_GT(j * f, uint64_t{1} << 32);
    const uint64_t realTarget = real[j].eventIndex + (real[j + 1].eventIndex - real[j].eventIndex) / 2;
    const uint64_t target = realTarget + j * f;
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
