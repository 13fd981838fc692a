#include "datatable/datawriter.h"

#include <cstring>

#include "platform/codepage.h"

namespace kt {

void CDataBufWriter::WriteInt(int32_t nValue) {
    uint8_t buf[5];
    const size_t n = CDataBufParser::EncodeInt(nValue, buf);
    m_buf.append(reinterpret_cast<const char*>(buf), n);
}

void CDataBufWriter::WriteFloat(float fValue) {
    WriteBytes(&fValue, sizeof(fValue));
}

void CDataBufWriter::WriteDouble(double dValue) {
    WriteBytes(&dValue, sizeof(dValue));
}

void CDataBufWriter::WriteString(std::u16string_view strText) {
    WriteAnsiString(ToAnsi(strText));
}

void CDataBufWriter::WriteAnsiString(std::string_view strAnsi) {
    WriteInt(static_cast<int32_t>(strAnsi.size()));
    m_buf.append(strAnsi);
}

void CDataBufWriter::WriteType(uint32_t nType) {
    WriteInt(CDataBufParser::IndexFromType(nType & DT_CODE_MASK));
}

void CDataBufWriter::WriteValue(const CDataCell& cell, uint32_t nType) {
    nType &= DT_CODE_MASK;
    if (nType < 0x100) return;
    if (nType & DT_FAMILY_INTEGER) {
        WriteInt(cell.IsIntegerFamily() ? static_cast<int32_t>(cell.GetInt64()) : cell.AsInt());
    } else if (nType & DT_FAMILY_STRING) {
        const std::u16string* pText = cell.GetText();
        WriteString(pText ? *pText : cell.GetString());
    } else if (nType == DT_DOUBLE) {
        WriteDouble(cell.AsDouble());
    } else if (nType & DT_FAMILY_FLOAT) {
        WriteFloat(static_cast<float>(cell.AsDouble()));
    }
}

void CDataBufWriter::WriteTypedValue(const CDataCell& cell) {
    WriteType(cell.GetType());
    WriteValue(cell, cell.GetType());
}

void CDataBufWriter::WriteBytes(const void* pData, size_t nLen) {
    m_buf.append(static_cast<const char*>(pData), nLen);
}

std::string WriteTableSection(const CDataTable& table, int32_t nHeader1, int32_t nHeader2) {
    CDataBufWriter writer;
    writer.WriteInt(nHeader1);
    writer.WriteInt(nHeader2);
    const int32_t nCols = table.GetColCount();
    writer.WriteInt(nCols);
    writer.WriteInt(table.GetRowCount());
    writer.WriteInt(static_cast<int32_t>(table.m_mapProps.size()));
    for (const auto& [strName, cell] : table.m_mapProps) {
        writer.WriteString(strName);
        writer.WriteTypedValue(cell);
    }
    static const CDataColumnHead s_noHead;
    for (int32_t c = 0; c < nCols; ++c) {
        const CDataColumnHead* pHead = table.GetColumnHead(c);
        if (!pHead) pHead = &s_noHead;
        writer.WriteString(pHead->m_strName);
        writer.WriteType(pHead->m_nType);
        writer.WriteInt(static_cast<int32_t>(pHead->m_mapAttrs.size()));
        for (const auto& [strName, cell] : pHead->m_mapAttrs) {
            writer.WriteString(strName);
            writer.WriteTypedValue(cell);
        }
    }
    CDataBufWriter row;
    static const CDataCell s_empty;
    for (int32_t r = 0; r < table.GetRowCount(); ++r) {
        row.Reset();
        const CDataRow* pRow = table.GetRow(r);
        for (int32_t c = 0; c < nCols; ++c) {
            const CDataColumnHead* pHead = table.GetColumnHead(c);
            const CDataCell* pCell = pRow ? pRow->GetCell(c) : nullptr;
            row.WriteValue(pCell ? *pCell : s_empty, pHead ? pHead->m_nType : DT_EMPTY);
        }
        writer.WriteInt(static_cast<int32_t>(row.GetSize()));
        writer.WriteBytes(row.GetBuffer().data(), row.GetSize());
    }
    return writer.GetBuffer();
}

std::string WriteReplyEnvelope(const CDataTable* pTable, int32_t nStatus,
                               std::u16string_view strMessage) {
    CDataBufWriter writer;
    writer.WriteInt(0);
    writer.WriteInt(0);
    writer.WriteInt(0);
    writer.WriteString(u"status");
    writer.WriteType(DT_INTEGER);
    writer.WriteInt(nStatus);
    if (nStatus > 0) return writer.GetBuffer();
    // A negative status carries its message inside the status field; status 0 is followed by the
    // second field, which the reader takes while the status is still 0.
    writer.WriteString(u"message");
    writer.WriteType(DT_STRING);
    writer.WriteString(strMessage);
    if (nStatus < 0) return writer.GetBuffer();
    writer.WriteString(u"data");
    writer.WriteType(pTable ? DT_TABLE : DT_EMPTY);
    std::string strOut = writer.GetBuffer();
    if (pTable) strOut += WriteTableSection(*pTable);
    return strOut;
}

}  // namespace kt
