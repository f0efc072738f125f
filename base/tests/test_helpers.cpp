// Text and byte-order helpers: the exact text forms the RAW header relies on, and byte
// swapping at the buffer edges.
#include <vireo/Helpers.h>

#include <gtest/gtest.h>

#include <cctype>
#include <climits>

namespace vireo {
namespace {

TEST(Helpers, HexToStringPadsAndUsesUpperCase) {
    EXPECT_EQ(hexToString(255, 4), "00FF");
    EXPECT_EQ(hexToString(255, 0), "FF");
    EXPECT_EQ(hexToString(0xabcdef, 2), "ABCDEF");
    EXPECT_EQ(hexToString(0, 3), "000");
}

TEST(Helpers, HexToStringShowsNegativesAsTwosComplement) {
    EXPECT_EQ(hexToString(-1, 2), "FFFFFFFF");
    EXPECT_EQ(hexToString(INT_MIN, 0), "80000000");
    EXPECT_EQ(hexToString(-2, 10), "00FFFFFFFE");
}

TEST(Helpers, IntToStringPadsInFrontOfTheSign) {
    EXPECT_EQ(intToString(42, 5), "00042");
    EXPECT_EQ(intToString(-7, 4), "00-7");
    EXPECT_EQ(intToString(123, 2), "123");
    EXPECT_EQ(intToString(0, 0), "0");
    EXPECT_EQ(intToString(INT_MIN, 0), "-2147483648");
}

TEST(Helpers, ConvertEndianSwapsEveryWord) {
    std::vector<unsigned char> data{0x12, 0x34, 0x56, 0x78};
    convertEndian(data);
    EXPECT_EQ(data, (std::vector<unsigned char>{0x34, 0x12, 0x78, 0x56}));

    std::vector<unsigned char> empty;
    convertEndian(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(Helpers, ConvertEndianLeavesTheUnpairedLastByteAlone) {
    std::vector<unsigned char> odd{0x12, 0x34, 0x56};
    convertEndian(odd);
    EXPECT_EQ(odd, (std::vector<unsigned char>{0x34, 0x12, 0x56}));

    std::vector<unsigned char> single{0xAB};
    convertEndian(single);
    EXPECT_EQ(single, (std::vector<unsigned char>{0xAB}));
}

TEST(Helpers, Swap16SwapsOnlyTwoBytes) {
    unsigned char bytes[3] = {0x01, 0x02, 0x03};
    swap16(bytes);
    EXPECT_EQ(bytes[0], 0x02);
    EXPECT_EQ(bytes[1], 0x01);
    EXPECT_EQ(bytes[2], 0x03);
}

TEST(Helpers, GetSysTimeHasTheHeaderShape) {
    const std::string now = getSysTime();
    ASSERT_EQ(now.size(), 19u);
    for (size_t i = 0; i < now.size(); ++i) {
        switch (i) {
            case 4: case 7: EXPECT_EQ(now[i], '-'); break;
            case 10: EXPECT_EQ(now[i], ' '); break;
            case 13: case 16: EXPECT_EQ(now[i], ':'); break;
            default: EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(now[i]))) << now;
        }
    }
}

}  // namespace
}  // namespace vireo
