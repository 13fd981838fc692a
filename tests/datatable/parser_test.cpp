#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "capture.h"
#include "datatable/databufparser.h"
#include "datatable/datacell.h"
#include "datatable/datawriter.h"
#include "platform/codepage.h"

using namespace kt;
using kttest::Hex;
using kttest::ToHex;

namespace {

std::string Encode(int32_t n) {
    uint8_t buf[5];
    const size_t nLen = CDataBufParser::EncodeInt(n, buf);
    return std::string(reinterpret_cast<const char*>(buf), nLen);
}

int32_t DecodeAll(const std::string& str, uint32_t* pConsumed) {
    CDataBufParser parser(str.data(), static_cast<uint32_t>(str.size()));
    const int32_t n = parser.ReadInt();
    *pConsumed = static_cast<uint32_t>(str.size()) - parser.GetRemain();
    return n;
}

}  // namespace

TEST(StopBitInt, ExamplesByteForByte) {
    EXPECT_EQ(ToHex(Encode(0)), "80");
    EXPECT_EQ(ToHex(Encode(1)), "81");
    EXPECT_EQ(ToHex(Encode(-1)), "FF");
    EXPECT_EQ(ToHex(Encode(63)), "BF");
    EXPECT_EQ(ToHex(Encode(64)), "00 C0");
    EXPECT_EQ(ToHex(Encode(-64)), "C0");
    EXPECT_EQ(ToHex(Encode(-65)), "7F BF");
    EXPECT_EQ(ToHex(Encode(300)), "02 AC");
    EXPECT_EQ(ToHex(Encode(std::numeric_limits<int32_t>::max())), "07 7F 7F 7F FF");
    EXPECT_EQ(ToHex(Encode(std::numeric_limits<int32_t>::min())), "78 00 00 00 80");
}

TEST(StopBitInt, EverySizeBoundaryRoundTrips) {
    struct Case {
        int32_t nValue;
        size_t nLen;
    };
    const Case cases[] = {
        {-64, 1},
        {63, 1},
        {-65, 2},
        {64, 2},
        {-8192, 2},
        {8191, 2},
        {-8193, 3},
        {8192, 3},
        {-1048576, 3},
        {1048575, 3},
        {-1048577, 4},
        {1048576, 4},
        {-134217728, 4},
        {134217727, 4},
        {-134217729, 5},
        {134217728, 5},
        {std::numeric_limits<int32_t>::min(), 5},
        {std::numeric_limits<int32_t>::max(), 5},
    };
    for (const Case& c : cases) {
        const std::string str = Encode(c.nValue);
        EXPECT_EQ(str.size(), c.nLen) << c.nValue;
        uint32_t nConsumed = 0;
        EXPECT_EQ(DecodeAll(str, &nConsumed), c.nValue);
        EXPECT_EQ(nConsumed, c.nLen) << c.nValue;
        // Only the last byte carries the stop bit.
        for (size_t i = 0; i + 1 < str.size(); ++i)
            EXPECT_EQ(static_cast<unsigned char>(str[i]) & 0x80, 0) << c.nValue;
        EXPECT_NE(static_cast<unsigned char>(str.back()) & 0x80, 0) << c.nValue;
    }
}

TEST(StopBitInt, FiveBytesWithoutStopBitEndThere) {
    const std::string str = Hex("01 02 03 04 05 81");
    CDataBufParser parser(str.data(), static_cast<uint32_t>(str.size()));
    const uint32_t nExpected = ((((1u << 7 | 2u) << 7 | 3u) << 7 | 4u) << 7) | 5u;
    EXPECT_EQ(parser.ReadInt(), static_cast<int32_t>(nExpected));
    EXPECT_EQ(parser.GetRemain(), 1u);
    EXPECT_EQ(parser.ReadInt(), 1);
}

TEST(StopBitInt, TruncatedAndExhaustedBuffers) {
    // Two bytes without a stop bit end with the buffer; bit 6 of the first gives the sign.
    const std::string str = Hex("7F 3F");
    CDataBufParser parser(str.data(), 2);
    EXPECT_EQ(parser.ReadInt(), -65);
    EXPECT_EQ(parser.GetRemain(), 0u);
    const uint8_t* pEnd = parser.GetCurrent();
    EXPECT_EQ(parser.ReadInt(), 0);
    EXPECT_EQ(parser.GetCurrent(), pEnd);

    CDataBufParser empty;
    kttest::CTraceCapture trace;
    EXPECT_EQ(empty.ReadInt(), -1);
    EXPECT_EQ(empty.ReadType(), DT_EMPTY);
}

