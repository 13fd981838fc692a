#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "datatable/databufparser.h"
#include "datatable/datacell.h"
#include "datatable/datatable.h"
#include "datatable/datawriter.h"
#include "hex.h"
#include "platform/codepage.h"

using namespace kt;
using kttest::Hex;
using kttest::ToHex;

namespace {

std::string Written(const uint8_t* pBuf, size_t nSize, const CDataBufParser& writer) {
    return std::string(reinterpret_cast<const char*>(pBuf), nSize - writer.GetRemain());
}

}  // namespace

TEST(StopBitInt, EverySizeBoundaryByteForByte) {
    // clang-format off
    const std::pair<int32_t, const char*> cases[] = {
        {0, "80"}, {1, "81"}, {-1, "FF"}, {300, "02 AC"}, {63, "BF"}, {-64, "C0"}, {64, "00 C0"},
        {-65, "7F BF"}, {8191, "3F FF"}, {-8192, "40 80"}, {8192, "00 40 80"},
        {-8193, "7F 3F FF"}, {1048575, "3F 7F FF"}, {-1048576, "40 00 80"},
        {1048576, "00 40 00 80"}, {-1048577, "7F 3F 7F FF"}, {134217727, "3F 7F 7F FF"},
        {-134217728, "40 00 00 80"}, {134217728, "00 40 00 00 80"},
        {-134217729, "7F 3F 7F 7F FF"}, {INT32_MAX, "07 7F 7F 7F FF"},
        {INT32_MIN, "78 00 00 00 80"}};
    // clang-format on
    for (const auto& [nValue, pszHex] : cases) {
        SCOPED_TRACE(nValue);
        uint8_t buf[8] = {};
        EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(buf),
                                    CDataBufParser::EncodeInt(nValue, buf))),
                  pszHex);
        CDataBufParser writer(buf, sizeof(buf));
        ASSERT_TRUE(writer.WriteInt(nValue));
        EXPECT_EQ(ToHex(Written(buf, sizeof(buf), writer)), pszHex);
        // Decoding stops at the stop bit, before the next number.
        const std::string str = Hex(pszHex) + '\x81';
        CDataBufParser parser(str.data(), static_cast<uint32_t>(str.size()));
        EXPECT_EQ(parser.ReadInt(), nValue);
        EXPECT_EQ(parser.GetRemain(), 1u);
    }
}

TEST(Primitives, WritesAndReadsOfEveryKind) {
    uint8_t buf[32] = {};
    CDataBufParser writer(buf, sizeof(buf));
    ASSERT_TRUE(SetAnsiCodePage("GBK"));  // texts are in the ANSI code page
    EXPECT_EQ(writer.WriteString(u"中"), 0);
    ASSERT_TRUE(SetAnsiCodePage("UTF-8"));
    EXPECT_EQ(writer.WriteString(u"ab") + writer.WriteString(u""), 0);
    EXPECT_TRUE(writer.WriteFloat(1.5f) && writer.WriteDouble(-2.25));
    EXPECT_TRUE(writer.WriteType(DT_FLOAT) && writer.WriteType(0x777));  // unknown: index 0
    const std::string str = Written(buf, sizeof(buf), writer);
    EXPECT_EQ(ToHex(str), "82 D6 D0 82 61 62 80 00 00 C0 3F 00 00 00 00 00 00 02 C0 87 80");

    const std::string strRead = str + Hex("92 FF");  // type indexes 18 and -1
    CDataBufParser parser(strRead.data(), static_cast<uint32_t>(strRead.size()));
    std::u16string text[3];
    ASSERT_TRUE(SetAnsiCodePage("GBK"));
    EXPECT_EQ(parser.ReadString(text[0]), 0);
    ASSERT_TRUE(SetAnsiCodePage("UTF-8"));
    EXPECT_EQ(parser.ReadString(text[1]) + parser.ReadString(text[2]), 0);
    EXPECT_EQ(text[0] + u"|" + text[1] + u"|" + text[2], u"中|ab|");
    double f = 0, d = 0;
    EXPECT_TRUE(parser.ReadFloat(f) && parser.ReadDouble(d));
    EXPECT_EQ(f, 1.5);
    EXPECT_EQ(d, -2.25);
    EXPECT_EQ(parser.ReadType(), DT_FLOAT);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(parser.ReadType(), DT_EMPTY);
    EXPECT_EQ(parser.GetRemain(), 0u);

    // Type codes travel as their index; most indexes appear in the sections of the other tests.
    EXPECT_EQ(CDataBufParser::TypeFromIndex(15), DT_STRING2);
    EXPECT_EQ(CDataBufParser::IndexFromType(DT_STRING3), 17);
}

