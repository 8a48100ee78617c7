#include "platform/graphics/Stream.h"
#include "platform/graphics/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

// Memory streams are viewed in place, other streams read; both end at the stream's end and
// refuse more than the limit.
TEST(Stream, ViewRestSharesAMemoryStreamsBytesAndReadsOthers) {
    TMemoryStream memory(std::vector<uint8_t>{1, 2, 3, 4, 5});
    memory.Seek(2, TSeekOrigin::soBeginning);
    std::vector<uint8_t> holder;
    const std::span<const uint8_t> view = ViewRest(memory, 3, holder);
    EXPECT_EQ(std::vector<uint8_t>(view.begin(), view.end()), (std::vector<uint8_t>{3, 4, 5}));
    EXPECT_EQ(view.data(), memory.Memory() + 2);
    EXPECT_TRUE(holder.empty());
    EXPECT_EQ(memory.Remaining(), 0);
    memory.Seek(100, TSeekOrigin::soBeginning);
    EXPECT_TRUE(ViewRest(memory, 3, holder).empty());
    memory.Seek(0, TSeekOrigin::soBeginning);
    EXPECT_THROW(ViewRest(memory, 4, holder), EStreamError);

    const std::string name = ::testing::TempDir() + "view_rest.bin";
    memory.SaveToFile(name);
    TFileStream file(name, fmOpenRead);
    file.Seek(1, TSeekOrigin::soBeginning);
    const std::span<const uint8_t> read = ViewRest(file, 4, holder);
    EXPECT_EQ(read.data(), holder.data());
    EXPECT_EQ(std::vector<uint8_t>(read.begin(), read.end()), (std::vector<uint8_t>{2, 3, 4, 5}));
    EXPECT_EQ(file.Remaining(), 0);
    std::remove(name.c_str());
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
