// Arbitrary bytes through the reply reader and through the table section parser; then every cell
// is shown as text and compared with its neighbours, and what was read is written and read back.
// Findings: a crash, a read past the input (ASan), a leak, or one of the traps below.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "datatable/datatable.h"
#include "datatable/datawriter.h"
#include "datatable/replyreader.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"

namespace {

// Per-input work stays bounded: a few bytes may declare a table of a million empty cells, which
// the parse itself handles; checking every one of them would only slow the search down.
constexpr int64_t kMaxCheckedCells = 16384;

bool IsSmall(const kt::CDataTable& table) {
    return static_cast<int64_t>(table.GetRowCount()) * (table.GetColCount() + 1) <=
           kMaxCheckedCells;
}

void CheckCells(const kt::CDataTable& table) {
    const int32_t nCols = table.GetColCount();
    const int32_t nRows = static_cast<int32_t>(
        std::min<int64_t>(table.GetRowCount(), kMaxCheckedCells / (nCols + 1) + 1));
    for (int32_t r = 0; r < nRows; ++r) {
        for (int32_t c = 0; c < nCols; ++c) {
            const kt::CDataCell* pCell = table.GetCell(r, c);
            if (!pCell) __builtin_trap();
            const std::u16string str = pCell->GetString();
            // Every invalid value shows "--" (texts are always valid).
            if (!pCell->IsValid() && str != u"--") __builtin_trap();
            pCell->GetString(kt::CDataCell::GetDefaultFormat(pCell->GetType()).c_str());
            pCell->GetDateString(0);
            pCell->AsInt();
            pCell->AsDouble();
            const kt::CDataCell* neighbours[2] = {
                c + 1 < nCols ? table.GetCell(r, c + 1) : nullptr,
                r + 1 < nRows ? table.GetCell(r + 1, c) : nullptr};
            for (const kt::CDataCell* pOther : neighbours) {
                if (!pOther) continue;
                const bool bLess = pCell->Less(*pOther);
                if (bLess && pOther->Less(*pCell)) __builtin_trap();
                pCell->Equal(*pOther);
                pCell->Greater(*pOther);
                pCell->GreaterOrEqual(*pOther);
                pCell->Contains(*pOther);
                kt::CDataCell copy(*pCell);
                copy += *pOther;
                copy -= *pOther;
                copy *= *pOther;
                copy /= *pOther;
            }
        }
    }
}

std::string WriteAndReread(const std::string& strSection) {
    kt::CDataTable table;
    if (table.ParseBuffer(strSection.data(), static_cast<uint32_t>(strSection.size())) != 0)
        __builtin_trap();
    return kt::WriteTableSection(table);
}

// What the writer produces reads back to the same table. Text the code page cannot hold (bytes
// that decode to U+FFFD under GBK, written back as '?') is normalised by the first write, so for
// GBK only the second generation must be stable.
void CheckRoundTrip(const kt::CDataTable& table, bool bUtf8) {
    if (!IsSmall(table)) return;
    const std::string strFirst = kt::WriteTableSection(table);
    const std::string strSecond = WriteAndReread(strFirst);
    if (bUtf8 && strSecond != strFirst) __builtin_trap();
    if (WriteAndReread(strSecond) != strSecond) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kt::SetMessageBoxHandler(
        [](std::u16string_view, std::u16string_view, unsigned) { return kt::kIdOk; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0) return 0;
    // The first byte picks the code page, so that multibyte decoding is exercised too.
    const bool bUtf8 = (pData[0] & 1) == 0;
    kt::SetAnsiCodePage(bUtf8 ? "UTF-8" : "GBK");
    ++pData;
    --nSize;

    // An exact-size copy: ASan reports any read past the reply.
    std::unique_ptr<char[]> pCopy(new char[nSize ? nSize : 1]);
    if (nSize) std::memcpy(pCopy.get(), pData, nSize);

    std::unique_ptr<kt::CDataTable> pTable;
    const int nResult = kt::ReadReplyTable(pCopy.get(), nSize, pTable);
    if (nResult != 0 && nResult != -7 && nResult != -8) __builtin_trap();
    if (pTable) {
        CheckCells(*pTable);
        CheckRoundTrip(*pTable, bUtf8);
    }

    kt::CDataTable table;
    table.ParseBuffer(pCopy.get(), static_cast<uint32_t>(nSize));
    if (static_cast<int32_t>(table.m_vecHeads.size()) != table.GetColCount()) __builtin_trap();
    CheckCells(table);
    CheckRoundTrip(table, bUtf8);
    table.BuildColumnIndex();
    if (table.GetColCount() > 0 && IsSmall(table)) {
        table.SetKeyColumn(0);
        table.DeleteColumn(table.GetColCount() - 1);
        kt::CDataTable copy;
        copy.CopyStructure(table);
        copy.CopyRowsFrom(&table, true, true);
    }
    return 0;
}
