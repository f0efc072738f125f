// Shared value types: the layout other code and files rely on, and constructors whose
// argument order differs from the member order.
#include <vireo/SharedTypes.h>

#include <gtest/gtest.h>

#include <cstddef>

namespace vireo {
namespace {

TEST(SharedTypes, Event2DIsSixteenBytesInMemberOrder) {
    EXPECT_EQ(sizeof(Event2D), 16u);
    EXPECT_EQ(offsetof(Event2D, x), 0u);
    EXPECT_EQ(offsetof(Event2D, y), 2u);
    EXPECT_EQ(offsetof(Event2D, polarity), 4u);
    EXPECT_EQ(offsetof(Event2D, timestamp), 8u);
    const Event2D e(1279, 719, 1, 1ull << 40);
    EXPECT_EQ(e.x, 1279);
    EXPECT_EQ(e.y, 719);
    EXPECT_EQ(e.polarity, 1);
    EXPECT_EQ(e.timestamp, 1ull << 40);
    EXPECT_EQ(Event2D(), Event2D(0, 0, 0, 0));
}

TEST(SharedTypes, TriggerEdgeIsBuiltFromIdPolarityTime) {
    const EventTriggerIn edge(3, 1, 123456789012ull);
    EXPECT_EQ(edge.id, 3);
    EXPECT_EQ(edge.polarity, 1);
    EXPECT_EQ(edge.timestamp, 123456789012ull);
    const EventTriggerIn zero;
    EXPECT_EQ(zero.id, 0);
    EXPECT_EQ(zero.polarity, 0);
    EXPECT_EQ(zero.timestamp, 0u);
}

TEST(SharedTypes, EnumerationValuesAreFixed) {
    EXPECT_EQ(STREAM_DVS, 0);
    EXPECT_EQ(STREAM_BOTH, 2);
    EXPECT_EQ(TandemCamera, 2);
    EXPECT_EQ(TOOL_ROI, 6);
    EXPECT_EQ(TOOL_APS_CTRL, 7);
    EXPECT_EQ(POLARITY_SEPARATE, 3);
    EXPECT_EQ(LOG_CRITICAL, 5);
    EXPECT_EQ(sizeof(LogLevelType), 4u);
    const DsStatisticInfo stats(7, 9);
    EXPECT_EQ(stats.first, 7u);
    EXPECT_EQ(stats.second, 9u);
}

}  // namespace
}  // namespace vireo
