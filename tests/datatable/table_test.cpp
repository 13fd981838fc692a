// The wire format: stop-bit numbers and the other primitives, table sections (parsed whole, cut
// short or malformed, and the table operations on them) and reply envelopes. Byte images live in
// inspect/ (fixtures that kt-inspect's checks read too) and cases/.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "datatable/databufparser.h"
#include "datatable/datatable.h"
#include "datatable/datawriter.h"
#include "datatable/replyreader.h"
#include "platform/codepage.h"
#include "support/failalloc.h"
#include "support/files.h"
#include "support/scoped.h"

using namespace kt;

namespace {

// Hex bytes ("80 80 82") to a byte string, and back.
std::string Hex(const std::string& str) {
    std::string out;
    std::istringstream in(str);
    for (unsigned n; in >> std::hex >> n;) out += static_cast<char>(n);
    return out;
}

std::string ToHex(const std::string& str) {
    std::string out;
    char sz[4];
    for (unsigned char c : str) out += (std::snprintf(sz, sizeof(sz), " %02X", c), sz);
    return out.empty() ? out : out.substr(1);
}

// A data file of this folder, e.g. "inspect/example_section.bin": example_section.bin has no
// properties, columns ID DT_INTEGER and N DT_STRING, and one row 1, "ab"; example_reply.bin is
// status 0, message "", that section as the payload.
std::string FixturePath(const char* pszName) {
    return std::string(KT_DATATABLE_DATA "/") + pszName;
}
std::string Fixture(const char* pszName) {
    EXPECT_TRUE(std::filesystem::exists(FixturePath(pszName))) << pszName;
    return kttest::ReadFile(FixturePath(pszName));
}

// The rows of a case file: fields split at " | "; empty lines and lines starting with '#' skipped.
std::vector<std::vector<std::string>> Rows(const char* pszName) {
    std::istringstream in(Fixture(pszName));
    std::vector<std::vector<std::string>> rows;
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.empty() || strLine[0] == '#') continue;
        rows.emplace_back();
        for (size_t n; (n = strLine.find(" | ")) != std::string::npos; strLine.erase(0, n + 3))
            rows.back().push_back(strLine.substr(0, n));
        rows.back().push_back(strLine);
    }
    EXPECT_FALSE(rows.empty()) << pszName;
    return rows;
}

// An exact-size heap copy of the bytes, so that ASan sees any read past them.
std::unique_ptr<char[]> ExactCopy(const std::string& str) {
    std::unique_ptr<char[]> p(new char[str.size()]);
    str.copy(p.get(), str.size());
    return p;
}

// Every cell's text, cells joined by "," and rows by "|".
std::u16string Cells(const CDataTable& table) {
    std::u16string str;
    for (int r = 0; r < table.GetRowCount(); ++r) {
        for (int c = 0; c < table.GetColCount(); ++c)
            str += (c ? u"," : r ? u"|" : u"") + table.GetCellString(r, c);
    }
    return str;
}

std::string Written(const uint8_t* pBuf, size_t nSize, const CDataBufParser& writer) {
    return std::string(reinterpret_cast<const char*>(pBuf), nSize - writer.GetRemain());
}

// Parses an exact-size copy of the first nLen bytes, so that ASan sees any read past them.
int ParseExact(CDataTable& table, const std::string& str, size_t nLen = std::string::npos) {
    const std::string strPrefix = str.substr(0, nLen);
    return table.ParseBuffer(ExactCopy(strPrefix).get(), static_cast<uint32_t>(strPrefix.size()));
}

CDataCell TextCell(std::u16string_view str) {
    CDataCell cell;
    cell.SetString(str);
    return cell;
}