TEST(Primitives, MalformedAndShortBuffers) {
    // Five bytes without a stop bit end there; the sixth starts the next number. Two bytes
    // without one end with the buffer, bit 6 of the first giving the sign. An exhausted buffer
    // reads 0 and stays where it is; a missing one reads -1.
    const std::string ints = Hex("01 02 03 04 05 81 7F 3F");
    CDataBufParser parser(ints.data(), static_cast<uint32_t>(ints.size()));
    EXPECT_EQ(parser.ReadInt(), static_cast<int32_t>(0x1040C205u));
    EXPECT_EQ(parser.ReadInt(), 1);
    EXPECT_EQ(parser.ReadInt(), -65);
    const uint8_t* pEnd = parser.GetCurrent();
    EXPECT_EQ(parser.ReadInt(), 0);
    EXPECT_EQ(parser.GetCurrent(), pEnd);
    CDataBufParser none;
    EXPECT_EQ(none.ReadInt(), -1);
    EXPECT_EQ(none.ReadType(), DT_EMPTY);

    // A negative text length, and one past the end: rejected, only the length consumed.
    for (const auto& [pszHex, nRemain] : {std::pair{"FF 61", 1u}, std::pair{"83 61 62", 2u}}) {
        const std::string str = Hex(pszHex);
        CDataBufParser text(str.data(), static_cast<uint32_t>(str.size()));
        std::u16string out = u"keep";
        EXPECT_EQ(text.ReadString(out), -1) << pszHex;
        EXPECT_EQ(out, u"keep");
        EXPECT_EQ(text.GetRemain(), nRemain);
    }
    const std::string str = Hex("00 00 80 3F 00 00 00");
    CDataBufParser three(str.data(), 3), seven(str.data(), 7);
    double d = 42;
    EXPECT_FALSE(three.ReadFloat(d) || seven.ReadDouble(d));
    EXPECT_EQ(three.GetRemain() + seven.GetRemain(), 10u);
    EXPECT_EQ(d, 42);
    EXPECT_TRUE(seven.ReadFloat(d));
    EXPECT_EQ(d, 1.0);

    uint8_t buf[16];
    std::memset(buf, 0xEE, sizeof(buf));
    CDataBufParser four(buf, 4);
    EXPECT_FALSE(four.WriteInt(0));  // five bytes are needed even for a one-byte number
    EXPECT_EQ(four.GetRemain(), 4u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_TRUE(four.WriteFloat(2.0f));
    EXPECT_FALSE(four.WriteFloat(2.0f));
    CDataBufParser twelve(buf, 12);
    EXPECT_TRUE(twelve.WriteDouble(3.5));
    EXPECT_FALSE(twelve.WriteDouble(3.5));
    EXPECT_EQ(twelve.GetRemain(), 4u);
    CDataBufParser six(buf, 6);
    EXPECT_EQ(six.WriteString(u"abcdef"), -1);  // the length is written, the text is not
    EXPECT_EQ(six.GetRemain(), 5u);
    EXPECT_EQ(buf[0], 0x86);
}

// A file is read whole into a buffer the parser owns; loading again releases the first one (ASan
// would report a leak otherwise). The bytes read are checked by the reply tests, which load the
// example section through the table.
TEST(Primitives, LoadFromFileForParserAndTable) {
    CDataBufParser parser;
    EXPECT_EQ(parser.LoadFromFile(u"/nonexistent/dir/reply.bin"), -13);
    EXPECT_EQ(parser.GetRemain(), 0u);
    CDataTable table;
    EXPECT_EQ(table.LoadFromFile(u"/nonexistent/table.bin"), -1);
    const std::u16string strPath = FromUtf8(kttest::FixturePath("example_section.bin"));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(parser.LoadFromFile(strPath), 0);
    EXPECT_EQ(parser.GetRemain(), kttest::Fixture("example_section.bin").size());
}
