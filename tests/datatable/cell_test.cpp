#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "capture.h"
#include "datatable/databufparser.h"
#include "datatable/datacell.h"
#include "datatable/datawriter.h"

using namespace kt;

namespace {

CDataCell Int(int64_t n, uint32_t nType = DT_INTEGER) {
    CDataCell cell;
    cell.SetInteger(n, nType);
    return cell;
}

CDataCell Dbl(double d, uint32_t nType = DT_DOUBLE) {
    CDataCell cell;
    cell.SetDouble(d, nType);
    return cell;
}

CDataCell Text(std::u16string_view str, uint32_t nType = DT_STRING) {
    CDataCell cell;
    cell.SetString(str, nType);
    return cell;
}

}  // namespace

static_assert(sizeof(CDataCell) == 16, "a cell is a type word and one 8-byte slot");

TEST(DataCell, ValidityBoundaries) {
    EXPECT_FALSE(Int(-2147483648LL).IsValid());
    EXPECT_FALSE(Int(-2147483647LL).IsValid());
    EXPECT_TRUE(Int(-2147483646LL).IsValid());
    EXPECT_EQ(Int(-2147483647LL).GetString(), u"--");
    EXPECT_EQ(Int(-2147483646LL).GetString(), u"-2147483646");
    EXPECT_FALSE(Int(-2147483647LL, DT_BOOL).IsValid());

    EXPECT_FALSE(Int(1900, DT_YEAR).IsValid());
    EXPECT_TRUE(Int(1901, DT_YEAR).IsValid());
    EXPECT_TRUE(Int(2149, DT_YEAR).IsValid());
    EXPECT_FALSE(Int(2150, DT_YEAR).IsValid());

    EXPECT_FALSE(Int(0, DT_TIME).IsValid());
    EXPECT_TRUE(Int(1, DT_TIME).IsValid());

    for (uint32_t nType : {DT_DATE, DT_DATE_NUMBER, DT_DATE_NUMBER2}) {
        EXPECT_FALSE(Int(19000000, nType).IsValid()) << nType;
        EXPECT_TRUE(Int(19000101, nType).IsValid()) << nType;
        EXPECT_TRUE(Int(21491231, nType).IsValid()) << nType;
        EXPECT_FALSE(Int(21500101, nType).IsValid()) << nType;
        EXPECT_FALSE(Int(20241301, nType).IsValid()) << nType;
        EXPECT_FALSE(Int(20240001, nType).IsValid()) << nType;
        EXPECT_FALSE(Int(20240100, nType).IsValid()) << nType;
        EXPECT_FALSE(Int(20240132, nType).IsValid()) << nType;
        EXPECT_TRUE(Int(20240231, nType).IsValid()) << nType;  // days only against 31
    }

    EXPECT_FALSE(Dbl(-0.0).IsValid());
    EXPECT_FALSE(Dbl(std::nan("")).IsValid());
    EXPECT_TRUE(Dbl(0.0).IsValid());
    EXPECT_EQ(Dbl(-0.0).GetString(), u"--");
    EXPECT_EQ(Dbl(0.0).GetString(), u"0.0000");
    EXPECT_FALSE(Dbl(-0.0, DT_FLOAT2).IsValid());

    EXPECT_TRUE(Text(u"").IsValid());
    for (uint32_t nType : {DT_EMPTY, DT_RESERVED1, DT_RESERVED2, DT_TABLE}) {
        CDataCell cell(nType);
        EXPECT_FALSE(cell.IsValid());
        EXPECT_EQ(cell.GetString(), u"--");
    }
}