// Text columns with the given names; cell (r, c) holds "r<r><c as a letter>", e.g. "r1b".
CDataTable TextTable(int nRows, std::initializer_list<const char16_t*> names = {u"A", u"B", u"C"}) {
    CDataTable table(nRows, static_cast<int32_t>(names.size()));
    table.m_vecHeads.resize(names.size());
    int c = 0;
    for (const char16_t* pszName : names) {
        table.m_vecHeads[c].m_strName = pszName;
        table.m_vecHeads[c].m_nType = DT_STRING;
        for (int r = 0; r < nRows; ++r) {
            table.GetCell(r, c)->SetString(std::u16string{u'r', static_cast<char16_t>(u'0' + r),
                                                          static_cast<char16_t>(u'a' + c)});
        }
        ++c;
    }
    return table;
}

int Read(const std::string& str, std::unique_ptr<CDataTable>& pTable) {
    return ReadReplyTable(ExactCopy(str).get(), str.size(), pTable);
}

using Boxes = std::vector<std::u16string>;

}  // namespace

TEST(StopBitInt, EverySizeBoundaryByteForByte) {
    for (const std::vector<std::string>& row : Rows("cases/stop_bit_ints.txt")) {
        SCOPED_TRACE(row[0]);
        const int32_t nValue = std::stoi(row[0]);
        const char* pszHex = row[1].c_str();
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
    const std::u16string strPath = FromUtf8(FixturePath("inspect/example_section.bin"));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(parser.LoadFromFile(strPath), 0);
    EXPECT_EQ(parser.GetRemain(), Fixture("inspect/example_section.bin").size());
}

// Every prefix of typed_section.bin: properties p1 and p2 (text "v"); columns A (text, attribute
// a "v"), B (double), C (float, attribute b -300) and D (no value); rows "r0a", 2.5, 0 and "r1a",
// 0, 2.5. What the prefix holds is there; the cells of a row not yet reached read as whatever an
// exhausted buffer gives their column's type; a row length that the prefix cuts off reads as 0 and
// passes, one that it holds fails the parse and leaves that row's cells empty. Whole, it is
// written back byte for byte.
TEST(DataTable, TruncatedAtEveryByte) {
    const std::string str = Fixture("inspect/typed_section.bin");
    const CDataCell text = TextCell(u"v");
    // Header 5 bytes (two words, columns, rows, properties), two properties of 6, heads of 9
    // (name "A" at 17, type at 19), 4, 9 and 4, then two rows of 17 (the length byte, a text of 4,
    // a double, a float and nothing for the no-value column).
    ASSERT_EQ(str.size(), 5u + 12u + 26u + 2u * 17u);
    const size_t nProps = 17, nRows = 43, nRow1 = nRows + 17;
    for (size_t k = 0; k <= str.size(); ++k) {
        SCOPED_TRACE(k);
        CDataTable table;
        const bool bRowCut = (k > nRows && k < nRow1) || (k > nRow1 && k < str.size());
        EXPECT_EQ(ParseExact(table, str, k), bRowCut ? -1 : 0);
        EXPECT_EQ(table.GetColCount(), k >= 3 ? 4 : 0);
        EXPECT_EQ(table.GetRowCount(), k >= 4 ? 2 : 0);
        EXPECT_EQ(static_cast<int>(table.m_vecHeads.size()), table.GetColCount());
        EXPECT_TRUE(table.m_bIndexed == 0 && table.m_mapColIndex.empty());  // the reply indexes
        EXPECT_EQ(table.m_mapProps.size() == 2u && table.m_mapProps[u"p2"] == text, k >= nProps);
        if (k < 4) continue;
        ASSERT_EQ(table.GetRow(1)->GetCellCount(), 4);
        EXPECT_EQ(table.GetColumnHead(0)->m_strName, k >= 19 ? u"A" : u"");
        const bool bTyped = k >= 20 && !bRowCut;
        EXPECT_EQ(table.GetCellString(1, 0), k == str.size() ? u"r1a" : bTyped ? u"" : u"--");
        EXPECT_EQ(table.GetCell(0, 1)->GetDoubleValue(), k >= nRow1 ? 2.5 : 0.0);
        EXPECT_EQ(table.GetCell(1, 3)->GetTypeWord(), 0u);
        EXPECT_EQ(WriteTableSection(table) == str, k == str.size());
        if (k < nRows) continue;
        EXPECT_EQ(table.GetColumnHead(0)->m_mapAttrs.at(u"a").GetString(), u"v");
        EXPECT_EQ(table.GetColumnHead(2)->m_mapAttrs.at(u"b").GetInt64(), -300);
    }
}

TEST(DataTable, BadRowLengthsAndCounts) {
    CDataTable table;
    for (const std::vector<std::string>& row : Rows("cases/bad_sections.txt")) {
        SCOPED_TRACE(row[0]);
        const int32_t nCols = std::stoi(row[2]), nRows = std::stoi(row[3]);
        EXPECT_EQ(ParseExact(table, Hex(row[0])), std::stoi(row[1]));
        EXPECT_EQ(table.GetColCount(), nCols);
        EXPECT_EQ(table.GetRowCount(), nRows);
        EXPECT_EQ(nRows ? table.GetRow(nRows - 1)->GetCellCount() : nCols, nCols);
    }
}

TEST(DataTable, CellAccessBoundsAndTrace) {
    CDataTable table;
    ASSERT_EQ(ParseExact(table, Fixture("inspect/example_section.bin")), 0);
    kttest::CTraceLog trace;
    for (const auto& [r, c] : {std::pair{0, 2}, {0, -1}, {1, 0}, {-1, 0}})
        EXPECT_EQ(table.GetCell(r, c), nullptr) << r << "," << c;
    EXPECT_FALSE(table.SetCell(0, 5, TextCell(u"x")));
    // Only a bad column of an existing row says so.
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::string>{"ASSERT(FALSE) nCol: 2\n", "ASSERT(FALSE) nCol: -1\n",
                                        "ASSERT(FALSE) nCol: 5\n"}));
    // A row made short directly is widened by the next non-const access.
    table.GetRow(0)->m_vecCells.resize(1);
    EXPECT_EQ(static_cast<const CDataTable&>(table).GetCell(0, 1)->GetTypeWord(), 0u);
    EXPECT_EQ(table.GetRow(0)->GetCellCount(), 1);
    ASSERT_NE(table.GetCell(0, 1), nullptr);
    EXPECT_EQ(table.GetRow(0)->GetCellCount(), 2);

    // Column flags on every row; a bad column traces once per row.
    CDataTable three = TextTable(3);
    EXPECT_EQ(three.SetColumnCellFlags(1, 0x12000000), 3);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(three.GetCell(r, 1)->GetTypeWord(), 0x12000000u | DT_STRING);
        EXPECT_EQ(three.GetCell(r, 0)->GetFlags(), 0u);
    }
    trace.Clear();
    EXPECT_EQ(three.SetColumnCellFlags(3, 0x01000000), 3);
    EXPECT_EQ(trace.Count("ASSERT(FALSE) nCol: 3\n"), 3u);
}

