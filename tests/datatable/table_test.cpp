#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "capture.h"
#include "datatable/datatable.h"
#include "datatable/datawriter.h"
#include "platform/codepage.h"

using namespace kt;
using kttest::Hex;
using kttest::ToHex;

namespace {

// No properties; columns ID (DT_INTEGER) and N (DT_STRING); one row: 1, "ab".
const char* const kExampleHex = "80 80 82 81 80 82 49 44 85 80 81 4E 84 80 84 81 82 61 62";

CDataTable ExampleTable() {
    CDataTable table(1, 2);
    table.m_vecHeads.resize(2);
    table.m_vecHeads[0].m_strName = u"ID";
    table.m_vecHeads[0].m_nType = DT_INTEGER;
    table.m_vecHeads[1].m_strName = u"N";
    table.m_vecHeads[1].m_nType = DT_STRING;
    CDataCell id;
    id.SetInteger(1);
    CDataCell name;
    name.SetString(u"ab");
    table.SetCell(0, 0, id);
    table.SetCell(0, 1, name);
    return table;
}

// Columns A, B, C (text) with rows "r0a".., keyed nowhere.
CDataTable ThreeColumns(int nRows, const char16_t* pszA = u"A", const char16_t* pszB = u"B",
                        const char16_t* pszC = u"C") {
    CDataTable table(nRows, 3);
    const char16_t* names[3] = {pszA, pszB, pszC};
    table.m_vecHeads.resize(3);
    for (int c = 0; c < 3; ++c) {
        table.m_vecHeads[c].m_strName = names[c];
        table.m_vecHeads[c].m_nType = DT_STRING;
    }
    for (int r = 0; r < nRows; ++r) {
        for (int c = 0; c < 3; ++c) {
            CDataCell cell;
            std::u16string str = u"r";
            str += static_cast<char16_t>(u'0' + r);
            str += static_cast<char16_t>(u'a' + c);
            cell.SetString(str);
            table.SetCell(r, c, cell);
        }
    }
    return table;
}

}  // namespace

TEST(DataTable, ExampleSectionByteForByte) {
    const std::string strExpected = Hex(kExampleHex);
    EXPECT_EQ(ToHex(WriteTableSection(ExampleTable())), kExampleHex);

    CDataTable table;
    ASSERT_EQ(table.ParseBuffer(strExpected.data(), static_cast<uint32_t>(strExpected.size())), 0);
    EXPECT_EQ(table.GetColCount(), 2);
    EXPECT_EQ(table.GetRowCount(), 1);
    EXPECT_TRUE(table.m_mapProps.empty());
    EXPECT_EQ(table.GetColumnHead(0)->m_strName, u"ID");
    EXPECT_EQ(table.GetColumnHead(0)->m_nType, DT_INTEGER);
    EXPECT_EQ(table.GetColumnHead(0)->m_nState, 6);
    EXPECT_EQ(table.GetColumnHead(1)->m_strName, u"N");
    EXPECT_EQ(table.GetColumnHead(1)->m_nType, DT_STRING);
    EXPECT_EQ(table.GetCell(0, 0)->GetType(), DT_INTEGER);
    EXPECT_EQ(table.GetCell(0, 0)->GetInt64(), 1);
    EXPECT_EQ(table.GetCellString(0, 1), u"ab");
    // Parse does not index; the reply reader does.
    EXPECT_EQ(table.m_bIndexed, 0);
    EXPECT_TRUE(table.m_mapColIndex.empty());
}

