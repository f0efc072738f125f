// The RAW reader keeps only the events on the sensor its file's header names: ADDR_Y rows
// below it, ADDR_X columns right of it and vector runs past its edge (or past x 2047, where
// no base is left) give no event, and the index and the seeks count exactly the events the
// reader delivers. Checked on word streams full of such words, against a sequential decode
// written from the format description, with an index built by the scan and one reloaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <vireo/RawFileReader.h>

#include "RecordingTestSupport.h"

namespace vireo {
namespace {

// Words of every kind with coordinates anywhere the format can carry: rows down to 2047,
// columns up to 2047, vector bases near the sensor's edge and near x 2047 with long runs
// after them. Time only moves forward, in steps of up to 700 µs.
std::vector<uint8_t> offSensorBody(uint32_t seed, size_t words) {
    std::mt19937 rng(seed);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t type, uint32_t payload) { test::appendWord(out, type, payload); };
    uint64_t t = 700000;
    put(0x8, static_cast<uint32_t>(t >> 12));
    put(0x6, static_cast<uint32_t>(t));
    put(0x0, 5);
    put(0x3, 0);
    while (out.size() / 2 < words) {
        const uint32_t r = uni(0, 999);
        if (r < 30) {
            const uint64_t next = t + uni(1, 700);
            if ((next >> 12) != (t >> 12)) put(0x8, static_cast<uint32_t>(next >> 12));
            t = next;
            put(0x6, static_cast<uint32_t>(t));
        } else if (r < 60) {
            put(0x0, uni(0, 3) == 0 ? uni(720, 2047) : uni(0, 719));
        } else if (r < 75) {
            const uint32_t edge = uni(0, 2) == 0 ? 2047 : 1279;
            put(0x3, (edge - uni(0, 60)) | (uni(0, 1) << 11));
        } else if (r < 78) {
            put(0xA, uni(0, 1) | (uni(0, 3) << 8));
        } else if (r < 500) {
            put(0x2, (uni(0, 3) == 0 ? uni(1280, 2047) : uni(0, 1279)) | (uni(0, 1) << 11));
        } else if (r < 800) {
            put(0x4, uni(0, 0xFFF));
        } else {
            put(0x5, uni(0, 0xFF));
        }
    }
    return out;
}

// Seeks by event number and by time at random, each followed by a read, against `events`.
void checkSeeks(RawFileReader& reader, const std::vector<Event2D>& events, uint32_t seed, int rounds) {
    std::mt19937 rng(seed);
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    for (int round = 0; round < rounds; ++round) {
        const uint64_t e = std::uniform_int_distribution<uint64_t>(0, events.size() - 1)(rng);
        ASSERT_TRUE(reader.seekNEvents(e)) << e;
        const auto run = reader.getNEvents(std::uniform_int_distribution<uint64_t>(1, 2000)(rng));
        ASSERT_FALSE(run->empty());
        for (size_t i = 0; i < run->size(); ++i) {
            ASSERT_TRUE((*run)[i] == events[e + i]) << "event " << e + i << " after seekNEvents(" << e << ")";
        }
        const uint64_t t = std::uniform_int_distribution<uint64_t>(start, end)(rng);
        ASSERT_TRUE(reader.seekTime(t)) << t;
        const auto k = static_cast<uint64_t>(
            std::lower_bound(events.begin(), events.end(), t,
                             [](const Event2D& ev, uint64_t v) { return ev.timestamp < v; }) -
            events.begin());
        ASSERT_EQ(reader.getCurrentPosEventNum(), k) << "seekTime(" << t << ")";
    }
}

std::vector<Event2D> readAll(RawFileReader& reader) {
    std::vector<Event2D> all;
    EXPECT_TRUE(reader.seekNEvents(0));
    for (auto run = reader.getNEvents(50000); !run->empty(); run = reader.getNEvents(50000)) {
        all.insert(all.end(), run->begin(), run->end());
    }
    return all;
}

}  // namespace

// Fixed fault: the reader's decoder ignored the sensor geometry, so events off the sensor
// reached every consumer; and a decoder that drops them is only right if the index scan
// leaves them out of its counts too, or event numbers and seeks by count drift.
TEST(RawReaderGeometry, CountSeeksGiveTheEventsOfAFullDecodeOnTheSensor) {
    const auto body = offSensorBody(41, 300000);
    const std::string path = test::scratchPath("offsensor.raw");
    test::writeFile(path, test::recorderHeader(), body);
    const auto events = test::referenceDecode(body, nullptr, 1280, 720);
    ASSERT_GT(events.size(), 100000u);
    ASSERT_LT(events.size(), test::referenceDecode(body, nullptr, 2048, 2048).size()) << "the body has words off the sensor";
    {
        RawFileReader built(path);
        ASSERT_TRUE(built.loadFile());
        ASSERT_FALSE(built.isIndexReloaded());
        uint64_t count = 0;
        built.getMaxEvents(count);
        EXPECT_EQ(count, events.size());
        const auto all = readAll(built);
        ASSERT_EQ(all.size(), events.size());
        EXPECT_TRUE(all == events);
        checkSeeks(built, events, 1, 120);
    }
    RawFileReader reloaded(path);
    ASSERT_TRUE(reloaded.loadFile());
    ASSERT_TRUE(reloaded.isIndexReloaded());
    checkSeeks(reloaded, events, 2, 120);
}

TEST(RawReaderGeometry, TheHeadersGeometryIsTheSensor) {
    // A 640 x 480 recording whose words reach a 1280 x 720 sensor: only the events on its
    // own sensor are delivered and counted.
    const auto body = test::encodedBody(42, 3000, 90000);
    const std::string path = test::scratchPath("small.raw");
    test::writeFile(path, "% evt 3.0\n% geometry 640x480\n% end\n", body);
    const auto events = test::referenceDecode(body, nullptr, 640, 480);
    ASSERT_GT(events.size(), 1000u);
    ASSERT_LT(events.size(), test::referenceDecode(body).size());
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    uint64_t count = 0;
    reader.getMaxEvents(count);
    EXPECT_EQ(count, events.size());
    const auto all = readAll(reader);
    EXPECT_TRUE(all == events);
    for (const Event2D& e : all) ASSERT_TRUE(e.x < 640 && e.y < 480);
    checkSeeks(reader, events, 3, 80);
}

}  // namespace vireo