TEST(DataTable, ColumnIndexKeyColumnAndDeletedColumns) {
    CDataTable table = TextTable(3, {u"A", u"B", u"A"});
    table.BuildColumnIndex();
    EXPECT_EQ(table.m_bIndexed, 1);
    EXPECT_EQ(table.FindColumn(u"A"), 2);  // the later of two equal names
    EXPECT_EQ(table.FindColumn(u"a"), -1);
    EXPECT_TRUE(table.SetKeyColumn(-1) == -1 && table.SetKeyColumn(3) == -1);
    table.SetCell(0, 2, TextCell(u"dup"));
    table.SetCell(2, 2, TextCell(u"dup"));
    EXPECT_EQ(table.SetKeyColumn(2), 2);
    EXPECT_EQ(table.FindRow(u"dup"), 2);  // the last of equal keys
    EXPECT_EQ(table.FindRow(u"r1c"), 1);
    EXPECT_EQ(table.SetKeyColumn(0), 2);  // cannot be moved
    // The same column again rebuilds from scratch.
    table.SetCell(1, 2, TextCell(u"new"));
    EXPECT_EQ(table.SetKeyColumn(2), 2);
    EXPECT_EQ(table.FindRow(u"r1c"), -1);
    EXPECT_EQ(table.FindRow(u"new"), 1);
    EXPECT_EQ(table.m_mapRowIndex.size(), 2u);

    // Deleting a column before the key moves the key and the column index down; deleting the key
    // column drops the row index with it.
    EXPECT_TRUE(table.DeleteColumn(3) == -1 && table.DeleteColumn(-1) == -1);
    EXPECT_EQ(table.DeleteColumn(0), 2);
    EXPECT_EQ(Cells(table), u"r0b,dup|r1b,new|r2b,dup");
    EXPECT_EQ(table.GetColumnHead(0)->m_strName, u"B");
    EXPECT_EQ(table.GetRow(1)->GetCellCount(), 2);
    EXPECT_TRUE(table.FindColumn(u"A") == 1 && table.FindColumn(u"B") == 0);
    EXPECT_EQ(table.m_nKeyCol, 1);
    EXPECT_EQ(table.FindRow(u"new"), 1);
    EXPECT_EQ(table.DeleteColumn(1), 1);
    EXPECT_EQ(table.m_nKeyCol, -1);
    EXPECT_TRUE(table.m_mapRowIndex.empty());
    EXPECT_EQ(table.FindColumn(u"A"), -1);
    // Only Clear lets the key column go.
    table.SetKeyColumn(0);
    const std::string str = WriteTableSection(table);
    table.Clear();
    EXPECT_EQ(table.m_nKeyCol, -1);
    ASSERT_EQ(ParseExact(table, str), 0);
    EXPECT_EQ(table.SetKeyColumn(0), 0);
    EXPECT_EQ(table.FindRow(u"r2b"), 2);
}