TEST(DataTable, TruncatedAtEveryField) {
    const std::string strFull = Hex(kExampleHex);
    kttest::CTraceCapture trace;
    for (size_t k = 0; k < strFull.size(); ++k) {
        // A copy of exactly k bytes, so that ASan sees any read past it.
        std::unique_ptr<char[]> pCopy(new char[k]);
        std::memcpy(pCopy.get(), strFull.data(), k);
        CDataTable table;
        const int nResult = table.ParseBuffer(pCopy.get(), static_cast<uint32_t>(k));
        SCOPED_TRACE(k);
        // The row length (4) is checked against what is left once the row starts at byte 14.
        EXPECT_EQ(nResult, k >= 15 ? -1 : 0);
        EXPECT_EQ(table.GetColCount(), k >= 3 ? 2 : 0);
        EXPECT_EQ(table.GetRowCount(), k >= 4 ? 1 : 0);
        EXPECT_EQ(static_cast<int>(table.m_vecHeads.size()), table.GetColCount());
        if (k < 3) continue;
        EXPECT_EQ(table.GetColumnHead(0)->m_strName, k >= 8 ? u"ID" : u"");
        EXPECT_EQ(table.GetColumnHead(0)->m_nType, k >= 9 ? DT_INTEGER : DT_EMPTY);
        EXPECT_EQ(table.GetColumnHead(1)->m_strName, k >= 12 ? u"N" : u"");
        EXPECT_EQ(table.GetColumnHead(1)->m_nType, k >= 13 ? DT_STRING : DT_EMPTY);
        if (k < 4) continue;
        ASSERT_EQ(table.GetRow(0)->GetCellCount(), 2);
        // Before the row is reached its cells read as whatever an exhausted buffer gives their
        // type; after a failed row length they stay empty.
        const CDataCell* pId = table.GetCell(0, 0);
        const CDataCell* pName = table.GetCell(0, 1);
        if (k >= 15) {
            EXPECT_EQ(pId->GetTypeWord(), 0u);
            EXPECT_EQ(pName->GetTypeWord(), 0u);
        } else {
            EXPECT_EQ(pId->GetType(), k >= 9 ? DT_INTEGER : DT_EMPTY);
            EXPECT_EQ(pId->GetInt64(), 0);
            EXPECT_EQ(pName->GetType(), k >= 13 ? DT_STRING : DT_EMPTY);
            EXPECT_EQ(pName->GetString(), k >= 13 ? u"" : u"--");
        }
    }
}

TEST(DataTable, RepeatedPropertyAndAttributeNames) {
    CDataBufWriter w;
    w.WriteInt(0);
    w.WriteInt(0);
    w.WriteInt(1);  // C
    w.WriteInt(1);  // R
    w.WriteInt(3);  // P
    w.WriteString(u"p");
    w.WriteType(DT_INTEGER);
    w.WriteInt(1);
    w.WriteString(u"q");
    w.WriteType(DT_FLOAT);
    w.WriteFloat(0.25f);
    w.WriteString(u"p");
    w.WriteType(DT_STRING1);
    w.WriteString(u"second");
    w.WriteString(u"col");
    w.WriteType(DT_DOUBLE);
    w.WriteInt(3);
    w.WriteString(u"a");
    w.WriteType(DT_BOOL);
    w.WriteInt(0);
    w.WriteString(u"a");
    w.WriteType(DT_YEAR);
    w.WriteInt(2024);
    w.WriteString(u"b");
    w.WriteType(DT_RESERVED1);  // occupies no bytes
    w.WriteInt(8);
    w.WriteDouble(-1.5);
    w.WriteBytes("trailing", 8);  // ignored
    CDataTable table;
    ASSERT_EQ(table.ParseBuffer(w.GetBuffer().data(), static_cast<uint32_t>(w.GetSize())), 0);
    ASSERT_EQ(table.m_mapProps.size(), 2u);
    EXPECT_EQ(table.m_mapProps[u"p"].GetType(), DT_STRING1);
    EXPECT_EQ(table.m_mapProps[u"p"].GetString(), u"second");
    EXPECT_EQ(table.m_mapProps[u"q"].GetString(), u"0.2500");
    const CDataColumnHead* pHead = table.GetColumnHead(0);
    ASSERT_EQ(pHead->m_mapAttrs.size(), 2u);
    EXPECT_EQ(pHead->m_mapAttrs.at(u"a").GetType(), DT_YEAR);
    EXPECT_EQ(pHead->m_mapAttrs.at(u"a").GetInt64(), 2024);
    EXPECT_EQ(pHead->m_mapAttrs.at(u"b").GetTypeWord(), 0u);
    EXPECT_EQ(table.GetCell(0, 0)->GetDoubleValue(), -1.5);

    // And the writer reproduces what it read.
    CDataTable again;
    const std::string strSection = WriteTableSection(table);
    ASSERT_EQ(again.ParseBuffer(strSection.data(), static_cast<uint32_t>(strSection.size())), 0);
    EXPECT_EQ(WriteTableSection(again), strSection);
}

