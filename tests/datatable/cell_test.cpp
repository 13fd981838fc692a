#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <optional>
#include <sstream>
#include <tuple>
#include <vector>

#include "datatable/databufparser.h"
#include "datatable/datacell.h"
#include "platform/codepage.h"
#include "support/scoped.h"

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

CDataCell Flagged(CDataCell cell, uint32_t nFlags) {
    cell.SetFlags(nFlags);
    return cell;
}

// Everything a cell holds, for exact comparisons with readable failures.
std::string Dump(const CDataCell& cell) {
    std::ostringstream out;
    out << std::hex << cell.GetTypeWord() << std::dec << std::setprecision(17) << " "
        << cell.GetInt64() << " " << cell.GetDoubleValue() << " '"
        << (cell.GetText() ? ToUtf8(*cell.GetText()) : "") << "'";
    return out.str();
}

using Compare = bool (CDataCell::*)(const CDataCell&) const;
using Binary = bool (CDataCell::*)(const CDataCell&);
using Unary = bool (CDataCell::*)();
const Compare Eq = &CDataCell::Equal, Lt = &CDataCell::Less, Gt = &CDataCell::Greater,
              Ge = &CDataCell::GreaterOrEqual, Has = &CDataCell::Contains;
const Binary Add = &CDataCell::operator+=, Sub = &CDataCell::operator-=,
             Mul = &CDataCell::operator*=, Div = &CDataCell::operator/=;

}  // namespace

static_assert(sizeof(CDataCell) == 16, "a cell is a type word and one 8-byte slot");