TEST(DataTable, CopyRowsFromKeepAndAppend) {
    const CDataTable target = TextTable(2);
    CDataTable source = TextTable(3, {u"c", u"x", u"a"});
    for (int r = 0; r < 3; ++r)
        source.GetCell(r, 0)->SetString(std::u16string{u's', char16_t(u'0' + r)});
    // Columns map by name without case: source c -> C, a -> A, nothing -> B. Keep without append
    // overwrites the first rows and still adds as many empty rows at the end.
    const std::tuple<bool, bool, const char16_t*> cases[] = {
        {false, false, u"r0c,--,s0|r1c,--,s1|r2c,--,s2"},
        {true, true, u"r0a,r0b,r0c|r1a,r1b,r1c|r0c,--,s0|r1c,--,s1|r2c,--,s2"},
        {true, false, u"r0c,r0b,s0|r1c,r1b,s1|r2c,--,s2|--,--,--|--,--,--"}};
    for (const auto& [bKeep, bAppend, pszCells] : cases) {
        CDataTable table = target;
        EXPECT_TRUE(table.CopyRowsFrom(&source, bKeep, bAppend));
        EXPECT_EQ(Cells(table), pszCells);
    }
    CDataTable table = target, empty;
    EXPECT_FALSE(table.CopyRowsFrom(&empty, false, false) ||
                 table.CopyRowsFrom(nullptr, false, false));
    EXPECT_EQ(Cells(table), Cells(target));
    // Copying a table into itself reads a snapshot.
    EXPECT_TRUE(table.CopyRowsFrom(&table, true, true));
    EXPECT_EQ(Cells(table), Cells(target) + u"|" + Cells(target));
}