TEST(DataTable, TruncatedPropertiesAttributesAndRows) {
    // Every prefix of a section with properties, attributes and several value kinds: no read
    // past the prefix (ASan), heads always as many as the column count, and whatever was read
    // completely is the same as in the full parse.
    CDataTable full = ThreeColumns(2);
    full.m_vecHeads[1].m_nType = DT_DOUBLE;
    full.m_vecHeads[2].m_nType = DT_FLOAT;
    CDataCell cell;
    cell.SetDouble(2.5, DT_DOUBLE);
    full.SetCell(0, 1, cell);
    full.SetCell(1, 2, cell);
    cell.SetString(u"v", DT_STRING2);
    full.m_mapProps[u"p1"] = cell;
    full.m_mapProps[u"p2"] = cell;
    full.m_vecHeads[0].m_mapAttrs[u"a"] = cell;
    cell.SetInteger(-300, DT_INTEGER);
    full.m_vecHeads[2].m_mapAttrs[u"b"] = cell;
    const std::string str = WriteTableSection(full);
    CDataTable reference;
    ASSERT_EQ(reference.ParseBuffer(str.data(), static_cast<uint32_t>(str.size())), 0);
    kttest::CTraceCapture trace;
    for (size_t k = 0; k <= str.size(); ++k) {
        SCOPED_TRACE(k);
        std::unique_ptr<char[]> pCopy(new char[k]);
        std::memcpy(pCopy.get(), str.data(), k);
        CDataTable table;
        const int nResult = table.ParseBuffer(pCopy.get(), static_cast<uint32_t>(k));
        EXPECT_TRUE(nResult == 0 || nResult == -1);
        EXPECT_EQ(static_cast<int>(table.m_vecHeads.size()), table.GetColCount());
        // Properties come before the heads: once a prefix holds them all, they are all there.
        const CDataColumnHead* pFirst = table.GetColumnHead(0);
        if (pFirst && pFirst->m_strName == u"A") {
            EXPECT_EQ(table.m_mapProps.size(), 2u);
        }
        if (k == str.size()) {
            EXPECT_EQ(nResult, 0);
            EXPECT_EQ(WriteTableSection(table), str);
        }
    }
}