TEST(DataCell, DefaultTextsAndFormats) {
    EXPECT_EQ(Int(0, DT_BOOL).GetString(), u"否");
    EXPECT_EQ(Int(5, DT_BOOL).GetString(), u"是");
    EXPECT_EQ(Int(0, DT_BOOL).GetString(u"%d"), u"0");
    EXPECT_EQ(Int(5, DT_BOOL).GetString(u"%d"), u"5");
    // Low 32 bits only.
    EXPECT_EQ(Int(0x100000005LL).GetString(), u"5");
    EXPECT_EQ(Int(2024, DT_YEAR).GetString(), u"2024");
    EXPECT_EQ(Int(20240229, DT_DATE).GetString(), u"2024-02-29");
    EXPECT_EQ(Int(20240231, DT_DATE).GetString(), u"2024-02-31");
    EXPECT_EQ(Int(20240231, DT_DATE).GetDateString(0), u"Invalid DateTime");
    EXPECT_EQ(Int(20240229, DT_DATE_NUMBER).GetString(), u"20240229");
    EXPECT_EQ(Int(20240229, DT_DATE_NUMBER2).GetString(u"%d/%d/%d"), u"2024/2/29");
    EXPECT_EQ(Int(20240229, DT_DATE).GetString(u"%4d%02d%02d"), u"20240229");
    EXPECT_EQ(Int(20241301, DT_DATE).GetString(u"%d"), u"--");
    EXPECT_EQ(Dbl(3.14159).GetString(), u"3.1416");
    EXPECT_EQ(Dbl(2.5, DT_FLOAT).GetString(u"%.1f"), u"2.5");
    EXPECT_EQ(Text(u"abc", DT_STRING2).GetString(), u"abc");
    EXPECT_EQ(Text(u"abc").GetString(u"[%s]"), u"[abc]");

    // TZ=UTC in this test binary: 86400 seconds is 1970-01-02.
    EXPECT_EQ(Int(86400 + 3600, DT_TIME).GetString(), u"1970-01-02");
    EXPECT_EQ(Int(86400 + 3600, DT_TIME).GetString(u"%Y/%m/%d %H"), u"1970/01/02 01");
    EXPECT_EQ(Int(1709164800, DT_TIME).GetDateString(1), u"02/29/2024");
    EXPECT_EQ(Int(20240229, DT_DATE).GetDateString(2), u"20240229");
    EXPECT_EQ(Int(20240229, DT_DATE).GetDateString(3), u"");
    EXPECT_EQ(Int(0, DT_DATE).GetDateString(0), u"");
    EXPECT_EQ(Int(20240229, DT_INTEGER).GetDateString(0), u"");
    CDateTime dt = Int(20240229, DT_DATE_NUMBER).ToDateTime();
    EXPECT_EQ(dt.GetStatus(), CDateTime::kValid);
    EXPECT_EQ(dt.GetYear() * 10000 + dt.GetMonth() * 100 + dt.GetDay(), 20240229);
    EXPECT_EQ(dt.GetHour() + dt.GetMinute() + dt.GetSecond(), 0);
    EXPECT_EQ(Int(5).ToDateTime().GetStatus(), CDateTime::kNull);

    EXPECT_EQ(CDataCell::GetDefaultFormat(DT_BOOL), u"%d");
    EXPECT_EQ(CDataCell::GetDefaultFormat(DT_DATE_NUMBER2), u"%4d%02d%02d");
    EXPECT_EQ(CDataCell::GetDefaultFormat(DT_TIME), u"%Y%m%d");
    EXPECT_EQ(CDataCell::GetDefaultFormat(DT_INTEGER), u"");
    EXPECT_EQ(CDataCell::GetDefaultFormat(DT_STRING), u"");
}

TEST(DataCell, FormatsThatDoNotFitTheValueGiveNothing) {
    kttest::CTraceCapture trace;
    EXPECT_EQ(Int(5).GetString(u"%s"), u"");
    EXPECT_EQ(Int(5).GetString(u"%d %d"), u"");
    EXPECT_EQ(Text(u"x").GetString(u"%d"), u"");
    EXPECT_EQ(Dbl(1.0).GetString(u"%*f"), u"");
    EXPECT_EQ(Int(5).GetString(u"%ld%%"), u"5%");
    // A no-value code ignores the format and says so.
    EXPECT_EQ(CDataCell(DT_TABLE).GetString(u"%d"), u"--");
    EXPECT_EQ(trace.Count("CDataCell::GetString() Warn: lpszFormat not use\n"), 1u);
}