TEST(DataTable, StructureCopiesAndClears) {
    CDataTable table = TextTable(2);
    table.m_mapProps[u"p"] = TextCell(u"v");
    table.BuildColumnIndex();
    table.SetKeyColumn(1);
    // The heads, indexes and key column, without properties or rows.
    CDataTable structure;
    structure.AddRows(1);
    structure.CopyStructure(table);
    EXPECT_EQ(WriteTableSection(structure), WriteTableSection(TextTable(0)));
    EXPECT_TRUE(structure.m_mapRowIndex.empty() && structure.m_nKeyCol == 1);
    EXPECT_EQ(structure.FindColumn(u"C"), 2);
    // A copy takes everything; clearing the rows keeps the heads; Clear leaves an empty section.
    CDataTable copy;
    copy = table;
    EXPECT_EQ(copy.FindRow(u"r1b"), 1);
    EXPECT_EQ(WriteTableSection(copy), WriteTableSection(table));
    copy.ClearRows();
    EXPECT_TRUE(copy.GetRowCount() == 0 && copy.GetColCount() == 3 && copy.m_mapRowIndex.empty());
    copy.Clear();
    EXPECT_EQ(ToHex(WriteTableSection(copy)), "80 80 80 80 80");
    EXPECT_TRUE(copy.m_bIndexed == 0 && copy.m_mapColIndex.empty());
}

// The writer's envelopes and section byte for byte as reviewed for kt-inspect, whose checks read
// these fixtures and the server errors beside them (what the reader makes of each: the message
// shown as sent, or none; a table for status 0, empty for a payload that is no table).
TEST(ReplyReader, WriterMatchesFixtures) {
    CDataTable example;
    ASSERT_EQ(example.LoadFromFile(FromUtf8(FixturePath("inspect/example_section.bin"))), 0);
    const std::pair<const char*, std::string> written[] = {
        {"inspect/example_section.bin", WriteTableSection(example)},
        {"inspect/example_reply.bin", WriteReplyEnvelope(&example)},
        {"inspect/empty_reply.bin", WriteReplyEnvelope(nullptr, 0, u"")},
        {"inspect/server_error_reply.bin", WriteReplyEnvelope(nullptr, -1, u"服务器忙")},
        // A positive status ends the envelope: an error without a message.
        {"inspect/positive_status_reply.bin", WriteReplyEnvelope(nullptr, 5)}};
    for (const auto& [pszName, str] : written) EXPECT_EQ(ToHex(str), ToHex(Fixture(pszName)));
}

// No bytes; a table already there (kept as it is); the raw-pointer form, which allocates the table
// only for a good reply.
TEST(ReplyReader, ArgumentsAndRawPointerForm) {
    kttest::CMessageBoxLog boxes;
    std::unique_ptr<CDataTable> pTable;
    EXPECT_EQ(ReadReplyTable(nullptr, 10, pTable), kReplyNoData);
    EXPECT_EQ(ReadReplyTable("x", 0, pTable), kReplyNoData);
    EXPECT_FALSE(pTable);
    const std::string str = Fixture("inspect/empty_reply.bin"),
                      strError = WriteReplyEnvelope(nullptr, -2, u"e");
    pTable = std::make_unique<CDataTable>(2, 2);
    CDataTable* pRaw = pTable.get();
    EXPECT_EQ(Read(str, pTable), kReplyTableNotEmpty);
    EXPECT_EQ(ReadReplyTable(str.data(), str.size(), pRaw), kReplyTableNotEmpty);
    EXPECT_TRUE(pTable.get() == pRaw && pRaw->GetRowCount() == 2);
    pRaw = nullptr;
    EXPECT_EQ(ReadReplyTable(strError.data(), strError.size(), pRaw), kReplyBadData);
    EXPECT_EQ(pRaw, nullptr);
    EXPECT_EQ(ReadReplyTable(str.data(), str.size(), pRaw), kReplyOk);
    ASSERT_NE(pRaw, nullptr);
    delete pRaw;
    EXPECT_EQ(boxes.Texts(), Boxes{u"e"});
}