TEST(DataTable, RowLengthBeyondTheBufferStopsTheParse) {
    CDataBufWriter w;
    for (int32_t n : {0, 0, 1, 3, 0}) w.WriteInt(n);
    w.WriteString(u"v");
    w.WriteType(DT_INTEGER);
    w.WriteInt(0);
    w.WriteInt(1);
    w.WriteInt(7);
    w.WriteInt(100);  // second row claims 100 bytes
    w.WriteInt(8);
    CDataTable table;
    EXPECT_EQ(table.ParseBuffer(w.GetBuffer().data(), static_cast<uint32_t>(w.GetSize())), -1);
    EXPECT_EQ(table.GetRowCount(), 3);
    EXPECT_EQ(table.GetCellString(0, 0), u"7");
    EXPECT_EQ(table.GetCellString(1, 0), u"--");
    EXPECT_EQ(table.GetCellString(2, 0), u"--");

    // Negative lengths and counts are refused too, the latter before anything is allocated.
    CDataBufWriter neg;
    for (int32_t n : {0, 0, 1, 1, 0}) neg.WriteInt(n);
    neg.WriteString(u"v");
    neg.WriteType(DT_INTEGER);
    neg.WriteInt(0);
    neg.WriteInt(-1);
    EXPECT_EQ(table.ParseBuffer(neg.GetBuffer().data(), static_cast<uint32_t>(neg.GetSize())), -1);
    kttest::CTraceCapture trace;
    for (const char* pszHex : {"80 80 FF 81 80", "80 80 81 FF 80", "80 80 81 07 7F 7F 7F FF 80",
                               "80 80 07 7F 7F 7F FF 81 80"}) {
        const std::string str = Hex(pszHex);
        EXPECT_EQ(table.ParseBuffer(str.data(), static_cast<uint32_t>(str.size())), -1) << pszHex;
        EXPECT_EQ(table.GetColCount(), 0);
        EXPECT_EQ(table.GetRowCount(), 0);
    }
}

TEST(DataTable, DeclaredSizesOfATruncatedSectionAreKept) {
    // Found by fuzzing: seven bytes declare 128 columns and 1793 rows. Within the bounds the
    // buffer allows, a truncated section keeps its declared shape with empty values.
    const std::string str = Hex("80 80 01 80 0E 81 80");
    CDataTable table;
    ASSERT_EQ(table.ParseBuffer(str.data(), static_cast<uint32_t>(str.size())), 0);
    EXPECT_EQ(table.GetColCount(), 128);
    EXPECT_EQ(table.GetRowCount(), 1793);
    EXPECT_EQ(table.GetRow(1792)->GetCellCount(), 128);
    EXPECT_EQ(table.GetCellString(1792, 127), u"--");
    // Beyond what any buffer of that size can describe, nothing is allocated.
    kttest::CTraceCapture trace;
    const std::string strHuge = Hex("80 80 04 00 80 04 00 80 80");  // 65536 x 65536
    EXPECT_EQ(table.ParseBuffer(strHuge.data(), static_cast<uint32_t>(strHuge.size())), -1);
    EXPECT_EQ(table.GetColCount(), 0);
    EXPECT_EQ(table.GetRowCount(), 0);
}

TEST(DataTable, FloatAndDoubleColumnsTakeTheirBytes) {
    CDataTable src(2, 3);
    src.m_vecHeads.resize(3);
    src.m_vecHeads[0].m_nType = DT_FLOAT;
    src.m_vecHeads[1].m_nType = DT_DOUBLE;
    src.m_vecHeads[2].m_nType = DT_EMPTY;
    for (int r = 0; r < 2; ++r) {
        CDataCell f, d;
        f.SetDouble(0.5 + r, DT_FLOAT);
        d.SetDouble(0.1 + r, DT_DOUBLE);
        src.SetCell(r, 0, f);
        src.SetCell(r, 1, d);
    }
    const std::string str = WriteTableSection(src);
    // Header 5 bytes, three heads of 3 bytes, then per row L (1 byte) + 4 + 8 + 0.
    EXPECT_EQ(str.size(), 5u + 9u + 2u * 13u);
    EXPECT_EQ(static_cast<unsigned char>(str[14]), 0x80 | 12);
    CDataTable table;
    ASSERT_EQ(table.ParseBuffer(str.data(), static_cast<uint32_t>(str.size())), 0);
    EXPECT_EQ(table.GetCell(1, 0)->GetDoubleValue(), 1.5);
    EXPECT_EQ(table.GetCell(1, 1)->GetDoubleValue(), 1.1);
    EXPECT_EQ(table.GetCell(1, 2)->GetTypeWord(), 0u);
}