TEST(DataCell, ThousandsSeparators) {
    EXPECT_EQ(CDataCell::FormatNumber(1234567.891, u",%.2f"), u"1,234,567.89");
    EXPECT_EQ(CDataCell::FormatNumber(-1234.5, u",%.2f"), u"-1,234.50");
    EXPECT_EQ(CDataCell::FormatNumber(123456.0, u",%.1f"), u"123,456.0");
    EXPECT_EQ(CDataCell::FormatNumber(1000.0, u",%.1f"), u"1,000.0");
    EXPECT_EQ(CDataCell::FormatNumber(-999999.0, u",%.0f"), u"-999999");
    // No decimal point: no separators; a "0" in front unless the format is exactly "%.0f".
    EXPECT_EQ(CDataCell::FormatNumber(1234567.0, u",%.0f"), u"1234567");
    EXPECT_EQ(CDataCell::FormatNumber(1234567.0, u",%5.0f"), u"01234567");
    EXPECT_EQ(CDataCell::FormatNumber(1234.0, u",%e").find(u','), std::u16string::npos);
    // Below 1000, or without the comma, the printed text as it is.
    EXPECT_EQ(CDataCell::FormatNumber(999.5, u",%.2f"), u"999.50");
    EXPECT_EQ(CDataCell::FormatNumber(1234567.891, u"%.2f"), u"1234567.89");
    // At most 62 characters.
    EXPECT_EQ(CDataCell::FormatNumber(1e70, u"%.2f").size(), 62u);
    EXPECT_EQ(Dbl(1234567.891).GetString(u",%.2f"), u"1,234,567.89");
}