TEST(DataCell, ValidityDefaultTextsAndFormats) {
    kttest::CTraceLog trace;
    // A null format asks for the default text, which is "--" exactly for the invalid values.
    // TZ=UTC in this test binary. Formats that do not fit the value give nothing.
    // clang-format off
    const std::tuple<CDataCell, const char16_t*, const char16_t*> cases[] = {
        {Int(-2147483648LL), nullptr, u"--"}, {Int(-2147483647LL), nullptr, u"--"},
        {Int(-2147483646LL), nullptr, u"-2147483646"}, {Int(-2147483647LL, DT_BOOL), nullptr, u"--"},
        {Int(0x100000005LL), nullptr, u"5"}, {Int(0, DT_BOOL), nullptr, u"否"},
        {Int(5, DT_BOOL), nullptr, u"是"}, {Int(5, DT_BOOL), u"%d", u"5"},
        {Int(1900, DT_YEAR), nullptr, u"--"}, {Int(1901, DT_YEAR), nullptr, u"1901"},
        {Int(2149, DT_YEAR), nullptr, u"2149"}, {Int(2150, DT_YEAR), nullptr, u"--"},
        {Int(0, DT_TIME), nullptr, u"--"}, {Int(90000, DT_TIME), nullptr, u"1970-01-02"},
        {Int(90000, DT_TIME), u"%Y/%m/%d %H", u"1970/01/02 01"},
        {Int(20240231, DT_DATE), nullptr, u"2024-02-31"}, {Int(20241301, DT_DATE), u"%d", u"--"},
        {Int(20240229, DT_DATE_NUMBER), nullptr, u"20240229"},
        {Int(20240229, DT_DATE_NUMBER2), u"%d/%d/%d", u"2024/2/29"},
        {Dbl(-0.0), nullptr, u"--"}, {Dbl(-0.0, DT_FLOAT2), nullptr, u"--"},
        {Dbl(std::nan("")), nullptr, u"--"}, {Dbl(0.0), nullptr, u"0.0000"},
        {Dbl(3.14159), nullptr, u"3.1416"}, {Dbl(2.5, DT_FLOAT), u"%.1f", u"2.5"},
        {Text(u""), nullptr, u""}, {Text(u"abc", DT_STRING2), u"[%s]", u"[abc]"},
        {CDataCell(DT_EMPTY), nullptr, u"--"}, {CDataCell(DT_RESERVED2), nullptr, u"--"},
        {CDataCell(DT_TABLE), u"%d", u"--"}, {Int(5), u"%s", u""}, {Int(5), u"%d %d", u""},
        {Text(u"x"), u"%d", u""}, {Dbl(1.0), u"%*f", u""}, {Int(5), u"%ld%%", u"5%"},
        // Thousands separators only with a leading comma, a decimal point and 1000 or more;
        // without a decimal point a "0" goes in front unless the format is exactly "%.0f".
        {Dbl(1234567.891), u",%.2f", u"1,234,567.89"}, {Dbl(-1234.5), u",%.2f", u"-1,234.50"},
        {Dbl(123456.0), u",%.1f", u"123,456.0"}, {Dbl(1000.0), u",%.1f", u"1,000.0"},
        {Dbl(-999999.0), u",%.0f", u"-999999"}, {Dbl(1234567.0), u",%5.0f", u"01234567"},
        {Dbl(1234.0), u",%.0e", u"01e+03"}, {Dbl(999.5), u",%.2f", u"999.50"},
        {Dbl(1234567.891), u"%.2f", u"1234567.89"}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [cell, pszFormat, pszText] = cases[i];
        EXPECT_EQ(cell.GetString(pszFormat), pszText) << i;
        EXPECT_TRUE(pszFormat || cell.IsValid() == (std::u16string(pszText) != u"--")) << i;
    }
    // Only the no-value code says that it ignored the format.
    EXPECT_EQ(trace.Count("CDataCell::GetString() Warn: lpszFormat not use\n"), 1u);
    // Days are checked only against 31.
    const std::pair<int64_t, bool> dates[] = {
        {19000000, false}, {19000101, true},  {21491231, true},
        {21500101, false}, {20241301, false}, {20240001, false},
        {20240100, false}, {20240132, false}, {20240231, true}};
    for (uint32_t nType : {DT_DATE, DT_DATE_NUMBER, DT_DATE_NUMBER2}) {
        for (const auto& [nDate, bValid] : dates) EXPECT_EQ(Int(nDate, nType).IsValid(), bValid);
    }
    // clang-format off
    const std::tuple<CDataCell, int, const char16_t*> styles[] = {
        {Int(20240231, DT_DATE), 0, u"Invalid DateTime"}, {Int(1709164800, DT_TIME), 1, u"02/29/2024"},
        {Int(20240229, DT_DATE), 2, u"20240229"}, {Int(20240229, DT_DATE), 3, u""},
        {Int(0, DT_DATE), 0, u""}, {Int(20240229, DT_INTEGER), 0, u""}};
    // clang-format on
    for (const auto& [cell, nStyle, pszText] : styles)
        EXPECT_EQ(cell.GetDateString(nStyle), pszText);
    const CDateTime dt = Int(20240229, DT_DATE_NUMBER).ToDateTime();
    EXPECT_EQ(dt.GetStatus(), CDateTime::kValid);
    EXPECT_EQ(dt.Format(u"%Y-%m-%d %H:%M:%S"), u"2024-02-29 00:00:00");
    EXPECT_EQ(Int(5).ToDateTime().GetStatus(), CDateTime::kNull);
    EXPECT_EQ(CDataCell::FormatNumber(1e70, u"%.2f").size(), 62u);  // at most 62 characters
}