TEST(Primitives, TextFloatDoubleAndTypeReads) {
    CDataBufWriter writer;
    writer.WriteString(u"ab");
    writer.WriteString(u"");
    writer.WriteFloat(1.5f);
    writer.WriteDouble(-2.25);
    writer.WriteInt(7);  // DT_FLOAT
    writer.WriteInt(18);
    writer.WriteInt(-1);
    const std::string& buf = writer.GetBuffer();
    EXPECT_EQ(ToHex(buf.substr(0, 4)), "82 61 62 80");

    CDataBufParser parser(buf.data(), static_cast<uint32_t>(buf.size()));
    std::u16string str = u"x";
    EXPECT_EQ(parser.ReadString(str), 0);
    EXPECT_EQ(str, u"ab");
    EXPECT_EQ(parser.ReadString(str), 0);
    EXPECT_EQ(str, u"");
    double d = 0;
    EXPECT_TRUE(parser.ReadFloat(d));
    EXPECT_EQ(d, 1.5);
    EXPECT_TRUE(parser.ReadDouble(d));
    EXPECT_EQ(d, -2.25);
    EXPECT_EQ(parser.ReadType(), DT_FLOAT);
    EXPECT_EQ(parser.ReadType(), DT_EMPTY);
    EXPECT_EQ(parser.ReadType(), DT_EMPTY);
    EXPECT_EQ(parser.GetRemain(), 0u);
}

TEST(Primitives, EveryWireIndexMapsBothWays) {
    const uint32_t codes[18] = {
        DT_EMPTY,       DT_RESERVED1,    DT_RESERVED2, DT_TABLE,   DT_STRING, DT_INTEGER,
        DT_DOUBLE,      DT_FLOAT,        DT_TIME,      DT_DATE,    DT_BOOL,   DT_STRING1,
        DT_DATE_NUMBER, DT_DATE_NUMBER2, DT_YEAR,      DT_STRING2, DT_FLOAT2, DT_STRING3};
    for (int32_t i = 0; i < 18; ++i) {
        EXPECT_EQ(CDataBufParser::TypeFromIndex(i), codes[i]) << i;
        EXPECT_EQ(CDataBufParser::IndexFromType(codes[i]), i) << i;
    }
    kttest::CTraceCapture trace;
    uint8_t buf[8] = {};
    CDataBufParser parser(buf, sizeof(buf));
    EXPECT_TRUE(parser.WriteType(0x777));  // unknown codes go out as index 0
    EXPECT_EQ(buf[0], 0x80);
}

TEST(Primitives, BadTextLengthsAreRejected) {
    kttest::CTraceCapture trace;
    // Negative length: rejected, only the length consumed.
    std::string str = Hex("FF 61");
    CDataBufParser parser(str.data(), static_cast<uint32_t>(str.size()));
    std::u16string out = u"keep";
    EXPECT_EQ(parser.ReadString(out), -1);
    EXPECT_EQ(out, u"keep");
    EXPECT_EQ(parser.GetRemain(), 1u);

    // Length one past the end.
    str = Hex("83 61 62");
    CDataBufParser parser2(str.data(), static_cast<uint32_t>(str.size()));
    EXPECT_EQ(parser2.ReadString(out), -1);
    EXPECT_EQ(parser2.GetRemain(), 2u);
    // Exactly to the end is fine.
    str = Hex("82 61 62");
    CDataBufParser parser3(str.data(), static_cast<uint32_t>(str.size()));
    EXPECT_EQ(parser3.ReadString(out), 0);
    EXPECT_EQ(out, u"ab");
}