TEST(DataTable, CellAccessBoundsAndTrace) {
    CDataTable table = ExampleTable();
    kttest::CTraceCapture trace;
    EXPECT_EQ(table.GetCell(0, 2), nullptr);
    EXPECT_EQ(trace.Count("ASSERT(FALSE) nCol: 2\n"), 1u);
    EXPECT_EQ(table.GetCell(0, -1), nullptr);
    EXPECT_EQ(trace.Count("ASSERT(FALSE) nCol: -1\n"), 1u);
    EXPECT_EQ(table.GetCell(1, 0), nullptr);
    EXPECT_EQ(table.GetCell(-1, 0), nullptr);
    EXPECT_EQ(trace.lines.size(), 2u);
    CDataCell cell;
    cell.SetInteger(9);
    EXPECT_FALSE(table.SetCell(0, 5, cell));
    EXPECT_EQ(trace.Count("ASSERT(FALSE) nCol: 5\n"), 1u);
    EXPECT_EQ(table.GetCellString(0, 5), u"");
    EXPECT_EQ(table.GetRow(1), nullptr);
    EXPECT_EQ(table.GetColumnHead(2), nullptr);

    // A row made short directly is widened by the next access.
    table.GetRow(0)->m_vecCells.resize(1);
    const CDataTable& constTable = table;
    EXPECT_EQ(constTable.GetCell(0, 1)->GetTypeWord(), 0u);
    EXPECT_EQ(table.GetRow(0)->GetCellCount(), 1);
    ASSERT_NE(table.GetCell(0, 1), nullptr);
    EXPECT_EQ(table.GetRow(0)->GetCellCount(), 2);
    EXPECT_EQ(table.GetCellString(0, 1), u"--");

    CDataRow row(2);
    EXPECT_TRUE(row.SetCell(1, cell));
    EXPECT_FALSE(row.SetCell(2, cell));
    EXPECT_EQ(row.GetCell(2), nullptr);
    EXPECT_EQ(row.GetCell(1)->GetInt64(), 9);

    // Column flags: every row, the trace once per row for a bad column.
    CDataTable three = ThreeColumns(3);
    EXPECT_EQ(three.SetColumnCellFlags(1, 0x12000000), 3);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(three.GetCell(r, 1)->GetFlags(), 0x12000000u);
        EXPECT_EQ(three.GetCell(r, 1)->GetType(), DT_STRING);
        EXPECT_EQ(three.GetCell(r, 0)->GetFlags(), 0u);
    }
    trace.lines.clear();
    EXPECT_EQ(three.SetColumnCellFlags(3, 0x01000000), 3);
    EXPECT_EQ(trace.Count("ASSERT(FALSE) nCol: 3\n"), 3u);
}

TEST(DataTable, ColumnIndexAndKeyColumn) {
    CDataTable table = ThreeColumns(3, u"A", u"B", u"A");
    table.BuildColumnIndex();
    EXPECT_EQ(table.m_bIndexed, 1);
    EXPECT_EQ(table.FindColumn(u"A"), 2);  // the later of two equal names
    EXPECT_EQ(table.FindColumn(u"B"), 1);
    EXPECT_EQ(table.FindColumn(u"a"), -1);

    EXPECT_EQ(table.SetKeyColumn(-1), -1);
    EXPECT_EQ(table.SetKeyColumn(3), -1);
    EXPECT_EQ(table.m_nKeyCol, -1);
    CDataCell same;
    same.SetString(u"dup");
    table.SetCell(0, 2, same);
    table.SetCell(2, 2, same);
    kttest::CTraceCapture trace;
    EXPECT_EQ(table.SetKeyColumn(2), 2);
    EXPECT_EQ(table.FindRow(u"dup"), 2);  // the last of equal keys
    EXPECT_EQ(table.FindRow(u"r1c"), 1);
    EXPECT_EQ(table.m_mapRowIndex.size(), 2u);
    EXPECT_EQ(table.SetKeyColumn(0), 2);  // cannot be moved
    EXPECT_EQ(table.m_nKeyCol, 2);
    // The same column again rebuilds from scratch.
    CDataCell changed;
    changed.SetString(u"new");
    table.SetCell(1, 2, changed);
    EXPECT_EQ(table.SetKeyColumn(2), 2);
    EXPECT_EQ(table.FindRow(u"r1c"), -1);
    EXPECT_EQ(table.FindRow(u"new"), 1);

    // Only Clear lets the key column go.
    const std::string str = WriteTableSection(table);
    table.Clear();
    EXPECT_EQ(table.m_nKeyCol, -1);
    ASSERT_EQ(table.ParseBuffer(str.data(), static_cast<uint32_t>(str.size())), 0);
    EXPECT_EQ(table.SetKeyColumn(0), 0);
    EXPECT_EQ(table.FindRow(u"r0a"), 0);
}

