// Tests of the index's companion file, which holds the row and vector state at each bookmark:
// a reopened recording resumes at every bookmark exactly as a decode from the start does,
// and a companion that is missing, damaged or made for another index or recording is
// indexed again, never trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <vireo/RawFileReader.h>
#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

using Peer = RawFileReaderTestPeer;
using Recording = test::DecodedRecording;
using test::makeDecodedRecording;
using test::firstAtOrAfter;
using test::indexPathOf;

void expectEventsFrom(RawFileReader& reader, const std::vector<Event2D>& events, size_t from, size_t count,
                      const std::string& what) {
    const auto got = reader.getNEvents(count);
    ASSERT_EQ(got->size(), std::min(count, events.size() - from)) << what;
    for (size_t i = 0; i < got->size(); ++i) {
        ASSERT_TRUE((*got)[i] == events[from + i]) << what << ": event " << from + i;
    }
}

// Seeks to every bookmark, by its time and by its event number, each followed by a read
// compared with the sequential decode.
void checkEveryBookmark(RawFileReader& reader, const std::vector<Event2D>& events, const std::string& what) {
    const auto& bookmarks = Peer::bookmarks(reader);
    ASSERT_GT(bookmarks.size(), 50u) << what;
    for (const auto& [key, record] : bookmarks) {
        ASSERT_TRUE(reader.seekTime(key)) << what << " seekTime " << key;
        const size_t k = firstAtOrAfter(events, key);
        ASSERT_EQ(reader.getCurrentPosEventNum(), k) << what << " seekTime " << key;
        expectEventsFrom(reader, events, k, 300, what + " after seekTime " + std::to_string(key));
    }
    for (const auto& [count, key] : Peer::eventIndexMap(reader)) {
        // The record's own number, and one past it: inside its first event word.
        for (const uint64_t n : {count, count + 1}) {
            if (n > events.size()) continue;
            ASSERT_TRUE(reader.seekNEvents(n)) << what << " seekNEvents " << n;
            ASSERT_EQ(reader.getCurrentPosEventNum(), n);
            expectEventsFrom(reader, events, static_cast<size_t>(n), 300, what + " after seekNEvents " + std::to_string(n));
        }
    }
}

TEST(RawReaderCompanion, EverySeekToABookmarkOfAReopenedRecordingEqualsTheDecodeFromTheStart) {
    // Encoder-made (rows, vectors, triggers, rollover) and a word stream whose rows and
    // vector bases run on across many bookmarks.
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> bodies = {
        {"encoded.raw", test::encodedBody(41, 6000, (1u << 24) - 400000)},
        {"soup.raw", test::wordSoupBody(42, 300000, (1u << 24) - 300000)},
    };
    for (const auto& [name, body] : bodies) {
        const Recording rec = makeDecodedRecording(name, body);
        std::vector<uint8_t> companion;
        {
            RawFileReader built(rec.path);
            ASSERT_TRUE(built.loadFile()) << name;
            ASSERT_FALSE(built.isIndexReloaded());
            companion = test::readFile(test::companionPathOf(rec.path));
            ASSERT_FALSE(companion.empty()) << name;
            checkEveryBookmark(built, rec.events, name + " (built)");
        }
        RawFileReader reloaded(rec.path);
        ASSERT_TRUE(reloaded.loadFile()) << name;
        ASSERT_TRUE(reloaded.isIndexReloaded()) << name;
        checkEveryBookmark(reloaded, rec.events, name + " (reloaded)");
        // Reloading takes the companion as it is.
        EXPECT_EQ(test::readFile(test::companionPathOf(rec.path)), companion) << name;
    }
}