TEST(Primitives, FloatAndDoubleNeedTheirBytes) {
    kttest::CTraceCapture trace;
    const std::string str = Hex("00 00 80 3F 00 00 00");
    CDataBufParser parser(str.data(), 3);
    double d = 42;
    EXPECT_FALSE(parser.ReadFloat(d));
    EXPECT_EQ(parser.GetRemain(), 3u);
    EXPECT_EQ(d, 42);
    CDataBufParser parser2(str.data(), 7);
    EXPECT_FALSE(parser2.ReadDouble(d));
    EXPECT_EQ(parser2.GetRemain(), 7u);
    EXPECT_TRUE(parser2.ReadFloat(d));
    EXPECT_EQ(d, 1.0);
}

TEST(Primitives, TextsGoThroughTheAnsiCodePage) {
    ASSERT_TRUE(SetAnsiCodePage("GBK"));
    CDataBufWriter writer;
    writer.WriteString(u"中文");
    EXPECT_EQ(ToHex(writer.GetBuffer()), "84 D6 D0 CE C4");
    CDataBufParser parser(writer.GetBuffer().data(), static_cast<uint32_t>(writer.GetSize()));
    std::u16string str;
    EXPECT_EQ(parser.ReadString(str), 0);
    EXPECT_EQ(str, u"中文");
    ASSERT_TRUE(SetAnsiCodePage("UTF-8"));
    CDataBufParser parser2(writer.GetBuffer().data(), static_cast<uint32_t>(writer.GetSize()));
    EXPECT_EQ(parser2.ReadString(str), 0);
    EXPECT_NE(str, u"中文");  // GBK bytes are not UTF-8
    EXPECT_EQ(str.size(), 4u);
}

TEST(Primitives, WritesCheckTheRoomLeft) {
    kttest::CTraceCapture trace;
    uint8_t buf[16];
    std::memset(buf, 0xEE, sizeof(buf));
    CDataBufParser parser(buf, 4);
    // Five bytes are needed even for a one-byte number.
    EXPECT_FALSE(parser.WriteInt(0));
    EXPECT_EQ(parser.GetRemain(), 4u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_TRUE(parser.WriteFloat(2.0f));
    EXPECT_FALSE(parser.WriteFloat(2.0f));
    EXPECT_EQ(parser.GetRemain(), 0u);

    CDataBufParser parser2(buf, 12);
    EXPECT_TRUE(parser2.WriteDouble(3.5));
    EXPECT_FALSE(parser2.WriteDouble(3.5));
    EXPECT_EQ(parser2.GetRemain(), 4u);

    CDataBufParser parser3(buf, 6);
    EXPECT_EQ(parser3.WriteString(u"abcdef"), -1);  // length written, text does not fit
    EXPECT_EQ(buf[0], 0x86);
    EXPECT_EQ(parser3.GetRemain(), 5u);
    CDataBufParser parser4(buf, 16);
    EXPECT_EQ(parser4.WriteString(u"abc"), 0);
    EXPECT_TRUE(parser4.WriteInt(-65));
    EXPECT_TRUE(parser4.WriteType(DT_DOUBLE));
    EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(buf), 16 - parser4.GetRemain())),
              "83 61 62 63 7F BF 86");
}

TEST(Primitives, LoadFromFile) {
    CDataBufParser parser;
    EXPECT_EQ(parser.LoadFromFile(u"/nonexistent/dir/reply.bin"), -13);
    EXPECT_EQ(parser.GetRemain(), 0u);

    char szPath[] = "/tmp/kt_datatable_XXXXXX";
    const int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    const std::string str = Hex("81 82 61 62");
    ASSERT_EQ(write(fd, str.data(), str.size()), static_cast<ssize_t>(str.size()));
    close(fd);
    EXPECT_EQ(parser.LoadFromFile(FromUtf8(szPath)), 0);
    EXPECT_TRUE(parser.IsOwner());
    EXPECT_EQ(parser.GetRemain(), 4u);
    EXPECT_EQ(parser.ReadInt(), 1);
    std::u16string out;
    EXPECT_EQ(parser.ReadString(out), 0);
    EXPECT_EQ(out, u"ab");
    // Loading again releases the first buffer (ASan would report a leak otherwise).
    EXPECT_EQ(parser.LoadFromFile(FromUtf8(szPath)), 0);
    EXPECT_EQ(parser.GetRemain(), 4u);
    std::remove(szPath);
}