TEST(DataTable, DeleteColumnOnAnIndexedTable) {
    CDataTable table = ThreeColumns(2);
    table.BuildColumnIndex();
    EXPECT_EQ(table.DeleteColumn(3), -1);
    EXPECT_EQ(table.DeleteColumn(-1), -1);
    EXPECT_EQ(table.GetColCount(), 3);
    EXPECT_EQ(table.DeleteColumn(0), 2);
    EXPECT_EQ(table.GetColCount(), 2);
    ASSERT_EQ(table.m_vecHeads.size(), 2u);
    EXPECT_EQ(table.GetColumnHead(0)->m_strName, u"B");
    EXPECT_EQ(table.FindColumn(u"A"), -1);
    EXPECT_EQ(table.FindColumn(u"B"), 0);
    EXPECT_EQ(table.FindColumn(u"C"), 1);
    EXPECT_EQ(table.m_mapColIndex.size(), 2u);
    for (int r = 0; r < 2; ++r) {
        EXPECT_EQ(table.GetRow(r)->GetCellCount(), 2);
        EXPECT_EQ(table.GetCellString(r, 0)[2], u'b');
        EXPECT_EQ(table.GetCellString(r, 1)[2], u'c');
    }
    EXPECT_EQ(table.DeleteColumn(2), -1);
    // Removing the key column drops the row index with it; a later key column moves down.
    CDataTable keyed = ThreeColumns(2);
    keyed.SetKeyColumn(2);
    EXPECT_EQ(keyed.DeleteColumn(0), 2);
    EXPECT_EQ(keyed.m_nKeyCol, 1);
    EXPECT_EQ(keyed.DeleteColumn(1), 1);
    EXPECT_EQ(keyed.m_nKeyCol, -1);
    EXPECT_TRUE(keyed.m_mapRowIndex.empty());
}

