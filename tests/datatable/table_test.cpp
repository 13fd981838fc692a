#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "datatable/datatable.h"
#include "datatable/datawriter.h"
#include "hex.h"
#include "support/scoped.h"

using namespace kt;
using kttest::Cells;
using kttest::Hex;
using kttest::ToHex;

namespace {

const std::string kExample = kttest::Fixture("example_section.bin");

// Parses an exact-size copy of the first nLen bytes, so that ASan sees any read past them.
int ParseExact(CDataTable& table, const std::string& str, size_t nLen = std::string::npos) {
    const std::string strPrefix = str.substr(0, nLen);
    return table.ParseBuffer(kttest::ExactCopy(strPrefix).get(),
                             static_cast<uint32_t>(strPrefix.size()));
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

}  // namespace

// Every prefix of a section with properties, attributes and text, double, float and no-value
// cells. What the prefix holds is there; the cells of a row not yet reached read as whatever an
// exhausted buffer gives their column's type; a row length that the prefix cuts off reads as 0 and
// passes, one that it holds fails the parse and leaves that row's cells empty.
TEST(DataTable, TruncatedAtEveryByte) {
    CDataTable full = TextTable(2, {u"A", u"B", u"C", u"D"});
    full.m_vecHeads[1].m_nType = DT_DOUBLE;
    full.m_vecHeads[2].m_nType = DT_FLOAT;
    full.m_vecHeads[3].m_nType = DT_EMPTY;
    full.GetCell(0, 1)->SetDouble(2.5, DT_DOUBLE);
    full.GetCell(1, 2)->SetDouble(2.5, DT_DOUBLE);
    const CDataCell text = TextCell(u"v");
    full.m_mapProps[u"p1"] = full.m_mapProps[u"p2"] = full.m_vecHeads[0].m_mapAttrs[u"a"] = text;
    full.m_vecHeads[2].m_mapAttrs[u"b"].SetInteger(-300);
    const std::string str = WriteTableSection(full);
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

// Sections with bad row lengths or counts: {bytes, result, columns, rows}. (A row length past the
// end is one of the truncations above.)
TEST(DataTable, BadRowLengthsAndCounts) {
    const std::tuple<const char*, int, int32_t, int32_t> cases[] = {
        // A negative row length, and negative or impossible counts (refused before allocating).
        {"80 80 81 81 80 81 76 85 80 FF", -1, 1, 1},
        {"80 80 FF 81 80", -1, 0, 0},
        {"80 80 81 FF 80", -1, 0, 0},
        {"80 80 81 07 7F 7F 7F FF 80", -1, 0, 0},
        {"80 80 07 7F 7F 7F FF 81 80", -1, 0, 0},
        // Found by fuzzing: seven bytes declare 128 columns and 1793 rows. Within the bounds the
        // buffer allows, a truncated section keeps its declared shape with empty values.
        {"80 80 01 80 0E 81 80", 0, 128, 1793},
        // Beyond what any buffer of that size can describe (65536 x 65536), nothing is allocated.
        {"80 80 04 00 80 04 00 80 80", -1, 0, 0}};
    CDataTable table;
    for (const auto& [pszHex, nResult, nCols, nRows] : cases) {
        SCOPED_TRACE(pszHex);
        EXPECT_EQ(ParseExact(table, Hex(pszHex)), nResult);
        EXPECT_EQ(table.GetColCount(), nCols);
        EXPECT_EQ(table.GetRowCount(), nRows);
        EXPECT_EQ(nRows ? table.GetRow(nRows - 1)->GetCellCount() : nCols, nCols);
    }
}

TEST(DataTable, CellAccessBoundsAndTrace) {
    CDataTable table;
    ASSERT_EQ(ParseExact(table, kExample), 0);
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
