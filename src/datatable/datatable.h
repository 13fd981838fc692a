// CDataTable: the two-dimensional table in which the client keeps a server's answer, with its
// column heads, rows of CDataCell, named table properties, and two lookup maps (column name ->
// column number, key text -> row number). Filled from the binary table section (Parse,
// ParseBuffer, LoadFromFile); row and column numbers are zero-based and used as given.
// Accessors answer out-of-range numbers with nullptr (or the empty text), never with an error.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "datatable/databufparser.h"
#include "datatable/datacell.h"

namespace kt {

class CDataColumnHead {
public:
    CDataColumnHead() = default;
    explicit CDataColumnHead(std::u16string_view strName) : m_strName(strName) {}

    std::u16string m_strName;
    uint32_t m_nType = DT_EMPTY;
    int32_t m_nState = 6;
    int32_t m_nReserved = 0;
    std::map<std::u16string, CDataCell> m_mapAttrs;
};

class CDataRow {
public:
    CDataRow() = default;
    explicit CDataRow(int32_t nCells) : m_vecCells(nCells > 0 ? static_cast<size_t>(nCells) : 0) {}

    int32_t GetCellCount() const { return static_cast<int32_t>(m_vecCells.size()); }
    CDataCell* GetCell(int32_t nCol) {
        return nCol >= 0 && nCol < GetCellCount() ? &m_vecCells[static_cast<size_t>(nCol)]
                                                  : nullptr;
    }
    const CDataCell* GetCell(int32_t nCol) const {
        return nCol >= 0 && nCol < GetCellCount() ? &m_vecCells[static_cast<size_t>(nCol)]
                                                  : nullptr;
    }
    // Copies the cell in. A column at or past the end is refused with false (debug assertion)
    // rather than thrown: nothing leaves this library as an exception.
    bool SetCell(int32_t nCol, const CDataCell& cell);

    int32_t m_nState = 6;
    int32_t m_nReserved = 0;
    std::vector<CDataCell> m_vecCells;
};

class CDataTable {
public:
    CDataTable() = default;
    // nRows rows of nCols empty cells, no heads.
    CDataTable(int32_t nRows, int32_t nCols);
    CDataTable(const CDataTable& other) = default;
    CDataTable& operator=(const CDataTable& other);
    virtual ~CDataTable() = default;

    // Drops rows, row index and properties; takes the other's column count, heads, indexed flag,
    // column index and key column.
    void CopyStructure(const CDataTable& other);

    virtual int32_t GetRowCount() const { return static_cast<int32_t>(m_vecRows.size()); }
    int32_t GetColCount() const { return m_nCols; }
    CDataRow* GetRow(int32_t nRow);
    const CDataRow* GetRow(int32_t nRow) const;
    CDataColumnHead* GetColumnHead(int32_t nCol);
    const CDataColumnHead* GetColumnHead(int32_t nCol) const;
    // A row shorter than the column count is widened with empty cells first. A column outside
    // 0..m_nCols-1 writes "ASSERT(FALSE) nCol: %d\n" to the trace and gives nullptr.
    CDataCell* GetCell(int32_t nRow, int32_t nCol);
    // As above without widening: a short row answers an empty cell for its missing columns.
    const CDataCell* GetCell(int32_t nRow, int32_t nCol) const;
    bool SetCell(int32_t nRow, int32_t nCol, const CDataCell& cell);
    std::u16string GetCellString(int32_t nRow, int32_t nCol) const;

    // 0, or -1 for an impossible row length (what was read stays) or for counts the buffer cannot
    // hold (the table stays empty), or kParseOutOfMemory when memory ran out (the table is
    // cleared); nothing is thrown.
    int Parse(CDataBufParser& parser);
    static constexpr int kParseOutOfMemory = -100;
    // As Parse over the caller's bytes, which are not copied.
    int ParseBuffer(const void* pBuf, uint32_t nSize);
    int LoadFromFile(std::u16string_view strPath);
    void Clear();
    void ClearRows();
    void AddRows(int32_t nRows);
    // Copies the source's rows into this table's columns of the same names (letter case ignored).
    bool CopyRowsFrom(const CDataTable* pSource, bool bKeep, bool bAppend);
    // The new column count, or -1 when there is no head nCol.
    int32_t DeleteColumn(int32_t nCol);
    // Sets the flag byte (in place, bits 24-31) of cell nCol of every row; returns the row count.
    int32_t SetColumnCellFlags(int32_t nCol, uint32_t nFlags);

    void BuildColumnIndex();
    // The key column, or -1; once set it cannot be moved to another column until Clear.
    int32_t SetKeyColumn(int32_t nCol);
    void RebuildRowIndex();

    // Column number by name through the column index, -1 when absent.
    int32_t FindColumn(std::u16string_view strName) const;
    // Row number by key text through the row index, -1 when absent.
    int32_t FindRow(std::u16string_view strKey) const;

    int32_t m_bIndexed = 0;
    int32_t m_nCols = 0;
    int32_t m_nKeyCol = -1;
    std::map<std::u16string, CDataCell> m_mapProps;
    std::vector<CDataColumnHead> m_vecHeads;
    std::vector<CDataRow> m_vecRows;
    std::map<std::u16string, int32_t> m_mapRowIndex;
    std::map<std::u16string, int32_t> m_mapColIndex;

private:
    int ParseSection(CDataBufParser& parser);
    void WidenRow(CDataRow& row) const;
};

}  // namespace kt