TEST(ReplyReader, TruncatedAtEveryField) {
    // The empty reply's 28 bytes with DT_TABLE as the payload type, then the example section.
    // Its prefixes in runs {longest, result, message boxes}: a field name cut short shows the
    // format message (the new table stays); a missing type reads as DT_EMPTY, which is no status
    // field: an error with an empty box and no table; from the payload's name on, an indexed table
    // holding what the section's prefix holds.
    const Boxes format{kReplyFormatErrorText}, empty{u""};
    const std::tuple<size_t, int, Boxes> runs[] = {
        {0, kReplyNoData, {}},      {3, kReplyBadData, empty},   {9, kReplyBadData, format},
        {12, kReplyBadData, empty}, {19, kReplyBadData, format}, {20, kReplyBadData, empty},
        {47, kReplyOk, {}}};
    const std::string strFull = Fixture("inspect/example_reply.bin");
    ASSERT_EQ(strFull.size(), 47u);
    for (size_t k = 0, i = 0; k <= strFull.size(); ++k) {
        SCOPED_TRACE(k);
        i += k > std::get<0>(runs[i]) ? 1 : 0;
        const auto& [nLongest, nResult, texts] = runs[i];
        kttest::CMessageBoxLog boxes;
        std::unique_ptr<CDataTable> pTable;
        EXPECT_EQ(Read(strFull.substr(0, k), pTable), nResult);
        EXPECT_EQ(boxes.Texts(), texts);
        EXPECT_EQ(pTable != nullptr, nResult == kReplyOk || texts == format);
        if (!pTable || nResult != kReplyOk) continue;
        EXPECT_EQ(pTable->m_bIndexed, 1);
        EXPECT_EQ(pTable->GetColCount(), k >= 31 ? 2 : 0);
        CDataTable expected;
        if (k >= 28) expected.ParseBuffer(strFull.data() + 28, static_cast<uint32_t>(k - 28));
        EXPECT_EQ(WriteTableSection(*pTable), WriteTableSection(expected));
    }
}

// Each allocation of a table parse and of a reply read fails in turn: the parse answers out of
// memory with an empty table, the reader its exception result with no table and no message box
// (running out of memory is no message from the server and no format error). long_texts_reply.bin
// has a non-ASCII column name, a property, a message and texts too long to be held in place, so
// that each read allocates.
TEST(ReplyReader, EachFailingAllocationGivesOutOfMemoryAndNoTable) {
    const std::string strReply = Fixture("inspect/long_texts_reply.bin");
    std::unique_ptr<CDataTable> pTable;
    ASSERT_EQ(Read(strReply, pTable), kReplyOk);
    const std::string strSection = WriteTableSection(*pTable);
    const std::unique_ptr<char[]> pSection = ExactCopy(strSection);
    const std::unique_ptr<char[]> pReply = ExactCopy(strReply);
    kttest::CMessageBoxLog boxes;
    CDataTable table;
    int nParse = 0, nRead = 0;
    const size_t nParseFailures = kttest::ForEachFailingAllocation(
        [&] {
            nParse = table.ParseBuffer(pSection.get(), static_cast<uint32_t>(strSection.size()));
        },
        [&](bool bFailed) {
            EXPECT_EQ(nParse, bFailed ? CDataTable::kParseOutOfMemory : 0);
            EXPECT_EQ(WriteTableSection(table), bFailed ? WriteTableSection({}) : strSection);
        });
    const size_t nReadFailures = kttest::ForEachFailingAllocation(
        [&] {
            pTable.reset();
            nRead = ReadReplyTable(pReply.get(), strReply.size(), pTable);
        },
        [&](bool bFailed) {
            EXPECT_EQ(nRead, bFailed ? kReplyException : kReplyOk);
            EXPECT_EQ(pTable ? WriteTableSection(*pTable) : "", bFailed ? "" : strSection);
        });
    EXPECT_GT(nParseFailures, 10u);
    EXPECT_GT(nReadFailures, 10u);
    EXPECT_TRUE(boxes.Texts().empty());
}
