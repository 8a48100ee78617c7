#include "platform/graphics/Stream.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

TEST(Stream, MemoryReadsSeeksAndRaisesOnShortRead) {
    TMemoryStream s(std::vector<uint8_t>{1, 2, 3, 4, 5});
    EXPECT_EQ(s.ReadLE16(), 0x0201);
    EXPECT_EQ(s.ReadBE16(), 0x0304);
    EXPECT_EQ(s.Remaining(), 1);
    uint8_t buffer[4];
    EXPECT_THROW(s.ReadBuffer(buffer, 4), EStreamError);
    s.Seek(100, TSeekOrigin::soBeginning);
    EXPECT_EQ(s.Remaining(), 0);
    EXPECT_EQ(s.Read(buffer, 4), 0u);
    EXPECT_THROW(s.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
}

TEST(Stream, StrToIntAcceptsDecimalAndHexadecimal) {
    EXPECT_EQ(StrToInt("  42"), 42);
    EXPECT_EQ(StrToInt("-17"), -17);
    EXPECT_EQ(StrToInt("$FF"), 255);
    EXPECT_EQ(StrToInt("0x10"), 16);
    EXPECT_EQ(StrToInt("x10"), 16);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    for (const char* bad : {"", " ", "12a", "2147483648", "$", "1 ", "$100000000"}) {
        EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
    }
    try {
        StrToInt("abc");
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'abc' n'est pas une valeur entière correcte");
    }
}