TEST(DataCell, Conversions) {
    EXPECT_EQ(Dbl(-2.7).AsInt(), -2);
    EXPECT_EQ(Dbl(2.5).AsInt(), 3);
    EXPECT_EQ(Dbl(1e300).AsInt(), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(Int(0x1FFFFFFFFLL).AsInt(), -1);
    EXPECT_EQ(Int(0x1FFFFFFFFLL).AsDouble(), 8589934591.0);
    EXPECT_EQ(Text(u"  12abc").AsInt(), 12);
    EXPECT_EQ(Text(u"-3.5x").AsDouble(), -3.5);
    EXPECT_EQ(Text(u"12abc", DT_STRING1).AsInt(), 0);
    EXPECT_EQ(Text(u"12abc", DT_STRING1).AsDouble(), 0.0);
    EXPECT_EQ(Text(u"12", DT_STRING3).AsInt(), 0);
    EXPECT_EQ(CDataCell(DT_TABLE).AsInt(), 0);
}

TEST(DataCell, SetValueByTypeAndCopies) {
    kttest::CTraceCapture trace;
    CDataCell cell(DT_STRING);
    cell.SetValueByType(u"2024-02-29", DT_DATE);
    EXPECT_EQ(cell.GetType(), DT_DATE);
    EXPECT_EQ(cell.GetInt64(), 20240229);
    cell.SetValueByType(u"-12", DT_INTEGER);
    EXPECT_EQ(cell.GetInt64(), -12);
    cell.SetValueByType(u"99999999999", DT_INTEGER);  // saturates like _wtol
    EXPECT_EQ(cell.GetInt64(), 2147483647);
    cell.SetValueByType(u"1.25", DT_FLOAT);
    EXPECT_EQ(cell.GetDoubleValue(), 1.25);
    cell.SetValueByType(u"hi", DT_STRING3);
    EXPECT_EQ(cell.GetString(), u"hi");
    cell.SetValueByType(u"x", DT_RESERVED2);
    EXPECT_EQ(cell.GetType(), DT_RESERVED2);

    CDataCell text = Text(u"abc", DT_STRING1);
    text.SetFlags(0x5A000000);
    CDataCell copy(text);
    EXPECT_EQ(copy.GetTypeWord(), 0x5A000000u | DT_STRING1);
    EXPECT_EQ(copy.GetType(), DT_STRING1);
    text.SetString(u"changed", DT_STRING1);
    EXPECT_EQ(copy.GetString(), u"abc");  // owns its own string
    copy = Int(3);                        // releases the string
    EXPECT_EQ(copy.GetString(), u"3");
    copy = copy;
    EXPECT_EQ(copy.GetString(), u"3");
    copy = text;
    EXPECT_EQ(copy.GetString(), u"changed");
    copy.Clear();
    EXPECT_EQ(copy.GetTypeWord(), 0u);
    EXPECT_EQ(copy.GetText(), nullptr);
}

TEST(DataCell, EqualityAcrossFamilies) {
    EXPECT_TRUE(Int(3).Equal(Int(3, DT_BOOL)));
    EXPECT_TRUE(Int(0x100000003LL).Equal(Int(3)) == false);  // this keeps all 64 bits
    EXPECT_TRUE(Int(3).Equal(Int(0x100000003LL)));           // other is taken as AsInt
    EXPECT_TRUE(Int(3).Equal(Dbl(3.0)));
    EXPECT_FALSE(Int(3).Equal(Dbl(3.0000001)));
    EXPECT_TRUE(Int(12).Equal(Text(u"12")));
    // DT_STRING3 takes part in numeric comparisons, but only DT_STRING converts: it counts as 0.
    EXPECT_FALSE(Int(12).Equal(Text(u"12", DT_STRING3)));
    EXPECT_TRUE(Int(0).Equal(Text(u"12", DT_STRING3)));
    EXPECT_FALSE(Int(12).Equal(Text(u"12", DT_STRING1)));
    EXPECT_TRUE(Dbl(0.5).Equal(Dbl(0.5, DT_FLOAT)));
    EXPECT_TRUE(Dbl(7.0).Equal(Int(7)));
    EXPECT_TRUE(Text(u"7").Equal(Int(7)));
    EXPECT_TRUE(Text(u"是").Equal(Int(1, DT_BOOL)));
    EXPECT_TRUE(Text(u"a", DT_STRING2).Equal(Text(u"a", DT_STRING1)));
    EXPECT_FALSE(Text(u"a").Equal(Text(u"A")));
    EXPECT_FALSE(Text(u"A").Equal(Text(u"Ａ")));  // exact, width counts here
    EXPECT_FALSE(Text(u"--").Equal(CDataCell(DT_TABLE)));
    kttest::CTraceCapture trace;
    EXPECT_FALSE(CDataCell(DT_EMPTY).Equal(CDataCell(DT_EMPTY)));
    EXPECT_TRUE(Int(4) != Int(5));
    EXPECT_TRUE(Int(4) == Text(u"4"));
}

TEST(DataCell, OrderingAcrossFamiliesAndValidity) {
    EXPECT_TRUE(Int(2).Less(Int(3)));
    EXPECT_FALSE(Int(3).Less(Int(3)));
    EXPECT_TRUE(Int(2).Less(Dbl(2.5)));
    EXPECT_FALSE(Int(2).Less(Dbl(2.0)));
    EXPECT_TRUE(Int(2).Less(Text(u"10")));
    EXPECT_TRUE(Dbl(1.5).Less(Int(2)));
    EXPECT_TRUE(Dbl(-1.5, DT_FLOAT).Less(Text(u"-1.6", DT_STRING3)));  // as 0
    EXPECT_FALSE(Dbl(1.5, DT_FLOAT).Less(Text(u"1.6", DT_STRING3)));
    EXPECT_TRUE(Text(u"apple").Less(Text(u"banana", DT_STRING1)));

    // Width is ignored in both directions; Equal still tells them apart.
    const CDataCell full = Text(u"Ａ１！　");
    const CDataCell half = Text(u"A1! ");
    EXPECT_FALSE(full.Less(half));
    EXPECT_FALSE(half.Less(full));
    EXPECT_EQ(CompareTextIgnoreWidth(u"Ａ１！　", u"A1! "), 0);
    EXPECT_LT(CompareTextIgnoreWidth(u"Ａ", u"B"), 0);
    EXPECT_GT(CompareTextIgnoreWidth(u"ｂ", u"a"), 0);

    kttest::CTraceCapture trace;
    EXPECT_FALSE(Int(1).Less(Text(u"5", DT_STRING1)));
    EXPECT_FALSE(Text(u"5").Less(Int(9)));

    // Invalid values order after every valid one.
    std::vector<CDataCell> cells;
    cells.push_back(Int(-2147483648LL));
    cells.push_back(Int(5));
    cells.push_back(Dbl(std::nan("")));
    cells.push_back(Int(-7));
    cells.push_back(Dbl(-0.0));
    cells.push_back(Dbl(2.5));
    std::sort(cells.begin(), cells.end(),
              [](const CDataCell& a, const CDataCell& b) { return a.Less(b); });
    EXPECT_EQ(cells[0].GetString(), u"-7");
    EXPECT_EQ(cells[1].GetString(), u"2.5000");
    EXPECT_EQ(cells[2].GetString(), u"5");
    for (size_t i = 3; i < cells.size(); ++i) EXPECT_FALSE(cells[i].IsValid());
}

TEST(DataCell, DerivedComparisons) {
    EXPECT_TRUE(Int(5) > Int(4));
    EXPECT_FALSE(Int(5) > Int(5));
    EXPECT_TRUE(Int(5) >= Int(5));
    EXPECT_FALSE(Int(-2147483648LL) > Int(1));
    EXPECT_TRUE(Int(1) > Int(-2147483648LL));
    EXPECT_FALSE(Int(-2147483648LL) >= Int(-2147483648LL));
    EXPECT_TRUE(Int(1) >= Dbl(-0.0));
    // Text: an empty text is never greater; any non-empty one is greater than an empty one.
    EXPECT_FALSE(Text(u"") > Text(u"a"));
    EXPECT_FALSE(Text(u"") > Text(u""));
    EXPECT_TRUE(Text(u"a") > Text(u""));
    EXPECT_TRUE(Text(u"b") > Text(u"a"));
    EXPECT_TRUE(Text(u"hello world").Contains(Text(u"o w", DT_STRING2)));
    EXPECT_FALSE(Text(u"hello").Contains(Text(u"O")));
    EXPECT_TRUE(Int(12).Contains(Text(u"12")));
    EXPECT_FALSE(Text(u"12").Contains(Int(1)));
}

TEST(DataCell, Arithmetic) {
    kttest::CTraceCapture trace;
    CDataCell cell = Int(3);
    EXPECT_TRUE(cell += Dbl(2.6));
    EXPECT_EQ(cell.GetInt64(), 6);
    EXPECT_EQ(trace.Count("CDataCell::operator+=() DT_INTEGER + DT_DOUBLE warn\n"), 1u);
    EXPECT_TRUE(cell += Dbl(-0.0));  // invalid double: warned, value kept
    EXPECT_EQ(cell.GetInt64(), 6);
    EXPECT_TRUE(cell -= Dbl(1.4));
    EXPECT_EQ(cell.GetInt64(), 5);
    EXPECT_EQ(trace.Count("CDataCell::operator-=() DT_INTEGER - DT_DOUBLE warn\n"), 1u);
    EXPECT_TRUE(cell += Int(2000, DT_YEAR));
    EXPECT_EQ(cell.GetInt64(), 2005);
    EXPECT_TRUE(cell *= Int(2, DT_BOOL));
    EXPECT_EQ(cell.GetInt64(), 4010);
    EXPECT_TRUE(cell /= 4.0);
    EXPECT_EQ(cell.GetInt64(), 1002);
    EXPECT_TRUE(cell /= Int(-4));
    EXPECT_EQ(cell.GetInt64(), -250);
    EXPECT_TRUE(cell /= Dbl(0.5));
    EXPECT_EQ(cell.GetInt64(), -500);

    CDataCell year = Int(2000, DT_YEAR);
    EXPECT_TRUE(year += Int(24));
    EXPECT_EQ(year.GetInt64(), 2024);
    EXPECT_TRUE(year -= Int(4));
    EXPECT_EQ(year.GetInt64(), 2020);

    CDataCell d = Dbl(1.5, DT_FLOAT);
    EXPECT_TRUE(d += Int(2));
    EXPECT_TRUE(d += Dbl(std::nan("")));
    EXPECT_EQ(d.GetDoubleValue(), 3.5);
    EXPECT_TRUE(d *= Dbl(2.0));
    EXPECT_TRUE(d /= Int(7));
    EXPECT_EQ(d.GetDoubleValue(), 1.0);
    EXPECT_TRUE(d /= Dbl(0.25));
    EXPECT_EQ(d.GetDoubleValue(), 4.0);

    CDataCell s = Text(u"ab");
    s.SetString(std::u16string(u"ab\0", 3));
    EXPECT_TRUE(s += Int(7));
    EXPECT_EQ(s.GetString(), u"ab7");
    CDataCell s3 = Text(u"x", DT_STRING3);
    EXPECT_TRUE(s3 += Dbl(1.0));
    EXPECT_EQ(s3.GetString(), u"x1.0000");
}

TEST(DataCell, ArithmeticThatFailsLeavesTheCell) {
    struct Case {
        CDataCell cell;
        CDataCell other;
        int nOp;  // 0 +=, 1 -=, 2 *=, 3 /= cell
    };
    std::vector<Case> cases;
    cases.push_back({Int(3), Text(u"4"), 0});
    cases.push_back({Int(3), Int(4, DT_DATE), 0});
    cases.push_back({Int(2000, DT_YEAR), Int(1, DT_YEAR), 0});
    cases.push_back({Int(2000, DT_YEAR), Dbl(1.0), 1});
    cases.push_back({Int(20240101, DT_DATE), Int(1), 0});
    cases.push_back({Dbl(1.0), Int(1, DT_BOOL), 0});
    cases.push_back({Dbl(1.0), Text(u"1"), 1});
    cases.push_back({Text(u"a", DT_STRING1), Text(u"b"), 0});
    cases.push_back({Text(u"a"), Text(u"b"), 1});
    cases.push_back({Int(3, DT_BOOL), Int(2), 2});
    cases.push_back({Int(3), Dbl(2.0), 2});
    cases.push_back({Dbl(3.0), Int(2), 2});
    cases.push_back({Int(3), Int(0), 3});
    cases.push_back({Int(3), Int(0x100000000LL), 3});  // AsInt of that is 0
    cases.push_back({Int(3), Dbl(1e-10), 3});
    cases.push_back({Dbl(3.0), Dbl(-1e-10), 3});
    cases.push_back({Dbl(3.0), Text(u"2"), 3});
    cases.push_back({CDataCell(DT_EMPTY), Int(1), 0});
    for (size_t i = 0; i < cases.size(); ++i) {
        CDataCell cell = cases[i].cell;
        bool bResult = true;
        switch (cases[i].nOp) {
            case 0:
                bResult = (cell += cases[i].other);
                break;
            case 1:
                bResult = (cell -= cases[i].other);
                break;
            case 2:
                bResult = (cell *= cases[i].other);
                break;
            default:
                bResult = (cell /= cases[i].other);
                break;
        }
        EXPECT_FALSE(bResult) << i;
        EXPECT_EQ(cell.GetTypeWord(), cases[i].cell.GetTypeWord()) << i;
        EXPECT_EQ(cell.GetString(), cases[i].cell.GetString()) << i;
    }
    CDataCell cell = Int(10);
    EXPECT_FALSE(cell /= 1e-7);  // not above the single-precision 1e-7
    EXPECT_FALSE(cell /= -2.0);
    EXPECT_EQ(cell.GetInt64(), 10);
    CDataCell text = Text(u"x");
    EXPECT_FALSE(text /= 2.0);
}

TEST(DataCell, UnaryOperations) {
    CDataCell cell = Int(-5, DT_YEAR);
    EXPECT_TRUE(cell.Abs());
    EXPECT_EQ(cell.GetInt64(), 5);
    CDataCell minimum = Int(std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(minimum.Abs());  // wraps like the machine does, without undefined behaviour
    EXPECT_FALSE(Int(3).Round() || CDataCell(cell).Round());
    CDataCell d = Dbl(2.5, DT_FLOAT);
    d.SetFlags(0x01000000);
    EXPECT_TRUE(d.Round());
    EXPECT_EQ(d.GetTypeWord(), DT_INTEGER);
    EXPECT_EQ(d.GetInt64(), 3);
    CDataCell sq = Int(-4);
    EXPECT_TRUE(sq.Square());
    EXPECT_EQ(sq.GetInt64(), 16);
    EXPECT_TRUE(sq.Sqrt());
    EXPECT_EQ(sq.GetType(), DT_DOUBLE);
    EXPECT_EQ(sq.GetDoubleValue(), 4.0);
    CDataCell year = Int(2000, DT_YEAR);
    EXPECT_FALSE(year.Sqrt());
    EXPECT_FALSE(year.Square());
    CDataCell f = Dbl(100.0, DT_FLOAT2);
    EXPECT_TRUE(f.Log10());
    EXPECT_EQ(f.GetType(), DT_FLOAT2);
    EXPECT_DOUBLE_EQ(f.GetDoubleValue(), 2.0);
    CDataCell e = Int(0);
    EXPECT_TRUE(e.Exp());
    EXPECT_DOUBLE_EQ(e.GetDoubleValue(), 1.0);
    CDataCell t = Dbl(0.5);
    EXPECT_TRUE(t.Cot());
    EXPECT_DOUBLE_EQ(t.GetDoubleValue(), 1.0 / std::tan(0.5));
    CDataCell s = Text(u"x");
    EXPECT_FALSE(s.Abs() || s.Sin() || s.Cos() || s.Tan() || s.Log() || s.Not());
    EXPECT_EQ(s.GetString(), u"x");

    CDataCell b = Int(7, DT_BOOL);
    EXPECT_TRUE(b.Not());
    EXPECT_EQ(b.GetInt64(), 0);
    EXPECT_TRUE(b.Not());
    EXPECT_EQ(b.GetInt64(), 1);
    CDataCell n = Int(7);
    EXPECT_FALSE(n.Not());
    CDataCell dd = Dbl(0.0);
    EXPECT_FALSE(dd.Not());
    EXPECT_EQ(dd.GetDoubleValue(), 0.0);
}

TEST(DataCell, ReadValueByFamily) {
    CDataBufWriter writer;
    writer.WriteInt(-65);
    writer.WriteString(u"hey");
    writer.WriteDouble(0.1);
    writer.WriteFloat(0.5f);
    writer.WriteType(DT_DATE);
    writer.WriteInt(20240229);
    const std::string& buf = writer.GetBuffer();
    CDataBufParser parser(buf.data(), static_cast<uint32_t>(buf.size()));
    CDataCell cell(DT_STRING);
    cell.SetFlags(0x7F000000);
    EXPECT_FALSE(cell.ReadValue(parser, DT_INTEGER));
    EXPECT_EQ(cell.GetTypeWord(), DT_INTEGER);
    EXPECT_EQ(cell.GetInt64(), -65);
    EXPECT_FALSE(cell.ReadValue(parser, DT_STRING2));
    EXPECT_EQ(cell.GetString(), u"hey");
    EXPECT_FALSE(cell.ReadValue(parser, DT_DOUBLE));
    EXPECT_EQ(cell.GetDoubleValue(), 0.1);
    EXPECT_FALSE(cell.ReadValue(parser, DT_FLOAT2));
    EXPECT_EQ(cell.GetDoubleValue(), 0.5);
    const uint32_t nBefore = parser.GetRemain();
    EXPECT_TRUE(cell.ReadValue(parser, DT_TABLE));  // no value, nothing read
    EXPECT_EQ(cell.GetTypeWord(), 0u);
    EXPECT_EQ(parser.GetRemain(), nBefore);
    EXPECT_FALSE(cell.ReadValue(parser));
    EXPECT_EQ(cell.GetString(), u"2024-02-29");
    // Failed reads leave the value as they found it.
    kttest::CTraceCapture trace;
    EXPECT_FALSE(cell.ReadValue(parser, DT_FLOAT));
    EXPECT_EQ(cell.GetType(), DT_FLOAT);
    EXPECT_FALSE(cell.ReadValue(parser, DT_STRING));
    EXPECT_EQ(cell.GetString(), u"");
}