TEST(DataTable, CopyRowsFromKeepAndAppend) {
    CDataTable target = ThreeColumns(2, u"A", u"B", u"C");
    CDataTable source = ThreeColumns(3, u"c", u"x", u"a");  // x has no match
    for (int r = 0; r < 3; ++r) {
        CDataCell cell;
        cell.SetString(std::u16string(u"s") + static_cast<char16_t>(u'0' + r));
        source.SetCell(r, 0, cell);
    }

    CDataTable replace = target;
    EXPECT_TRUE(replace.CopyRowsFrom(&source, false, false));
    ASSERT_EQ(replace.GetRowCount(), 3);
    EXPECT_EQ(replace.GetCellString(1, 2), u"s1");   // source c -> target C
    EXPECT_EQ(replace.GetCellString(1, 0), u"r1c");  // source a -> target A
    EXPECT_EQ(replace.GetCellString(1, 1), u"--");   // nothing maps to B

    CDataTable append = target;
    EXPECT_TRUE(append.CopyRowsFrom(&source, true, true));
    ASSERT_EQ(append.GetRowCount(), 5);
    EXPECT_EQ(append.GetCellString(0, 1), u"r0b");
    EXPECT_EQ(append.GetCellString(2, 2), u"s0");
    EXPECT_EQ(append.GetCellString(4, 0), u"r2c");

    // Keep without append: the source overwrites the first rows, and as many empty rows are still
    // added at the end.
    CDataTable keep = target;
    EXPECT_TRUE(keep.CopyRowsFrom(&source, true, false));
    ASSERT_EQ(keep.GetRowCount(), 5);
    EXPECT_EQ(keep.GetCellString(0, 2), u"s0");
    EXPECT_EQ(keep.GetCellString(1, 1), u"r1b");  // untouched column keeps its old value
    EXPECT_EQ(keep.GetCellString(2, 0), u"r2c");
    EXPECT_EQ(keep.GetCellString(3, 0), u"--");
    EXPECT_EQ(keep.GetCellString(4, 2), u"--");

    kttest::CTraceCapture trace;
    CDataTable empty;
    EXPECT_FALSE(keep.CopyRowsFrom(&empty, false, false));
    EXPECT_FALSE(keep.CopyRowsFrom(nullptr, false, false));
    EXPECT_EQ(keep.GetRowCount(), 5);
    // Copying a table into itself reads a snapshot.
    CDataTable self = ThreeColumns(2);
    EXPECT_TRUE(self.CopyRowsFrom(&self, true, true));
    ASSERT_EQ(self.GetRowCount(), 4);
    EXPECT_EQ(self.GetCellString(3, 2), u"r1c");
}

TEST(DataTable, StructureCopiesAndClears) {
    CDataTable table = ThreeColumns(2);
    CDataCell prop;
    prop.SetInteger(1);
    table.m_mapProps[u"p"] = prop;
    table.BuildColumnIndex();
    table.SetKeyColumn(1);

    CDataTable structure;
    structure.AddRows(1);
    structure.CopyStructure(table);
    EXPECT_EQ(structure.GetRowCount(), 0);
    EXPECT_TRUE(structure.m_mapProps.empty());
    EXPECT_TRUE(structure.m_mapRowIndex.empty());
    EXPECT_EQ(structure.GetColCount(), 3);
    EXPECT_EQ(structure.m_nKeyCol, 1);
    EXPECT_EQ(structure.m_bIndexed, 1);
    EXPECT_EQ(structure.FindColumn(u"C"), 2);
    structure.AddRows(2);
    EXPECT_EQ(structure.GetRow(1)->GetCellCount(), 3);

    CDataTable copy;
    copy = table;
    EXPECT_EQ(copy.FindRow(u"r1b"), 1);
    EXPECT_EQ(copy.m_mapProps.size(), 1u);
    EXPECT_EQ(WriteTableSection(copy), WriteTableSection(table));
    copy.ClearRows();
    EXPECT_EQ(copy.GetRowCount(), 0);
    EXPECT_EQ(copy.GetColCount(), 3);
    EXPECT_TRUE(copy.m_mapRowIndex.empty());
    copy.Clear();
    EXPECT_EQ(copy.GetColCount(), 0);
    EXPECT_TRUE(copy.m_vecHeads.empty());
    EXPECT_TRUE(copy.m_mapColIndex.empty());
    EXPECT_EQ(copy.m_bIndexed, 0);
}

TEST(DataTable, LoadFromFile) {
    CDataTable table;
    EXPECT_EQ(table.LoadFromFile(u"/nonexistent/table.bin"), -1);
    char szPath[] = "/tmp/kt_table_XXXXXX";
    const int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    const std::string str = Hex(kExampleHex);
    ASSERT_EQ(write(fd, str.data(), str.size()), static_cast<ssize_t>(str.size()));
    close(fd);
    EXPECT_EQ(table.LoadFromFile(FromUtf8(szPath)), 0);
    EXPECT_EQ(table.GetCellString(0, 1), u"ab");
    std::remove(szPath);
}