TEST(DataCell, ConversionsSettersAndCopies) {
    EXPECT_EQ(Dbl(-2.7).AsInt(), -2);
    EXPECT_EQ(Dbl(2.5).AsInt(), 3);
    EXPECT_EQ(Dbl(1e300).AsInt(), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(Int(0x1FFFFFFFFLL).AsInt(), -1);
    EXPECT_EQ(Int(0x1FFFFFFFFLL).AsDouble(), 8589934591.0);
    EXPECT_EQ(Text(u"  12abc").AsInt(), 12);
    EXPECT_EQ(Text(u"-3.5x").AsDouble(), -3.5);
    // Only DT_STRING converts to a number.
    EXPECT_EQ(Text(u"12abc", DT_STRING1).AsDouble(), 0.0);
    EXPECT_EQ(Text(u"12", DT_STRING3).AsInt(), 0);

    // clang-format off
    const std::tuple<const char16_t*, uint32_t, CDataCell> values[] = {
        {u"2024-02-29", DT_DATE, Int(20240229, DT_DATE)},
        {u"99999999999", DT_INTEGER, Int(2147483647)},  // saturates like _wtol
        {u"1.25", DT_FLOAT, Dbl(1.25, DT_FLOAT)}, {u"hi", DT_STRING3, Text(u"hi", DT_STRING3)},
        {u"x", DT_RESERVED2, CDataCell(DT_RESERVED2)}};
    // clang-format on
    for (const auto& [pszText, nType, expected] : values) {
        CDataCell cell = Flagged(Text(u"old"), 0x5A000000);
        cell.SetValueByType(pszText, nType);
        EXPECT_EQ(Dump(cell), Dump(expected));
    }

    // ReadValue replaces the whole type word and releases a held text: here DT_DATE 20240229.
    const std::string buf = "\x89\x09\x53\x2E\xE5";
    CDataBufParser parser(buf.data(), static_cast<uint32_t>(buf.size()));
    CDataCell read = Flagged(Text(u"old"), 0x5A000000);
    EXPECT_FALSE(read.ReadValue(parser));
    EXPECT_EQ(Dump(read), Dump(Int(20240229, DT_DATE)));

    // Copies own their text and keep the flag byte (ASan reports a leak or a double free).
    CDataCell text = Flagged(Text(u"abc", DT_STRING1), 0x5A000000);
    CDataCell copy(text);
    text.SetString(u"changed", DT_STRING1);
    EXPECT_EQ(Dump(copy), Dump(Flagged(Text(u"abc", DT_STRING1), 0x5A000000)));
    copy = Int(3);
    copy = copy;
    EXPECT_EQ(Dump(copy), Dump(Int(3)));
    copy = text;
    EXPECT_EQ(Dump(copy), Dump(text));
    copy.Clear();
    EXPECT_EQ(Dump(copy), Dump(CDataCell()));
}

TEST(DataCell, ComparisonsAcrossFamilies) {
    const CDataCell full = Text(u"Ａ１！　"), half = Text(u"A1! "), bad = Int(-2147483648LL);
    // Integer cells keep 64 bits but take the other side as AsInt. DT_STRING3 takes part in
    // numeric comparisons, yet only DT_STRING converts: it counts as 0. Equal compares texts
    // exactly, Less ignores width. An empty text is never greater, any other is greater than it.
    // clang-format off
    const std::tuple<CDataCell, Compare, CDataCell, bool> cases[] = {
        {Int(3), Eq, Int(3, DT_BOOL), true}, {Int(0x100000003LL), Eq, Int(3), false},
        {Int(3), Eq, Int(0x100000003LL), true}, {Int(3), Eq, Dbl(3.0000001), false},
        {Int(12), Eq, Text(u"12"), true}, {Int(12), Eq, Text(u"12", DT_STRING3), false},
        {Int(0), Eq, Text(u"12", DT_STRING3), true}, {Int(12), Eq, Text(u"12", DT_STRING1), false},
        {Text(u"是"), Eq, Int(1, DT_BOOL), true},
        {Text(u"a", DT_STRING2), Eq, Text(u"a", DT_STRING1), true}, {full, Eq, half, false},
        {Text(u"--"), Eq, CDataCell(DT_TABLE), false},
        {CDataCell(DT_EMPTY), Eq, CDataCell(DT_EMPTY), false}, {Int(2), Lt, Dbl(2.5), true},
        {Int(2), Lt, Text(u"10"), true}, {Dbl(-1.5, DT_FLOAT), Lt, Text(u"-1.6", DT_STRING3), true},
        {Dbl(1.5, DT_FLOAT), Lt, Text(u"1.6", DT_STRING3), false},
        {Text(u"apple"), Lt, Text(u"banana", DT_STRING1), true}, {full, Lt, half, false},
        {half, Lt, full, false}, {Int(1), Lt, Text(u"5", DT_STRING1), false},
        {Text(u"5"), Lt, Int(9), false}, {Int(5), Ge, Int(5), true}, {bad, Gt, Int(1), false},
        {Int(1), Gt, bad, true}, {bad, Ge, bad, false}, {Int(1), Ge, Dbl(-0.0), true},
        {Text(u""), Gt, Text(u""), false}, {Text(u"a"), Gt, Text(u""), true},
        {Text(u"hello world"), Has, Text(u"o w", DT_STRING2), true},
        {Text(u"hello"), Has, Text(u"O"), false}, {Int(12), Has, Text(u"12"), true},
        {Text(u"12"), Has, Int(1), false}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [left, op, right, bResult] = cases[i];
        EXPECT_EQ((left.*op)(right), bResult) << i;
    }
    EXPECT_TRUE(Int(4) != Int(5) && Int(4) == Text(u"4") && Int(2) < Int(3) && Int(5) > Int(4));
    EXPECT_LT(CompareTextIgnoreWidth(u"Ａ", u"B"), 0);
    EXPECT_GT(CompareTextIgnoreWidth(u"ｂ", u"a"), 0);
    // Invalid values order after every valid one.
    std::vector<CDataCell> cells = {bad, Int(5), Dbl(std::nan("")), Int(-7), Dbl(-0.0), Dbl(2.5)};
    std::sort(cells.begin(), cells.end(), [](const auto& a, const auto& b) { return a < b; });
    EXPECT_EQ(cells[0].GetString() + cells[1].GetString() + cells[2].GetString(), u"-72.50005");
    EXPECT_FALSE(cells[3].IsValid() || cells[4].IsValid() || cells[5].IsValid());
}

TEST(DataCell, ArithmeticAndUnaryOperations) {
    kttest::CTraceLog trace;
    // {cell, operation, operand, cell afterwards}, none where the combination is not supported
    // (false, and the cell is left as it was). A floating operand of an integer is rounded as
    // AsInt rounds (an invalid one is skipped with a warning); integer division truncates.
    using After = std::optional<CDataCell>;
    // clang-format off
    const std::tuple<CDataCell, Binary, CDataCell, After> binary[] = {
        {Int(3), Add, Dbl(2.6), Int(6)}, {Int(6), Add, Dbl(-0.0), Int(6)},
        {Int(6), Sub, Dbl(1.4), Int(5)}, {Int(5), Add, Int(2000, DT_YEAR), Int(2005)},
        {Int(2005), Mul, Int(2, DT_BOOL), Int(4010)}, {Int(1002), Div, Int(-4), Int(-250)},
        {Int(-250), Div, Dbl(0.5), Int(-500)},
        {Int(2000, DT_YEAR), Add, Int(24), Int(2024, DT_YEAR)},
        {Dbl(1.5, DT_FLOAT), Add, Int(2), Dbl(3.5, DT_FLOAT)},
        {Dbl(3.5, DT_FLOAT), Add, Dbl(std::nan("")), Dbl(3.5, DT_FLOAT)},
        {Dbl(3.5, DT_FLOAT), Mul, Dbl(2.0), Dbl(7.0, DT_FLOAT)},
        {Dbl(7.0, DT_FLOAT), Div, Int(7), Dbl(1.0, DT_FLOAT)},
        {Text(std::u16string(u"ab\0", 3)), Add, Int(7), Text(u"ab7")},
        {Text(u"x", DT_STRING3), Add, Dbl(1.0), Text(u"x1.0000", DT_STRING3)},
        {Int(3), Add, Text(u"4"), {}}, {Int(3), Add, Int(4, DT_DATE), {}},
        {Int(2000, DT_YEAR), Add, Int(1, DT_YEAR), {}}, {Int(2000, DT_YEAR), Sub, Dbl(1.0), {}},
        {Int(20240101, DT_DATE), Add, Int(1), {}}, {Dbl(1.0), Add, Int(1, DT_BOOL), {}},
        {Text(u"a", DT_STRING1), Add, Text(u"b"), {}}, {Text(u"a"), Sub, Text(u"b"), {}},
        {Int(3, DT_BOOL), Mul, Int(2), {}}, {Dbl(3.0), Mul, Int(2), {}},
        {Int(3), Div, Int(0), {}}, {Int(3), Div, Int(0x100000000LL), {}},  // AsInt of that is 0
        {Int(3), Div, Dbl(1e-10), {}}, {Dbl(3.0), Div, Dbl(-1e-10), {}},
        {Dbl(3.0), Div, Text(u"2"), {}}, {CDataCell(DT_EMPTY), Add, Int(1), {}}};
    // clang-format on
    for (size_t i = 0; i < std::size(binary); ++i) {
        const auto& [before, op, other, after] = binary[i];
        CDataCell cell = before;
        EXPECT_EQ((cell.*op)(other), after.has_value()) << i;
        EXPECT_EQ(Dump(cell), Dump(after.value_or(before))) << i;
    }
    EXPECT_EQ(trace.Count("CDataCell::operator+=() DT_INTEGER + DT_DOUBLE warn\n"), 2u);
    EXPECT_EQ(trace.Count("CDataCell::operator-=() DT_INTEGER - DT_DOUBLE warn\n"), 1u);
    CDataCell cell = Int(11), text = Text(u"x");
    EXPECT_TRUE(cell /= 4.0);
    EXPECT_FALSE(cell /= 1e-7);  // not above the single-precision 1e-7
    EXPECT_FALSE((cell /= -2.0) || (text /= 2.0));
    EXPECT_EQ(cell.GetInt64(), 2);  // truncated

    const CDataCell x = Text(u"x");
    // clang-format off
    using C = CDataCell;
    const std::tuple<CDataCell, Unary, After> unary[] = {
        {Int(-5, DT_YEAR), &C::Abs, Int(5, DT_YEAR)},
        {Int(INT64_MIN), &C::Abs, Int(INT64_MIN)},  // wraps, without UB
        {Int(3), &C::Round, {}}, {Flagged(Dbl(2.5, DT_FLOAT), 0x01000000), &C::Round, Int(3)},
        {Int(-4), &C::Square, Int(16)}, {Int(16), &C::Sqrt, Dbl(4.0)},
        {Int(2000, DT_YEAR), &C::Sqrt, {}}, {Int(0), &C::Exp, Dbl(1.0)},
        {Dbl(100.0, DT_FLOAT2), &C::Log10, Dbl(2.0, DT_FLOAT2)},
        {Dbl(0.5), &C::Cot, Dbl(1.0 / std::tan(0.5))}, {Int(7, DT_BOOL), &C::Not, Int(0, DT_BOOL)},
        {Int(0, DT_BOOL), &C::Not, Int(1, DT_BOOL)}, {Int(7), &C::Not, {}}, {Dbl(0.0), &C::Not, {}},
        {x, &C::Abs, {}}, {x, &C::Log, {}}, {x, &C::Not, {}}};
    // clang-format on
    for (size_t i = 0; i < std::size(unary); ++i) {
        const auto& [before, op, after] = unary[i];
        CDataCell cell = before;
        EXPECT_EQ((cell.*op)(), after.has_value()) << i;
        EXPECT_EQ(Dump(cell), Dump(after.value_or(before))) << i;
    }
}
