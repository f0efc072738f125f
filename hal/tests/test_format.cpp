// Parsing of raw event stream format texts and the decoder factory's choice of decoder.
#include <gtest/gtest.h>

#include <stdexcept>

#include <vireo/hal.h>

using namespace vireo;

TEST(RawEventStreamFormat, ParsesNameAndGeometry) {
    const RawEventStreamFormat f("EVT3;height=720;width=1280");
    EXPECT_EQ(f.name(), "EVT3");
    EXPECT_EQ(f.toString(), "EVT3;height=720;width=1280");
    EXPECT_EQ(f.width(), 1280u);
    EXPECT_EQ(f.height(), 720u);
    EXPECT_EQ(f.get("height"), "720");
    EXPECT_FALSE(f.get("depth").has_value());
    EXPECT_EQ(f.options().size(), 2u);
}

TEST(RawEventStreamFormat, ToleratesBlanksEmptyPiecesAndMissingGeometry) {
    const RawEventStreamFormat f(" EVT3 ; width = 640 ;; mode=fast;");
    EXPECT_EQ(f.name(), "EVT3");
    EXPECT_EQ(f.width(), 640u);
    EXPECT_FALSE(f.height().has_value());
    EXPECT_EQ(f.get("mode"), "fast");
    EXPECT_FALSE(RawEventStreamFormat("EVT3").width().has_value());
}

TEST(RawEventStreamFormat, RejectsMalformedText) {
    EXPECT_THROW(RawEventStreamFormat(""), std::invalid_argument);
    EXPECT_THROW(RawEventStreamFormat(";width=3"), std::invalid_argument);
    EXPECT_THROW(RawEventStreamFormat("EVT3;width"), std::invalid_argument);
    EXPECT_THROW(RawEventStreamFormat("EVT3;=5"), std::invalid_argument);
    EXPECT_THROW(RawEventStreamFormat("EVT3;width=12a"), std::invalid_argument);
    EXPECT_THROW(RawEventStreamFormat("EVT3;height=0"), std::invalid_argument);
    EXPECT_THROW(RawEventStreamFormat("EVT3;height=-1"), std::invalid_argument);
    try {
        RawEventStreamFormat("EVT3;width=wide");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("width"), std::string::npos) << e.what();
    }
}

TEST(DecoderFactory, CreatesEvt3DecoderAndRefusesOtherFormats) {
    auto decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT3;height=720;width=1280"));
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->getWordSize(), 2);
    EXPECT_NE(dynamic_cast<Evt3Decoder*>(decoder.get()), nullptr);
    EXPECT_NE(DecoderFactory::createUniqueDecoder(RawEventStreamFormat("evt3")), nullptr);
    try {
        DecoderFactory::createUniqueDecoder(RawEventStreamFormat("EVT2;height=720;width=1280"));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("EVT2"), std::string::npos) << e.what();
    }
}