TEST(RawReaderCompanion, CompanionThatDoesNotFitIsIndexedAgainNeverTrusted) {
    const Recording rec = makeDecodedRecording("rec.raw", test::encodedBody(43, 4000, 900000));
    const std::string companionPath = test::companionPathOf(rec.path);
    const std::string indexPath = indexPathOf(rec.path);
    {
        RawFileReader reader(rec.path);
        ASSERT_TRUE(reader.loadFile());
    }
    const std::vector<uint8_t> goodCompanion = test::readFile(companionPath);
    const std::vector<uint8_t> goodIndex = test::readFile(indexPath);
    ASSERT_GT(goodCompanion.size(), test::CompanionFile::kHeaderBytes + 4);
    using Bytes = std::vector<uint8_t>;
    const size_t firstState = test::CompanionFile::kHeaderBytes;
    const size_t someState = firstState + 7 * test::CompanionFile::kStateBytes;

    struct Case {
        std::string what;
        std::function<void()> spoil;
    };
    auto writeCompanion = [&](const Bytes& bytes) { test::writeBytes(companionPath, bytes); };
    const std::vector<Case> cases = {
        {"missing (an index from before companions)", [&] { std::filesystem::remove(companionPath); }},
        {"empty", [&] { writeCompanion({}); }},
        {"truncated", [&] { writeCompanion(Bytes(goodCompanion.begin(), goodCompanion.end() - 9)); }},
        {"a bit flipped in a state",
         [&] {
             Bytes b = goodCompanion;
             b[someState] ^= 0x04;
             writeCompanion(b);
         }},
        {"another magic",
         [&] {
             Bytes b = goodCompanion;
             b[0] = 'X';
             writeCompanion(test::CompanionFile::withGoodCrc(b));
         }},
        {"another version",
         [&] {
             Bytes b = goodCompanion;
             b[8] = 2;
             writeCompanion(test::CompanionFile::withGoodCrc(b));
         }},
        {"made for a recording of another size",
         [&] {
             writeCompanion(test::CompanionFile::restamped(goodCompanion, std::filesystem::file_size(rec.path) + 2,
                                                           goodIndex));
         }},
        {"stale: made for another index of the same recording",
         [&] {
             // The index changes in a byte no check of its own looks at (a record's reserved
             // byte), with its CRC-8 made good: it loads, but the companion's index CRC-32
             // tells that the two were not written together.
             Bytes index = goodIndex;
             const size_t records = static_cast<size_t>(std::find(index.begin(), index.end(), 0) - index.begin()) + 9;
             index[records + 29 * 3 + 16] ^= 1;
             index.pop_back();
             index.push_back(test::referenceCrc8(index));
             test::writeBytes(indexPath, index);
         }},
        {"one state fewer than records",
         [&] {
             Bytes b = goodCompanion;
             b.erase(b.begin() + static_cast<std::ptrdiff_t>(someState),
                     b.begin() + static_cast<std::ptrdiff_t>(someState + test::CompanionFile::kStateBytes));
             writeCompanion(test::CompanionFile::withGoodCrc(b));
         }},
        {"a row past 2047 (good CRC)",
         [&] {
             Bytes b = goodCompanion;
             b[someState + 1] = 0x08;  // row 2048 and more
             writeCompanion(test::CompanionFile::withGoodCrc(b));
         }},
        {"a first state that is not the start of the data (good CRC)",
         [&] {
             Bytes b = goodCompanion;
             b[firstState + 4] = 1;  // row known
             writeCompanion(test::CompanionFile::withGoodCrc(b));
         }},
    };
    for (const Case& c : cases) {
        test::writeBytes(indexPath, goodIndex);
        writeCompanion(goodCompanion);
        c.spoil();
        test::StdoutCapture out;
        RawFileReader reader(rec.path);
        ASSERT_TRUE(reader.loadFile()) << c.what;
        const std::string log = out.finish();
        EXPECT_FALSE(reader.isIndexReloaded()) << c.what;
        EXPECT_NE(log.find("do not fit the index"), std::string::npos) << c.what << "\n" << log;
        // Both files are written anew, as a first load writes them.
        EXPECT_EQ(test::readFile(companionPath), goodCompanion) << c.what;
        EXPECT_EQ(test::readFile(indexPath), goodIndex) << c.what;
        // And the reader seeks right with the rebuilt states.
        const uint64_t t = rec.events[rec.events.size() / 2].timestamp;
        ASSERT_TRUE(reader.seekTime(t)) << c.what;
        const size_t k = firstAtOrAfter(rec.events, t);
        expectEventsFrom(reader, rec.events, k, 500, c.what);
        // The next load trusts what was written.
        RawFileReader again(rec.path);
        ASSERT_TRUE(again.loadFile()) << c.what;
        EXPECT_TRUE(again.isIndexReloaded()) << c.what;
    }
}

TEST(RawReaderCompanion, CompanionIsWrittenBesideTheIndexForEveryName) {
    // A name without ".raw" gets both suffixes appended, so neither file takes the
    // recording's own path.
    const std::string path = test::scratchPath("recording.bin");
    test::writeFile(path, test::recorderHeader(), test::encodedBody(44, 500, 1000));
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_TRUE(std::filesystem::exists(path + ".dsmark.tmp"));
    EXPECT_TRUE(std::filesystem::exists(path + ".dsmark.state"));
    RawFileReader again(path);
    ASSERT_TRUE(again.loadFile());
    EXPECT_TRUE(again.isIndexReloaded());
}

}  // namespace
}  // namespace vireo
