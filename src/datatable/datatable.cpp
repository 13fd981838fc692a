#include "datatable/datatable.h"

#include <algorithm>
#include <new>

#include "platform/trace.h"

namespace kt {
namespace {

// The counts at the head of a table section come from the wire. A complete section spends at
// least three bytes on a column head and one on a row, so counts far beyond the buffer can only
// come from a damaged reply; they are refused before anything is allocated for them. The slack
// keeps truncated replies readable (their missing values read as empty).
constexpr uint64_t kCountSlack = 4096;
constexpr uint64_t kCellsPerByte = 8;
constexpr uint64_t kCellSlack = 1u << 20;

char16_t FoldCase(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

// Name/typed-value pairs of properties and attributes. Once the buffer is exhausted every further
// pair would read as the same empty name with an empty value, so one of them stands for all.
void ReadNamedCells(CDataBufParser& parser, int32_t nCount,
                    std::map<std::u16string, CDataCell>& mapOut) {
    for (int32_t i = 0; i < nCount; ++i) {
        std::u16string strName;
        ReadTextOrThrow(parser, strName);
        CDataCell cell;
        cell.ReadValue(parser);
        mapOut.insert_or_assign(std::move(strName), std::move(cell));
        if (parser.GetRemain() == 0) break;
    }
}

}  // namespace

bool CDataRow::SetCell(int32_t nCol, const CDataCell& cell) {
    if (nCol < 0 || nCol >= GetCellCount()) {
        KT_DEBUG_ASSERT(nCol >= 0 && nCol < GetCellCount());
        return false;
    }
    m_vecCells[static_cast<size_t>(nCol)] = cell;
    return true;
}

CDataTable::CDataTable(int32_t nRows, int32_t nCols) : m_nCols(nCols > 0 ? nCols : 0) {
    m_vecRows.assign(nRows > 0 ? static_cast<size_t>(nRows) : 0, CDataRow(m_nCols));
}

CDataTable& CDataTable::operator=(const CDataTable& other) {
    if (this == &other) return *this;
    m_bIndexed = other.m_bIndexed;
    m_nCols = other.m_nCols;
    m_nKeyCol = other.m_nKeyCol;
    m_mapProps = other.m_mapProps;
    m_vecHeads = other.m_vecHeads;
    m_vecRows = other.m_vecRows;
    m_mapRowIndex = other.m_mapRowIndex;
    m_mapColIndex = other.m_mapColIndex;
    return *this;
}

void CDataTable::CopyStructure(const CDataTable& other) {
    if (this == &other) {
        ClearRows();
        m_mapProps.clear();
        return;
    }
    ClearRows();
    m_mapProps.clear();
    m_nCols = other.m_nCols;
    m_vecHeads = other.m_vecHeads;
    m_bIndexed = other.m_bIndexed;
    m_mapColIndex = other.m_mapColIndex;
    m_nKeyCol = other.m_nKeyCol;
}

CDataRow* CDataTable::GetRow(int32_t nRow) {
    return nRow >= 0 && nRow < static_cast<int32_t>(m_vecRows.size())
               ? &m_vecRows[static_cast<size_t>(nRow)]
               : nullptr;
}

const CDataRow* CDataTable::GetRow(int32_t nRow) const {
    return nRow >= 0 && nRow < static_cast<int32_t>(m_vecRows.size())
               ? &m_vecRows[static_cast<size_t>(nRow)]
               : nullptr;
}

CDataColumnHead* CDataTable::GetColumnHead(int32_t nCol) {
    return nCol >= 0 && nCol < static_cast<int32_t>(m_vecHeads.size())
               ? &m_vecHeads[static_cast<size_t>(nCol)]
               : nullptr;
}

const CDataColumnHead* CDataTable::GetColumnHead(int32_t nCol) const {
    return nCol >= 0 && nCol < static_cast<int32_t>(m_vecHeads.size())
               ? &m_vecHeads[static_cast<size_t>(nCol)]
               : nullptr;
}

void CDataTable::WidenRow(CDataRow& row) const {
    if (row.GetCellCount() < m_nCols) row.m_vecCells.resize(static_cast<size_t>(m_nCols));
}

CDataCell* CDataTable::GetCell(int32_t nRow, int32_t nCol) {
    CDataRow* pRow = GetRow(nRow);
    if (!pRow) return nullptr;
    if (nCol < 0 || nCol >= m_nCols) {
        KT_TRACE("ASSERT(FALSE) nCol: %d\n", nCol);
        return nullptr;
    }
    WidenRow(*pRow);
    return pRow->GetCell(nCol);
}

const CDataCell* CDataTable::GetCell(int32_t nRow, int32_t nCol) const {
    const CDataRow* pRow = GetRow(nRow);
    if (!pRow) return nullptr;
    if (nCol < 0 || nCol >= m_nCols) {
        KT_TRACE("ASSERT(FALSE) nCol: %d\n", nCol);
        return nullptr;
    }
    static const CDataCell s_empty;
    const CDataCell* pCell = pRow->GetCell(nCol);
    return pCell ? pCell : &s_empty;
}

bool CDataTable::SetCell(int32_t nRow, int32_t nCol, const CDataCell& cell) {
    CDataCell* pCell = GetCell(nRow, nCol);
    if (!pCell) return false;
    *pCell = cell;
    return true;
}

std::u16string CDataTable::GetCellString(int32_t nRow, int32_t nCol) const {
    const CDataCell* pCell = GetCell(nRow, nCol);
    return pCell ? pCell->GetString() : std::u16string();
}

int CDataTable::Parse(CDataBufParser& parser) {
    try {
        return ParseSection(parser);
    } catch (const std::bad_alloc&) {
        // A reply can ask for more than memory holds; that is its failure, not the caller's.
        KT_TRACE("%s() exception\n", "CDataTable::Parse");
        Clear();
        return kParseOutOfMemory;
    }
}

int CDataTable::ParseSection(CDataBufParser& parser) {
    Clear();
    parser.ReadInt();
    parser.ReadInt();
    const int32_t nCols = parser.ReadInt();
    const int32_t nRows = parser.ReadInt();
    const int32_t nProps = parser.ReadInt();
    const uint64_t nSize = parser.GetSize();
    if (nCols < 0 || nRows < 0 || static_cast<uint64_t>(nCols) > nSize + kCountSlack ||
        static_cast<uint64_t>(nRows) > nSize + kCountSlack ||
        static_cast<uint64_t>(nRows) * static_cast<uint64_t>(std::max(nCols, 1)) >
            nSize * kCellsPerByte + kCellSlack) {
        KT_TRACE("%s() counts beyond the buffer: cols %d rows %d size %u\n", "CDataTable::Parse",
                 nCols, nRows, parser.GetSize());
        return -1;
    }
    m_nCols = nCols;

    ReadNamedCells(parser, nProps, m_mapProps);

    m_vecHeads.resize(static_cast<size_t>(nCols));
    for (CDataColumnHead& head : m_vecHeads) {
        // An exhausted buffer would read nothing but default heads from here on.
        if (parser.GetRemain() == 0) break;
        if (ReadTextOrThrow(parser, head.m_strName) != 0) continue;
        head.m_nType = parser.ReadType();
        ReadNamedCells(parser, parser.ReadInt(), head.m_mapAttrs);
    }

    m_vecRows.resize(static_cast<size_t>(nRows));
    for (CDataRow& row : m_vecRows) row.m_vecCells.resize(static_cast<size_t>(nCols));
    for (CDataRow& row : m_vecRows) {
        const int32_t nLen = parser.ReadInt();
        if (nLen < 0 || static_cast<uint32_t>(nLen) > parser.GetRemain()) return -1;
        for (int32_t c = 0; c < nCols; ++c)
            row.m_vecCells[static_cast<size_t>(c)].ReadValue(
                parser, m_vecHeads[static_cast<size_t>(c)].m_nType);
    }
    return 0;
}

int CDataTable::ParseBuffer(const void* pBuf, uint32_t nSize) {
    CDataBufParser parser(pBuf, nSize);
    return Parse(parser);
}

int CDataTable::LoadFromFile(std::u16string_view strPath) {
    CDataBufParser parser;
    if (parser.LoadFromFile(strPath) != 0) return -1;
    return Parse(parser);
}

void CDataTable::Clear() {
    ClearRows();
    m_bIndexed = 0;
    m_nKeyCol = -1;
    m_mapColIndex.clear();
    m_vecHeads.clear();
    m_mapProps.clear();
    m_nCols = 0;
}

void CDataTable::ClearRows() {
    m_mapRowIndex.clear();
    m_vecRows.clear();
}

void CDataTable::AddRows(int32_t nRows) {
    if (nRows <= 0) return;
    m_vecRows.reserve(m_vecRows.size() + static_cast<size_t>(nRows));
    for (int32_t i = 0; i < nRows; ++i) m_vecRows.emplace_back(m_nCols);
}

bool CDataTable::CopyRowsFrom(const CDataTable* pSource, bool bKeep, bool bAppend) {
    if (!pSource) {
        KT_DEBUG_ASSERT(pSource);
        return false;
    }
    const int32_t nSourceRows = pSource->GetRowCount();
    if (nSourceRows <= 0) return false;
    // Copying a table into itself would read rows while they are being replaced.
    const CDataTable source = pSource == this ? *this : CDataTable();
    const CDataTable& src = pSource == this ? source : *pSource;

    const int32_t nBase = bKeep && bAppend ? GetRowCount() : 0;
    if (!bKeep) ClearRows();
    AddRows(nSourceRows);

    // Source column j -> first column of this table with the same name, letter case ignored.
    std::vector<int32_t> vecTarget(src.m_vecHeads.size(), -1);
    for (size_t j = 0; j < src.m_vecHeads.size(); ++j) {
        for (size_t k = 0; k < m_vecHeads.size(); ++k) {
            if (EqualNoCase(src.m_vecHeads[j].m_strName, m_vecHeads[k].m_strName)) {
                vecTarget[j] = static_cast<int32_t>(k);
                break;
            }
        }
    }
    for (int32_t i = 0; i < nSourceRows; ++i) {
        const CDataRow* pRow = src.GetRow(i);
        if (!pRow) continue;
        for (size_t j = 0; j < vecTarget.size(); ++j) {
            if (vecTarget[j] < 0) continue;
            const CDataCell* pCell = pRow->GetCell(static_cast<int32_t>(j));
            if (!pCell) continue;
            SetCell(nBase + i, vecTarget[j], *pCell);
        }
    }
    return true;
}

int32_t CDataTable::DeleteColumn(int32_t nCol) {
    if (nCol < 0 || nCol >= static_cast<int32_t>(m_vecHeads.size())) return -1;
    m_vecHeads.erase(m_vecHeads.begin() + nCol);
    for (CDataRow& row : m_vecRows)
        if (nCol < row.GetCellCount()) row.m_vecCells.erase(row.m_vecCells.begin() + nCol);
    for (auto it = m_mapColIndex.begin(); it != m_mapColIndex.end();) {
        if (it->second == nCol) {
            it = m_mapColIndex.erase(it);
            continue;
        }
        if (it->second > nCol) --it->second;
        ++it;
    }
    // The row index keyed on a removed column has nothing left to stand for.
    if (m_nKeyCol == nCol) {
        m_nKeyCol = -1;
        m_mapRowIndex.clear();
    } else if (m_nKeyCol > nCol) {
        --m_nKeyCol;
    }
    --m_nCols;
    return m_nCols;
}

int32_t CDataTable::SetColumnCellFlags(int32_t nCol, uint32_t nFlags) {
    const int32_t nRows = GetRowCount();
    for (int32_t r = 0; r < nRows; ++r)
        if (CDataCell* pCell = GetCell(r, nCol)) pCell->SetFlags(nFlags);
    return nRows;
}

void CDataTable::BuildColumnIndex() {
    m_bIndexed = 1;
    for (size_t c = 0; c < m_vecHeads.size(); ++c)
        m_mapColIndex.insert_or_assign(m_vecHeads[c].m_strName, static_cast<int32_t>(c));
}

int32_t CDataTable::SetKeyColumn(int32_t nCol) {
    if (nCol == m_nKeyCol) {
        m_mapRowIndex.clear();
    } else if (m_nKeyCol >= 0) {
        KT_DEBUG_ASSERT(m_nKeyCol < 0);
        return m_nKeyCol;
    }
    if (nCol < 0 || nCol >= m_nCols) return -1;
    m_nKeyCol = nCol;
    RebuildRowIndex();
    return nCol;
}

void CDataTable::RebuildRowIndex() {
    if (m_nKeyCol < 0) return;
    const int32_t nRows = GetRowCount();
    for (int32_t r = 0; r < nRows; ++r)
        m_mapRowIndex.insert_or_assign(GetCellString(r, m_nKeyCol), r);
}

int32_t CDataTable::FindColumn(std::u16string_view strName) const {
    auto it = m_mapColIndex.find(std::u16string(strName));
    return it == m_mapColIndex.end() ? -1 : it->second;
}

int32_t CDataTable::FindRow(std::u16string_view strKey) const {
    auto it = m_mapRowIndex.find(std::u16string(strKey));
    return it == m_mapRowIndex.end() ? -1 : it->second;
}

}  // namespace kt
